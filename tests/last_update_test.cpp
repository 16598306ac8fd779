// The record of the last update: its JSON, its times and the back-off rule that the
// first run applies to it.
#include "outcome/last_update.h"

#include <gtest/gtest.h>

namespace {

using outcome::LastUpdate;

const char* const kMd5 = "0123456789abcdef0123456789abcdef";

LastUpdate failed_install(const char* finished_at, long long failures,
                          const char* reason = outcome::kInstallerExitCode) {
    LastUpdate record;
    record.result = outcome::kRolledBack;
    record.reason = reason;
    record.md5 = kMd5;
    record.finished_at = finished_at;
    record.failures_of_this_installer = failures;
    return record;
}

std::time_t at(const char* text) {
    std::time_t when = 0;
    EXPECT_EQ(outcome::parse_utc_text(text, when), 0) << text;
    return when;
}

TEST(LastUpdate, JsonRoundTrip) {
    LastUpdate record = failed_install("2026-12-09T06:50:00Z", 2);
    record.message = "更新失败，已恢复原来的版本";
    record.installer = "CorvaneApp-v2-setup.exe";
    record.installer_exit_code = 7;
    record.previous_version = "1.0.0";
    record.log = "C:\\app\\update.log";
    // Written only when the server asked for a wait.
    EXPECT_EQ(outcome::to_json(record).find("retry_after"), std::string::npos);
    record.retry_after = "2026-12-09T07:05:00Z";
    // upgrade-watch --last tells it too.
    EXPECT_NE(outcome::describe(record).find("The server asked to retry after: "
                                             "2026-12-09T07:05:00Z\n"),
              std::string::npos);
    const std::string text = outcome::to_json(record);
    for (const char* key :
         {"\"result\":\t\"rolled_back\"", "\"installer_exit_code\":\t7", "\"version\":\tnull",
          "\"failures_of_this_installer\":\t2", "\"previous_version\":\t\"1.0.0\"",
          "\"retry_after\":\t\"2026-12-09T07:05:00Z\""})
        EXPECT_NE(text.find(key), std::string::npos) << key << "\n" << text;
    LastUpdate read;
    ASSERT_EQ(outcome::from_json(text, read), 0) << text;
    EXPECT_EQ(outcome::to_json(read), text);

    // Not a record: `read` stays as it was.
    for (const char* bad : {"", "[]", "{\"result\": \"installed\"}",
                            "{\"result\": \"installed\", \"md5\": \"ab\", \"finished_at\": 5}"})
        EXPECT_EQ(outcome::from_json(bad, read), -1) << bad;
    EXPECT_EQ(outcome::to_json(read), text);
}

TEST(LastUpdate, UtcText) {
    EXPECT_EQ(outcome::utc_text(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(outcome::utc_text(at("2024-02-29T23:59:59Z") + 1), "2024-03-01T00:00:00Z");
    EXPECT_EQ(at("2026-12-09T06:50:00Z") - at("2026-12-08T06:50:00Z"), 86400);
    std::time_t when = 0;
    for (const char* bad : {"2026-12-09 06:50:00Z", "2026-13-09T06:50:00Z", "2026-12-09T06:50:00",
                            "x026-12-09T06:50:00Z"})
        EXPECT_EQ(outcome::parse_utc_text(bad, when), -1) << bad;
}

TEST(LastUpdate, TheSameInstallerWaitsAfterItFailedToInstall) {
    struct Case {
        const char* name;
        LastUpdate record;
        const char* md5;
        const char* now;
        const char* next_try;  // null: goes ahead
    } cases[] = {
        {"one failure, 59 min ago", failed_install("2026-12-09T06:00:00Z", 1), kMd5,
         "2026-12-09T06:59:59Z", "2026-12-09T07:00:00Z"},
        {"one failure, an hour ago", failed_install("2026-12-09T06:00:00Z", 1), kMd5,
         "2026-12-09T07:00:00Z", nullptr},
        {"two in a row, 23 h ago", failed_install("2026-12-09T06:00:00Z", 2), kMd5,
         "2026-12-10T05:00:00Z", "2026-12-10T06:00:00Z"},
        {"two in a row, a day ago", failed_install("2026-12-09T06:00:00Z", 2), kMd5,
         "2026-12-10T06:00:00Z", nullptr},
        {"the digest in capitals", failed_install("2026-12-09T06:00:00Z", 1),
         "0123456789ABCDEF0123456789ABCDEF", "2026-12-09T06:10:00Z", "2026-12-09T07:00:00Z"},
        {"no client application after it",
         failed_install("2026-12-09T06:00:00Z", 1, outcome::kClientMissing), kMd5,
         "2026-12-09T06:10:00Z", "2026-12-09T07:00:00Z"},
        {"another installer", failed_install("2026-12-09T06:00:00Z", 3),
         "fedcba9876543210fedcba9876543210", "2026-12-09T06:10:00Z", nullptr},
        {"refused for its publisher", failed_install("2026-12-09T06:00:00Z", 1, "publisher"), kMd5,
         "2026-12-09T06:10:00Z", nullptr},
        {"a record from the future", failed_install("2026-12-09T06:00:00Z", 1), kMd5,
         "2026-12-09T05:59:59Z", nullptr},
    };
    for (const Case& c : cases) {
        std::time_t next_try = 0;
        const bool waits = outcome::must_wait(c.record, c.md5, at(c.now), next_try);
        EXPECT_EQ(waits, c.next_try != nullptr) << c.name;
        if (waits && c.next_try != nullptr) {
            EXPECT_EQ(outcome::utc_text(next_try), c.next_try) << c.name;
        }
    }
    LastUpdate installed = failed_install("2026-12-09T06:00:00Z", 0);
    installed.result = outcome::kInstalled;
    installed.reason = "";
    std::time_t next_try = 0;
    EXPECT_FALSE(outcome::must_wait(installed, kMd5, at("2026-12-09T06:01:00Z"), next_try));

    // The server's wish holds until its time, for any installer; a time that does not
    // parse holds nobody back.
    LastUpdate asked = failed_install("2026-12-09T06:00:00Z", 0, outcome::kRetryAfter);
    asked.result = outcome::kFailed;
    const struct {
        const char* retry_after;
        const char* now;
        bool waits;
    } server_cases[] = {
        {"2026-12-09T06:15:00Z", "2026-12-09T06:14:59Z", true},
        {"2026-12-09T06:15:00Z", "2026-12-09T06:15:00Z", false},
        {"soon", "2026-12-09T06:01:00Z", false},
    };
    for (const auto& c : server_cases) {
        asked.retry_after = c.retry_after;
        std::time_t until = 0;
        EXPECT_EQ(outcome::server_asked_to_wait(asked, at(c.now), until), c.waits)
            << c.retry_after << " at " << c.now;
        if (c.waits) {
            EXPECT_EQ(outcome::utc_text(until), c.retry_after);
        }
    }
    asked.retry_after.reset();
    EXPECT_FALSE(outcome::server_asked_to_wait(asked, at("2026-12-09T06:01:00Z"), next_try));
}

TEST(LastUpdate, FailuresInARow) {
    const std::optional<LastUpdate> none;
    const std::optional<LastUpdate> two = failed_install("2026-12-09T06:00:00Z", 2);
    EXPECT_EQ(
        outcome::failures_in_a_row(none, kMd5, outcome::kRolledBack, outcome::kInstallerExitCode),
        1);
    EXPECT_EQ(outcome::failures_in_a_row(two, kMd5, outcome::kRolledBack, outcome::kClientMissing),
              3);
    EXPECT_EQ(outcome::failures_in_a_row(two, "fedcba9876543210fedcba9876543210",
                                         outcome::kRolledBack, outcome::kInstallerExitCode),
              1);
    EXPECT_EQ(outcome::failures_in_a_row(two, kMd5, outcome::kFailed, "restore"), 2);
    EXPECT_EQ(outcome::failures_in_a_row(two, kMd5, outcome::kInstalled, ""), 0);
}

}  // namespace
