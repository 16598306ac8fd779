#include "trust/time_stamp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integrity/sha256.h"

namespace {

using Bytes = std::vector<unsigned char>;

// One DER element: tag, length (short or long form as DER wants it), content.
Bytes tlv(unsigned char tag, const Bytes& content) {
    Bytes out{tag};
    const size_t size = content.size();
    if (size < 0x80) {
        out.push_back(static_cast<unsigned char>(size));
    } else if (size < 0x100) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(size)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(size >> 8),
                               static_cast<unsigned char>(size & 0xff)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes kSha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

Bytes sha256_of(const Bytes& data) {
    Sha256Context context;
    Bytes digest(SHA256_DIGEST_SIZE);
    sha256_init(context);
    sha256_update(context, data.data(), data.size());
    sha256_final(context, digest.data());
    return digest;
}

// A TSTInfo as a time-stamping authority writes it, with the given version, genTime and
// imprint; an accuracy field follows, as `openssl ts` writes one.
Bytes tst_info(const std::string& gen_time, const Bytes& imprint, unsigned char version = 1,
               const Bytes& hash_oid = kSha256Oid) {
    const Bytes algorithm = tlv(0x30, tlv(0x06, hash_oid) + Bytes{0x05, 0x00});
    return tlv(0x30, tlv(0x02, {version}) + tlv(0x06, {0x2a, 0x03, 0x04}) +
                         tlv(0x30, algorithm + tlv(0x04, imprint)) + tlv(0x02, {0x01, 0x02}) +
                         tlv(0x18, text(gen_time)) + tlv(0x30, tlv(0x02, {0x01})));
}

TEST(TimeStamp, ReadsTheTimeAndImprint) {
    const Bytes signature = text("the signer's encrypted digest");
    const Bytes imprint = sha256_of(signature);
    const Bytes good = tst_info("20240229235959Z", imprint);
    Bytes truncated = good;
    truncated.pop_back();
    // The outer length written in the long form.
    const Bytes long_length = Bytes{0x30, 0x81, static_cast<unsigned char>(good.size() - 2)} +
                              Bytes(good.begin() + 2, good.end());
    struct Case {
        const char* name;
        Bytes der;
        int result;
        long long time;
    } cases[] = {
        {"plain", good, 0, 1709251199},
        {"in CMS's OCTET STRING", tlv(0x04, good), 0, 1709251199},
        {"a fraction of a second", tst_info("19700101000001.25Z", imprint), 0, 1},
        {"the last second of a year", tst_info("20251231235959Z", imprint), 0, 1767225599},
        {"version 2", tst_info("20240229235959Z", imprint, 2), -1, 0},
        {"no Z", tst_info("20240229235959", imprint), -1, 0},
        {"a local time", tst_info("20240229235959+0100", imprint), -1, 0},
        {"a fraction without digits", tst_info("20240229235959.Z", imprint), -1, 0},
        {"29 February of a common year", tst_info("20230229000000Z", imprint), -1, 0},
        {"month 13", tst_info("20231301000000Z", imprint), -1, 0},
        {"hour 24", tst_info("20230101240000Z", imprint), -1, 0},
        {"a letter in the year", tst_info("2O230101000000Z", imprint), -1, 0},
        {"cut short", truncated, -1, 0},
        {"a length longer than it needs", long_length, -1, 0},
        {"bytes after it", good + Bytes{0x00}, -1, 0},
        {"another element", tlv(0x31, Bytes(good.begin() + 2, good.end())), -1, 0},
        {"nothing", Bytes{}, -1, 0},
    };
    for (const Case& c : cases) {
        trust::TimeStampInfo info;
        info.time = -7;
        EXPECT_EQ(trust::read_time_stamp_info(c.der.data(), c.der.size(), info), c.result)
            << c.name;
        EXPECT_EQ(info.time, c.result == 0 ? c.time : -7) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(info.hashed_message, imprint) << c.name;
        }
    }
}

// The two ties of a time stamp: its imprint to the signature, the authority's signed
// messageDigest to the TSTInfo. Each holds for exactly the bytes it names.
TEST(TimeStamp, TiesOnlyTheBytesItNames) {
    const Bytes signature = text("the signer's encrypted digest");
    const Bytes other = text("another signature");
    const Bytes sha1_oid = {0x2b, 0x0e, 0x03, 0x02, 0x1a};
    for (const auto& c :
         {std::make_pair(tst_info("20240101000000Z", sha256_of(signature)), true),
          std::make_pair(tst_info("20240101000000Z", sha256_of(other)), false),
          std::make_pair(tst_info("20240101000000Z", sha256_of(signature), 1, sha1_oid), false)}) {
        trust::TimeStampInfo info;
        ASSERT_EQ(trust::read_time_stamp_info(c.first.data(), c.first.size(), info), 0);
        EXPECT_EQ(trust::stamps_signature(info, signature.data(), signature.size()), c.second);
        const Bytes attribute = tlv(0x04, sha256_of(c.first));  // messageDigest's value
        EXPECT_TRUE(trust::digest_attribute_matches(attribute.data(), attribute.size(),
                                                    c.first.data(), c.first.size()));
        EXPECT_FALSE(trust::digest_attribute_matches(attribute.data(), attribute.size(),
                                                     signature.data(), signature.size()));
    }
}

}  // namespace
