// When a failed download is tried again: the back-off's ranges, the server's Retry-After
// and where it is believed, and the spread that keeps a fleet's retries apart; and the
// note that lets a later run continue the file.
#include "download/retry_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "download/partial_record.h"

namespace {

using download::AttemptEnd;
using download::next_attempt;

AttemptEnd transfer_failure() { return AttemptEnd{}; }

AttemptEnd status(long code, std::optional<long> retry_after, bool trusted = true) {
    AttemptEnd end;
    end.kind = AttemptEnd::Kind::kStatus;
    end.status = code;
    end.retry_after = retry_after;
    end.trusted = trusted;
    return end;
}

TEST(RetryPolicy, WhenAndHowLongTheNextAttemptWaits) {
    AttemptEnd digest;
    digest.kind = AttemptEnd::Kind::kDigest;
    const struct {
        const char* name;
        int attempt;
        AttemptEnd end;
        bool again;
        double shortest;  // the wait for a draw of 0 ...
        double longest;   // ... and the bound no draw reaches
        bool server_asked;
    } cases[] = {
        {"back-off after the first attempt", 1, transfer_failure(), true, 1, 3, false},
        {"doubled after the second", 2, transfer_failure(), true, 2, 6, false},
        {"and after the fifth", 5, transfer_failure(), true, 16, 48, false},
        {"nothing after the sixth", 6, transfer_failure(), false, 32, 60, false},
        {"a 500 backs off, whatever it asks", 1, status(500, 120L), true, 1, 3, false},
        {"a 503 without Retry-After backs off", 3, status(503, std::nullopt), true, 4, 12, false},
        {"a 503 asks for 120 s", 1, status(503, 120L), true, 120, 180, true},
        {"a 429 asks for 3 s", 4, status(429, 3L), true, 3, 4.5, true},
        {"a 503 asking for 0 s", 1, status(503, 0L), true, 0, 0, true},
        {"300 s are waited", 2, status(503, 300L), true, 300, 450, true},
        {"301 s end the run", 2, status(503, 301L), false, 0, 0, true},
        {"a 503 on a plain connection to an https address", 1, status(503, 120L, false), true, 1, 3,
         false},
        {"the server's wait after the last attempt", 6, status(503, 3L), false, 3, 4.5, true},
        {"a digest mismatch is tried again at once", 2, digest, true, 0, 0, false},
        {"but not after the sixth", 6, digest, false, 0, 0, false},
    };
    for (const auto& c : cases) {
        for (const double draw : {0.0, 0.5, 0.999999}) {
            const download::NextAttempt next = next_attempt(c.attempt, c.end, draw);
            EXPECT_EQ(next.again, c.again) << c.name;
            EXPECT_EQ(next.server_asked, c.server_asked) << c.name;
            if (!c.again && c.server_asked && c.longest == 0) {
                EXPECT_EQ(next.server_seconds, 301) << c.name;
                continue;
            }
            EXPECT_GE(next.wait_seconds, c.shortest) << c.name << " draw " << draw;
            if (c.longest == c.shortest) {
                EXPECT_EQ(next.wait_seconds, c.shortest) << c.name << " draw " << draw;
            } else {
                EXPECT_LE(next.wait_seconds, c.longest) << c.name << " draw " << draw;
            }
            if (draw == 0.0) {
                EXPECT_EQ(next.wait_seconds, c.shortest) << c.name;
            }
        }
    }
    // The cap: a doubling past it stays at it.
    EXPECT_EQ(next_attempt(9, transfer_failure(), 0.999999).wait_seconds,
              download::kLongestBackOffSeconds);
}

// Copies that failed in the same second must not come back in the same second: each wait
// is spread over its whole range, for any seed.
TEST(RetryPolicy, TheWaitsOfAFleetSpreadOverTheirRange) {
    const struct {
        unsigned seed;
        AttemptEnd end;
        int attempt;
        double shortest, longest, mean;
    } cases[] = {
        {1, transfer_failure(), 1, 1, 3, 2},
        {2, transfer_failure(), 3, 4, 12, 8},
        {3, status(503, 120L), 1, 120, 180, 150},
        {4, status(429, 240L), 5, 240, 360, 300},
    };
    for (const auto& c : cases) {
        std::mt19937_64 random(c.seed);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        constexpr int kCopies = 10000;
        int in_thirds[3] = {0, 0, 0};
        double sum = 0;
        for (int copy = 0; copy < kCopies; ++copy) {
            const double wait = next_attempt(c.attempt, c.end, uniform(random)).wait_seconds;
            ASSERT_GE(wait, c.shortest) << c.seed;
            ASSERT_LT(wait, c.longest) << c.seed;
            sum += wait;
            ++in_thirds[std::min(
                2, static_cast<int>(3 * (wait - c.shortest) / (c.longest - c.shortest)))];
        }
        EXPECT_NEAR(sum / kCopies, c.mean, 0.02 * c.mean) << c.seed;
        for (const int count : in_thirds) EXPECT_NEAR(count, kCopies / 3, kCopies / 20) << c.seed;
    }
}

TEST(RetryPolicy, RetryAfterAsSecondsOrAsADate) {
    // Sun, 06 Nov 1994 08:49:37 GMT
    constexpr std::int64_t kDate = 784111777;
    const struct {
        std::vector<std::string> values;
        std::optional<long> seconds;
        bool bad;
    } cases[] = {
        {{}, std::nullopt, false},
        {{"120"}, 120L, false},
        {{" 5\t"}, 5L, false},
        {{"0"}, 0L, false},
        {{"86400"}, 86400L, false},
        {{"Sun, 06 Nov 1994 08:51:17 GMT"}, 100L, false},
        {{"Sun, 06 Nov 1994 08:49:27 GMT"}, 0L, false},  // a date past
        // Negative, huge (a date 25 days ahead too), malformed or twice: not believed.
        {{"Thu, 01 Dec 1994 08:49:37 GMT"}, std::nullopt, true},
        {{"-5"}, std::nullopt, true},
        {{"86401"}, std::nullopt, true},
        {{"99999999999999999999"}, std::nullopt, true},
        {{"12.5"}, std::nullopt, true},
        {{"120", "120"}, std::nullopt, true},
        {{"Sunday, 06-Nov-94 08:49:37 GMT"}, std::nullopt, true},
        {{"Sun, 06 Nov 1994 08:49:37 UTC"}, std::nullopt, true},
        {{"Sun, 31 Foo 1994 08:49:37 GMT"}, std::nullopt, true},
        {{"Sun, 06 Nov 1994 25:49:37 GMT"}, std::nullopt, true},
        {{""}, std::nullopt, true},
    };
    for (const auto& c : cases) {
        const std::string shown = c.values.empty() ? "(none)" : c.values[0];
        bool bad = false;
        const std::optional<long> seconds = download::parse_retry_after(c.values, kDate, bad);
        EXPECT_EQ(seconds, c.seconds) << shown;
        EXPECT_EQ(bad, c.bad) << shown;
    }
}

// A note counts only for the installer it names, with exactly the bytes it names, and a
// validator that may go back to the server.
TEST(PartialRecord, ANoteCountsOnlyForItsFileAndBytes) {
    const std::string md5 = "0123456789ABCDEF0123456789ABCDEF";
    const std::string note = download::partial_record_json(md5, "\"abc\"", 5000);
    std::string control_note = note;
    control_note.replace(control_note.find("abc"), 3, "a\\u0001c");
    std::string long_note = note;
    long_note.replace(long_note.find("abc"), 3, std::string(1025, 'v'));
    const struct {
        const char* name;
        std::string text;
        std::string md5;
        int64_t bytes;
        const char* validator;  // nullptr: not usable
    } cases[] = {
        {"its own note", note, md5, 5000, "\"abc\""},
        {"the digest in lower case", note, "0123456789abcdef0123456789abcdef", 5000, "\"abc\""},
        {"another installer", note, "1123456789ABCDEF0123456789ABCDEF", 5000, nullptr},
        {"bytes added since", note, md5, 5001, nullptr},
        {"an empty file", download::partial_record_json(md5, "\"abc\"", 0), md5, 0, nullptr},
        {"a control character", control_note, md5, 5000, nullptr},
        {"a validator over 1 KiB", long_note, md5, 5000, nullptr},
        {"no validator", download::partial_record_json(md5, "", 5000), md5, 5000, nullptr},
        {"the size as a number",
         R"({"md5":"0123456789abcdef0123456789abcdef","validator":"x","bytes":5000})", md5, 5000,
         nullptr},
        {"not an object", "[\"abc\"]", md5, 5000, nullptr},
        {"cut short", note.substr(0, note.size() / 2), md5, 5000, nullptr},
        {"empty", "", md5, 5000, nullptr},
    };
    for (const auto& c : cases) {
        std::string validator = "unchanged";
        const bool usable = download::parse_partial_record(c.text, c.md5, c.bytes, validator);
        EXPECT_EQ(usable, c.validator != nullptr) << c.name;
        if (c.validator != nullptr) {
            EXPECT_EQ(validator, c.validator) << c.name;
        }
    }
}

}  // namespace
