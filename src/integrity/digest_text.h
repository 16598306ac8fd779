// The rule by which a digest text given on the command line is compared with one this
// program computed. Both runs of an update use it, so that the elevated run accepts
// exactly what the first run accepted. Pure text functions: any thread.
#pragma once

#include <cstddef>
#include <string>

// True when the two texts have the same length and are equal character by character
// after ASCII lower-casing of both sides. The whole text counts: a longer or shorter
// text, or one with a trailing space, never matches; nothing is trimmed.
bool same_digest_text(const std::string& expected, const std::string& computed);

// True for the text form of an MD5 digest: exactly 32 hexadecimal digits, either case.
bool is_md5_text(const std::string& text);

// `size` bytes of a digest as upper-case hexadecimal text, two digits per byte.
std::string digest_hex(const unsigned char* digest, std::size_t size);

// The same text into `out`, followed by a NUL: `out` must hold 2 * size + 1 bytes.
// Returns 2 * size, the number of digits.
std::size_t write_digest_hex(const unsigned char* digest, std::size_t size, char* out);
