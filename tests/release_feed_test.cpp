// The release feed's rules: which feeds are read and which rejected, what a machine
// remembers of the feeds it accepted, its place in a staged rollout, and the release it
// chooses.
#include "download/release_feed.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using download::Choice;
using download::ChoiceInput;
using download::FeedMemory;
using download::ReleaseFeed;

const char* const kSha256 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// One release of a feed as JSON; `extra` goes in as further members of the release,
// `installer` replaces the installer's members.
std::string release(const std::string& version, const std::string& extra = "",
                    const std::string& installer = "") {
    return "{\"version\": \"" + version + "\", \"channel\": \"stable\"" + extra +
           ", \"installer\": {" +
           (installer.empty() ? "\"url\": \"https://example.test/setup-" + version +
                                    ".exe\", \"size\": 43210987, \"sha256\": \"" + kSha256 +
                                    "\", \"md5\": \"0123456789ABCDEF0123456789ABCDEF\""
                              : installer) +
           "}}";
}

// `text` with its first release's channel made `channel`.
std::string on_channel(std::string text, const std::string& channel) {
    return text.replace(text.find("\"stable\""), 8, "\"" + channel + "\"");
}

std::string feed(const std::string& releases, const std::string& head = "\"schema\": 1") {
    return "{" + head +
           ", \"product\": \"CorvaneApp\", \"serial\": 187, \"issued\": \"2026-12-01T09:00:00Z\", "
           "\"expires\": \"2026-12-22T09:00:00Z\", \"releases\": [" +
           releases + "]}";
}

std::string installer_with(const std::string& url, const std::string& size,
                           const std::string& sha256 = kSha256) {
    return "\"url\": \"" + url + "\", \"size\": " + size + ", \"sha256\": \"" + sha256 +
           "\", \"md5\": \"0123456789abcdef0123456789abcdef\"";
}

TEST(ReleaseFeed, WhichFeedsAreReadAndWhichRejected) {
    const struct {
        const char* name;
        std::string text;
        const char* why;  // empty: read
    } cases[] = {
        {"the example",
         feed(release("2.1.0.0",
                      ", \"rollout_percent\": 25, \"critical_below\": "
                      "\"1.4.0.0\", \"min_windows\": \"10.0.17763\", "
                      "\"notes\": \"plain text\"")),
         ""},
        {"no releases at all", feed(""), ""},
        {"members it does not know",
         feed(release("2.1.0.0", ", \"delta\": {\"from\": [1]}"),
              "\"schema\": 1, \"mirrors\": [\"a\"]"),
         ""},
        {"a rollout written as 1e2", feed(release("2.1.0.0", ", \"rollout_percent\": 1e2")), ""},
        {"schema 2", feed("", "\"schema\": 2"), "\"schema\" is not 1"},
        {"schema as text", feed("", "\"schema\": \"1\""), "\"schema\" is not a number"},
        {"no schema", feed("", "\"version\": 1"), "\"schema\" is not a number"},
        {"a rollout of \"0.1\"", feed(release("2.1.0.0", ", \"rollout_percent\": \"0.1\"")),
         "\"releases[0].rollout_percent\" is not a number"},
        {"a rollout of 0.1", feed(release("2.1.0.0", ", \"rollout_percent\": 0.1")),
         "\"releases[0].rollout_percent\" is not a whole number"},
        {"a rollout of 101", feed(release("2.1.0.0", ", \"rollout_percent\": 101")),
         "\"releases[0].rollout_percent\" is not a whole number"},
        {"a rollout of -1", feed(release("2.1.0.0", ", \"rollout_percent\": -1")),
         "\"releases[0].rollout_percent\" is not a whole number"},
        {"an http installer", feed(release("2.1.0.0", "", installer_with("http://a/s.exe", "10"))),
         "\"releases[0].installer.url\" is not an https address"},
        {"an installer address that is only the scheme",
         feed(release("2.1.0.0", "", installer_with("https://", "10"))),
         "\"releases[0].installer.url\" is not an https address"},
        {"an https address in capitals",
         feed(release("2.1.0.0", "", installer_with("HTTPS://A/s.exe", "10"))), ""},
        {"a size of 4 GiB",
         feed(release("2.1.0.0", "", installer_with("https://a/", "4294967296"))), ""},
        {"a size over 4 GiB",
         feed(release("2.1.0.0", "", installer_with("https://a/", "4294967297"))),
         "\"releases[0].installer.size\" is not a whole number"},
        {"a size of 0", feed(release("2.1.0.0", "", installer_with("https://a/", "0"))),
         "\"releases[0].installer.size\" is not a whole number"},
        {"a size of 1e400", feed(release("2.1.0.0", "", installer_with("https://a/", "1e400"))),
         "\"releases[0].installer.size\" is not a whole number"},
        {"a SHA-256 one digit short",
         feed(release("2.1.0.0", "", installer_with("https://a/", "5", std::string(kSha256, 63)))),
         "\"releases[0].installer.sha256\" is not a digest"},
        {"a SHA-256 that is not hex",
         feed(release("2.1.0.0", "", installer_with("https://a/", "5", std::string(64, 'g')))),
         "\"releases[0].installer.sha256\" is not a digest"},
        {"a version of five parts", feed(release("2.1.0.0.1")),
         "\"releases[0].version\" is not a version"},
        {"a second release without a version",
         feed(release("2.1.0.0") + ", {\"channel\": \"stable\"}"),
         "\"releases[1].version\" is not a text"},
        {"a channel nobody has",
         feed(release("2.1.0.0") + "," + on_channel(release("2.2.0.0"), "nightly")),
         "\"releases[1].channel\" names no channel"},
        {"notes as a number", feed(release("2.1.0.0", ", \"notes\": 5")),
         "\"releases[0].notes\" is not a text"},
        {"a release that is a list", feed("[]"), "\"releases[0]\" is not an object"},
        {"an installer that is text",
         feed("{\"version\": \"2.0\", \"channel\": \"stable\", "
              "\"installer\": \"https://a/\"}"),
         "\"releases[0].installer\" is not an object"},
        {"an issue date without its zone",
         "{\"schema\": 1, \"product\": \"CorvaneApp\", \"serial\": 1, \"issued\": "
         "\"2026-12-01T09:00:00\", \"expires\": \"2026-12-22T09:00:00Z\", \"releases\": []}",
         "\"issued\" is not a time"},
        {"an expiry before the issue",
         "{\"schema\": 1, \"product\": \"CorvaneApp\", \"serial\": 1, \"issued\": "
         "\"2026-12-01T09:00:00Z\", \"expires\": \"2026-11-22T09:00:00Z\", \"releases\": []}",
         "\"expires\" is not after"},
        {"a serial beyond what a number holds exactly",
         "{\"schema\": 1, \"product\": \"CorvaneApp\", \"serial\": 1e17, \"issued\": "
         "\"2026-12-01T09:00:00Z\", \"expires\": \"2026-12-22T09:00:00Z\", \"releases\": []}",
         "\"serial\" is not a whole number"},
        {"releases that are an object", feed("").replace(feed("").find('['), 2, "{}"),
         "\"releases\" is not a list"},
        {"a list, not an object", "[" + feed("") + "]", "it is not a JSON object"},
        {"cut short", feed(release("2.1.0.0")).substr(0, 80), "it is not a JSON object"},
        {"nested deeper than the parser goes", std::string(2000, '[') + std::string(2000, ']'),
         "it is not a JSON object"},
        {"one byte over 1 MiB",
         feed(release("2.1.0.0",
                      ", \"notes\": \"" +
                          std::string(download::kLargestFeedBytes -
                                          feed(release("2.1.0.0", ", \"notes\": \"\"")).size() + 1,
                                      'x') +
                          "\"")),
         "it is larger than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        ReleaseFeed parsed;
        parsed.serial = -5;
        std::string why;
        const int result = download::parse_release_feed(c.text, parsed, why);
        if (*c.why == '\0') {
            EXPECT_EQ(result, 0) << c.name << ": " << why;
            EXPECT_EQ(parsed.serial, 187) << c.name;
        } else {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
            EXPECT_EQ(parsed.serial, -5) << c.name << ": the feed was changed";
        }
    }
}

TEST(ReleaseFeed, TheMembersAreReadAsTheyStand) {
    ReleaseFeed parsed;
    std::string why;
    ASSERT_EQ(download::parse_release_feed(
                  feed(release("2.1.0.0",
                               ", \"rollout_percent\": 25, \"critical_below\": "
                               "\"1.4\", \"min_windows\": \"10.0.17763\", \"notes\": "
                               "\"line\\none\"") +
                       "," + on_channel(release("2.2.0.0"), "beta")),
                  parsed, why),
              0)
        << why;
    ASSERT_EQ(parsed.releases.size(), 2u);
    const download::FeedRelease& first = parsed.releases[0];
    EXPECT_EQ(parsed.product, "CorvaneApp");
    EXPECT_EQ(parsed.expires - parsed.issued, 21 * 24 * 3600);
    EXPECT_EQ(first.version.text, "2.1.0.0");
    EXPECT_EQ(first.channel, 0);
    EXPECT_EQ(first.rollout_percent, 25);
    ASSERT_TRUE(first.critical_below.has_value());
    EXPECT_EQ(first.critical_below->text, "1.4");
    ASSERT_TRUE(first.min_windows.has_value());
    EXPECT_EQ(first.min_windows->parts[2], 17763u);
    EXPECT_EQ(first.installer.size, 43210987u);
    EXPECT_EQ(first.installer.md5, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(first.notes, "line\none");
    EXPECT_EQ(download::printable_text(first.notes, 100), "line\\x0Aone");
    EXPECT_EQ(download::printable_text("\"quoted\\\" and long", 8), "\\x22quot...");
    EXPECT_EQ(parsed.releases[1].channel, 1);
    EXPECT_EQ(parsed.releases[1].rollout_percent, 100);
    EXPECT_FALSE(parsed.releases[1].critical_below.has_value());
}

TEST(ReleaseFeed, AMachineAcceptsNoOlderFeedNoExpiredOneAndNoOtherAtTheSameSerial) {
    ReleaseFeed good;
    std::string why;
    ASSERT_EQ(download::parse_release_feed(feed(""), good, why), 0);
    const std::time_t issued = good.issued;
    const std::string other(64, 'e');
    const struct {
        const char* name;
        FeedMemory before;
        std::time_t clock;
        std::string sha256;
        const char* why;  // empty: accepted
    } cases[] = {
        {"the first feed", FeedMemory{}, issued + 60, kSha256, ""},
        {"a newer serial", FeedMemory{186, other, issued}, issued + 60, kSha256, ""},
        {"the same feed again", FeedMemory{187, kSha256, issued}, issued + 60, kSha256, ""},
        {"a clock before the issue", FeedMemory{}, issued - 3600, kSha256, ""},
        {"a second before it expires", FeedMemory{}, good.expires - 1, kSha256, ""},
        {"at its expiry", FeedMemory{}, good.expires, kSha256,
         "The release feed expired at 2026-12-22T09:00:00Z"},
        {"a clock set back before the expiry of a feed whose successor was seen",
         FeedMemory{186, other, good.expires + 10}, issued + 60, kSha256,
         "The release feed expired at 2026-12-22T09:00:00Z"},
        {"a lower serial", FeedMemory{188, other, issued}, issued + 60, kSha256,
         "The release feed's serial 187 is older than the serial 188 seen before"},
        {"the same serial with other contents", FeedMemory{187, other, issued}, issued + 60,
         kSha256, "The release feed's serial 187 was seen before with other contents"},
    };
    for (const auto& c : cases) {
        FeedMemory memory = c.before;
        why.clear();
        const int result = download::accept_feed(good, c.sha256, c.clock, memory, why);
        if (*c.why == '\0') {
            EXPECT_EQ(result, 0) << c.name << ": " << why;
            EXPECT_EQ(memory.serial, 187) << c.name;
            EXPECT_EQ(memory.sha256, c.sha256) << c.name;
            EXPECT_EQ(memory.newest_issued, std::max(issued, c.before.newest_issued)) << c.name;
        } else {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_EQ(why, c.why) << c.name;
            EXPECT_EQ(memory.serial, c.before.serial) << c.name << ": the memory moved";
        }
    }
    // What a machine remembers reads back as it was written, and nothing else reads.
    FeedMemory memory{187, kSha256, issued};
    FeedMemory read;
    ASSERT_TRUE(download::parse_feed_memory(download::feed_memory_json(memory), read));
    EXPECT_EQ(read.serial, 187);
    EXPECT_EQ(read.sha256, kSha256);
    EXPECT_EQ(read.newest_issued, issued);
    for (const char* bad : {"{\"serial\": 187}", "[]", "",
                            "{\"serial\": \"-1\", \"sha256\": \"\", \"newest_issued\": \"\"}"})
        EXPECT_FALSE(download::parse_feed_memory(bad, read)) << bad;
}

TEST(RolloutBucket, IsFixedPerMachineAndReleaseAndSpreadsEvenly) {
    // Computed apart from this code: SHA-256 of the concatenation, first four bytes
    // big-endian, modulo 100.
    const std::string guid = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
    EXPECT_EQ(download::rollout_bucket(guid, "CorvaneApp", "2.1.0.0"), 28);  // 0x4fe67200
    EXPECT_EQ(download::rollout_bucket(guid, "CorvaneApp", "2.2.0.0"), 54);  // 0x9b12033a
    EXPECT_EQ(download::rollout_bucket("", "CorvaneApp", "2.1.0.0"), 37);    // 0x317ee3cd
    EXPECT_EQ(
        download::rollout_bucket("a1b2c3d4-0000-1111-2222-333344445555", "OtherApp", "2.1.0.0"),
        93);  // 0x1ff7057d

    std::mt19937_64 random(20261210);
    for (const int percent : {1, 10, 25, 50, 90}) {
        int eligible = 0;
        for (int machine = 0; machine < 10000; ++machine) {
            char id[40];
            std::snprintf(id, sizeof id, "%016llx-%016llx",
                          static_cast<unsigned long long>(random()),
                          static_cast<unsigned long long>(random()));
            if (download::rollout_bucket(id, "CorvaneApp", "2.1.0.0") < percent) ++eligible;
        }
        EXPECT_NEAR(eligible / 100.0, percent, 2.0) << percent << "%";
    }
}

// A machine id whose bucket for `version` is `low` or more and below `high`.
std::string machine_in(const std::string& version, int low, int high) {
    for (int i = 0;; ++i) {
        const std::string id = "machine-" + std::to_string(i);
        const int bucket = download::rollout_bucket(id, "CorvaneApp", version);
        if (bucket >= low && bucket < high) return id;
    }
}

policy::Version version(const char* text) {
    policy::Version parsed;
    EXPECT_TRUE(policy::parse_version(text, parsed)) << text;
    return parsed;
}

TEST(ReleaseChoice, TheHighestReleaseThatReachesThisMachine) {
    ReleaseFeed parsed;
    std::string why;
    ASSERT_EQ(download::parse_release_feed(
                  feed(release("2.0.0.0") + "," + release("2.0.0.5") + "," +
                       release("2.1.0.0", ", \"rollout_percent\": 30") + "," +
                       release("2.13.0.0", ", \"min_windows\": \"10.0.22000\"") + "," +
                       on_channel(release("2.14.0.0"), "beta") + "," +
                       release("2.20.0.0", ", \"rollout_percent\": 0") + "," +
                       release("1.9.0.0", ", \"rollout_percent\": 0, \"critical_below\": \"1.5\"")),
                  parsed, why),
              0)
        << why;
    const std::string inside = machine_in("2.1.0.0", 0, 30);
    const std::string outside = machine_in("2.1.0.0", 30, 100);
    const struct {
        const char* name;
        const char* installed;  // empty: unknown
        int channel;
        const char* windows;
        const char* prefix;
        bool allow_downgrade;
        std::string machine;
        Choice::Kind kind;
        const char* chosen;  // kUpdate, kDeferred
        bool critical;
    } cases[] = {
        {"inside the rollout of 2.1, on Windows 10", "2.0.0.0", 0, "10.0.19045", "", false, inside,
         Choice::Kind::kUpdate, "2.1.0.0", false},
        {"outside it: the release before", "2.0.0.0", 0, "10.0.19045", "", false, outside,
         Choice::Kind::kUpdate, "2.0.0.5", false},
        {"the fourth part counts", "2.0.0.4", 0, "10.0.19045", "", false, outside,
         Choice::Kind::kUpdate, "2.0.0.5", false},
        {"outside it with the release before installed: deferred", "2.0.0.5", 0, "10.0.19045", "",
         false, outside, Choice::Kind::kDeferred, "2.20.0.0", false},
        {"no machine id: last in every rollout", "2.0.0.5", 0, "10.0.19045", "", false, "",
         Choice::Kind::kDeferred, "2.20.0.0", false},
        {"Windows 11 gets 2.13", "2.0.0.0", 0, "10.0.22631", "", false, outside,
         Choice::Kind::kUpdate, "2.13.0.0", false},
        {"the newest installed", "2.13.0.0", 0, "10.0.22631", "", false, outside,
         Choice::Kind::kDeferred, "2.20.0.0", false},
        {"a beta machine sees beta", "2.0.0.0", 1, "10.0.22631", "", false, outside,
         Choice::Kind::kUpdate, "2.14.0.0", false},
        {"and newer stable releases", "2.14.0.0", 1, "10.0.22631", "", false, outside,
         Choice::Kind::kDeferred, "2.20.0.0", false},
        {"back on stable from the beta: no downgrade", "2.14.0.0", 0, "10.0.22631", "", true,
         inside, Choice::Kind::kDeferred, "2.20.0.0", false},
        {"the line 2.1 is not 2.13", "2.0.0.0", 0, "10.0.22631", "2.1", false, inside,
         Choice::Kind::kUpdate, "2.1.0.0", false},
        {"the line 2.1 outside its rollout", "2.0.0.5", 0, "10.0.22631", "2.1", false, outside,
         Choice::Kind::kDeferred, "2.1.0.0", false},
        {"a newer install off the line is kept", "2.13.0.0", 0, "10.0.22631", "2.0.", false, inside,
         Choice::Kind::kUpToDate, "", false},
        {"unless the administrator allows a downgrade", "2.13.0.0", 0, "10.0.22631", "2.0.", true,
         inside, Choice::Kind::kUpdate, "2.0.0.5", false},
        {"critical below 1.5: its rollout aside", "1.4.0.0", 0, "10.0.19045", "1.", false, outside,
         Choice::Kind::kUpdate, "1.9.0.0", true},
        {"not critical above it: deferred", "1.6.0.0", 0, "10.0.19045", "1.", false, outside,
         Choice::Kind::kDeferred, "1.9.0.0", false},
        {"a critical release below a newer one", "1.4.0.0", 0, "10.0.19045", "", false, outside,
         Choice::Kind::kUpdate, "2.0.0.5", false},
        {"unknown installed version", "", 0, "10.0.19045", "", false, inside, Choice::Kind::kUpdate,
         "2.1.0.0", false},
        {"nothing on the line", "2.0.0.0", 0, "10.0.19045", "3.", false, inside,
         Choice::Kind::kUpToDate, "", false},
    };
    for (const auto& c : cases) {
        ChoiceInput input;
        if (*c.installed != '\0') input.installed = version(c.installed);
        input.channel = c.channel;
        input.windows = version(c.windows);
        input.target_prefix = c.prefix;
        input.allow_downgrade = c.allow_downgrade;
        input.machine_id = c.machine;
        const Choice choice = download::choose_release(parsed, input);
        EXPECT_EQ(static_cast<int>(choice.kind), static_cast<int>(c.kind)) << c.name;
        EXPECT_EQ(choice.release != nullptr ? choice.release->version.text : "", c.chosen)
            << c.name;
        EXPECT_EQ(choice.critical, c.critical) << c.name;
    }
}

}  // namespace
