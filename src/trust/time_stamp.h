// The RFC 3161 time stamp of an Authenticode signature: the TSTInfo that a time-stamping
// authority signed, read from DER, and the two comparisons that tie it to a signature.
// Portable and free of trust decisions: whether the authority's signature over the TSTInfo
// holds, and whether its certificate chains to a machine root, is decided by the caller
// (signature_win.cpp). Nothing here allocates beyond `out`; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trust {

// The parts of a TSTInfo (RFC 3161, section 2.4.2) the updater uses.
struct TimeStampInfo {
    std::vector<unsigned char> hash_algorithm;  // messageImprint's algorithm: the OID's octets
    std::vector<unsigned char> hashed_message;  // messageImprint's hashedMessage
    std::int64_t time = 0;                      // genTime, seconds since 1970-01-01 UTC
};

// Reads a TSTInfo from `size` bytes of DER, also when they are wrapped in the OCTET STRING
// that CMS carries it in. 0, or -1 with `out` untouched when they hold none: a wrong tag,
// a length past the end or not in its shortest form, a version other than 1, bytes after
// it, or a genTime that is not YYYYMMDDhhmmss[.f...]Z with a real date.
int read_time_stamp_info(const unsigned char* der, std::size_t size, TimeStampInfo& out);

// Whether `info` stamps `signature`, the signer's encrypted digest: its imprint is the
// SHA-256 of exactly those bytes. An imprint of another algorithm is not accepted.
bool stamps_signature(const TimeStampInfo& info, const unsigned char* signature, std::size_t size);

// Whether the authority's messageDigest attribute, `attribute` (a DER OCTET STRING of
// `attribute_size` bytes), is the SHA-256 of `content`, the TSTInfo's DER: the authority
// signs its attributes, and this ties them to the TSTInfo that was read.
bool digest_attribute_matches(const unsigned char* attribute, std::size_t attribute_size,
                              const unsigned char* content, std::size_t content_size);

// The TSTInfo's DER inside `der` (its OCTET STRING wrapper taken off, when it has one), for
// digest_attribute_matches. False when `der` is neither.
bool time_stamp_info_bytes(const unsigned char* der, std::size_t size, const unsigned char*& info,
                           std::size_t& info_size);

}  // namespace trust
