#include "trust/time_stamp.h"

#include <cstring>

#include "integrity/sha256.h"

namespace trust {

namespace {

// 2.16.840.1.101.3.4.2.1, id-sha256, as an OID's content octets.
const unsigned char kSha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

enum : unsigned char {
    kInteger = 0x02,
    kOctetString = 0x04,
    kOid = 0x06,
    kGeneralizedTime = 0x18,
    kSequence = 0x30,
};

// A window onto DER elements that are read one after the other. Every length is checked
// against what is left before anything is read.
struct Der {
    const unsigned char* at = nullptr;
    std::size_t left = 0;

    // Takes the next element if it has tag `tag`, its content into `content`. False when
    // it has another tag, an indefinite or over-long length, or runs past the end.
    bool take(unsigned char tag, Der& content) {
        if (left < 2 || at[0] != tag) return false;
        std::size_t length = at[1];
        std::size_t header = 2;
        if (length & 0x80) {
            const std::size_t octets = length & 0x7f;
            if (octets == 0 || octets > 3 || left - 2 < octets || at[2] == 0) return false;
            length = 0;
            for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | at[2 + i];
            if (length < 0x80) return false;  // DER writes it in the short form
            header += octets;
        }
        if (length > left - header) return false;
        content.at = at + header;
        content.left = length;
        at += header + length;
        left -= header + length;
        return true;
    }

    std::vector<unsigned char> bytes() const { return std::vector<unsigned char>(at, at + left); }
};

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool digits(const unsigned char* text, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// GeneralizedTime as RFC 3161 writes it: YYYYMMDDhhmmss, an optional fraction of a second
// (dropped), then Z.
bool read_generalized_time(const Der& text, std::int64_t& seconds) {
    if (text.left < 15 || text.at[text.left - 1] != 'Z') return false;
    if (text.left > 15 && (text.left < 17 || text.at[14] != '.')) return false;
    for (std::size_t i = 15; i + 1 < text.left; ++i)
        if (text.at[i] < '0' || text.at[i] > '9') return false;
    unsigned year, month, day, hour, minute, second;
    if (!digits(text.at, 4, year) || !digits(text.at + 4, 2, month) ||
        !digits(text.at + 6, 2, day) || !digits(text.at + 8, 2, hour) ||
        !digits(text.at + 10, 2, minute) || !digits(text.at + 12, 2, second))
        return false;
    static const unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
        return false;
    seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool sha256_equals(const unsigned char* data, std::size_t size, const Der& expected) {
    if (expected.left != SHA256_DIGEST_SIZE) return false;
    Sha256Context context;
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_init(context);
    sha256_update(context, data, size);
    sha256_final(context, digest);
    return std::memcmp(digest, expected.at, SHA256_DIGEST_SIZE) == 0;
}

}  // namespace

bool time_stamp_info_bytes(const unsigned char* der, std::size_t size, const unsigned char*& info,
                           std::size_t& info_size) {
    Der whole{der, size};
    Der wrapped;
    if (size > 0 && der[0] == kOctetString) {
        if (!whole.take(kOctetString, wrapped) || whole.left != 0) return false;
        whole = wrapped;
    }
    if (whole.left == 0 || whole.at[0] != kSequence) return false;
    info = whole.at;
    info_size = whole.left;
    return true;
}

int read_time_stamp_info(const unsigned char* der, std::size_t size, TimeStampInfo& out) {
    const unsigned char* info_at = nullptr;
    std::size_t info_size = 0;
    if (!time_stamp_info_bytes(der, size, info_at, info_size)) return -1;
    Der whole{info_at, info_size};
    Der info, version, policy, imprint, algorithm, oid, hashed, serial, gen_time;
    if (!whole.take(kSequence, info) || whole.left != 0) return -1;
    if (!info.take(kInteger, version) || version.left != 1 || version.at[0] != 1) return -1;
    if (!info.take(kOid, policy) || !info.take(kSequence, imprint)) return -1;
    if (!imprint.take(kSequence, algorithm) || !algorithm.take(kOid, oid)) return -1;
    if (!imprint.take(kOctetString, hashed) || imprint.left != 0) return -1;
    if (!info.take(kInteger, serial) || !info.take(kGeneralizedTime, gen_time)) return -1;
    std::int64_t time = 0;
    if (!read_generalized_time(gen_time, time)) return -1;
    out.hash_algorithm = oid.bytes();
    out.hashed_message = hashed.bytes();
    out.time = time;
    return 0;
}

bool stamps_signature(const TimeStampInfo& info, const unsigned char* signature, std::size_t size) {
    if (info.hash_algorithm.size() != sizeof kSha256Oid ||
        std::memcmp(info.hash_algorithm.data(), kSha256Oid, sizeof kSha256Oid) != 0)
        return false;
    const Der expected{info.hashed_message.data(), info.hashed_message.size()};
    return sha256_equals(signature, size, expected);
}

bool digest_attribute_matches(const unsigned char* attribute, std::size_t attribute_size,
                              const unsigned char* content, std::size_t content_size) {
    Der whole{attribute, attribute_size};
    Der digest;
    if (!whole.take(kOctetString, digest) || whole.left != 0) return false;
    return sha256_equals(content, content_size, digest);
}

}  // namespace trust
