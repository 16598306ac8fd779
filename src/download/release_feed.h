// The release feed: the file a publisher signs to say which releases of the client
// application exist, for which channel and share of machines, and where each installer
// is with its size and digests. Here are its rules as text (portable, no I/O): reading
// it, holding it to what this machine saw before, and choosing the release to install.
// Its signature is trust/feed_signature.h's; fetching it is the first run's.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "policy/versions.h"

namespace download {

// A feed longer than this is refused unread: it comes from the network.
inline constexpr std::size_t kLargestFeedBytes = 1024 * 1024;
// An installer larger than this is refused: no installer of ours comes near it.
inline constexpr unsigned long long kLargestInstallerBytes = 4ULL * 1024 * 1024 * 1024;

// The channels, each seeing its own releases and those of the channels before it:
// a beta machine also gets newer stable releases.
extern const char* const kChannels[];
extern const int kChannelCount;

struct FeedInstaller {
    std::string url;  // https, checked
    unsigned long long size = 0;
    std::string sha256;  // 64 hexadecimal digits, lower case
    std::string md5;     // 32, lower case
};

struct FeedRelease {
    policy::Version version;
    int channel = 0;  // index into kChannels
    int rollout_percent = 100;
    std::optional<policy::Version> critical_below;
    std::optional<policy::Version> min_windows;
    FeedInstaller installer;
    std::string notes;  // as the feed has it: escape before showing (printable_text)
};

struct ReleaseFeed {
    std::string product;
    long long serial = 0;
    std::time_t issued = 0;
    std::time_t expires = 0;
    std::vector<FeedRelease> releases;
};

// Reads the feed's JSON. -1, with `why` ("the member \"serial\" is not ...") and `out`
// untouched, for a rejected feed: longer than kLargestFeedBytes, not JSON, a "schema"
// other than 1, a member of the wrong type or out of its range, a date that is not
// "YYYY-MM-DDTHH:MM:SSZ", an expiry not after the issue, a channel not in kChannels,
// a rollout_percent that is not an integer from 0 to 100, an installer address that is
// not https, a size of 0 or over kLargestInstallerBytes, a digest that is not hex of its
// length. Members it does not know are ignored.
int parse_release_feed(const std::string& text, ReleaseFeed& out, std::string& why);

// What this machine remembers of the feeds it accepted.
struct FeedMemory {
    long long serial = -1;  // -1: none accepted yet
    std::string sha256;     // of the accepted feed's content, hexadecimal (either case)
    std::time_t newest_issued = 0;
};

// The memory as the update folder keeps it, in "feed-seen.json" (kFeedMemoryName): the
// serial as text, the digest, the newest issue as "2026-12-01T09:00:00Z".
extern const char* const kFeedMemoryName;
std::string feed_memory_json(const FeedMemory& memory);
bool parse_feed_memory(const std::string& text, FeedMemory& out);
// 0; 1 when there is no file at `path`; -1 when it is not a memory (`out` untouched).
int read_feed_memory(const std::string& path, FeedMemory& out);
// Writes the file in place. 0, or -1.
int write_feed_memory(const std::string& path, const FeedMemory& memory);

// Whether `feed`, whose content has the SHA-256 `sha256`, may be accepted at `clock` after
// `memory`. "Now" is the later of `clock` and the newest issue seen, so that a clock set
// back does not revive an expired feed. -1 with `why`, a sentence without its full stop,
// for a feed that expired ("The release feed expired at <time>"), an older serial, or the same
// serial with other contents (a replay that would freeze or roll back the machine). 0 otherwise,
// with `memory` moved on to this feed.
int accept_feed(const ReleaseFeed& feed, const std::string& sha256, std::time_t clock,
                FeedMemory& memory, std::string& why);

// The machine's place in a staged rollout of `version` of `product`, 0 to 99: the first
// four bytes of SHA-256 over "rollout" || machine_id || product || version, big-endian,
// modulo 100. Fixed for one machine and release; independent between releases. The machine
// id never leaves the machine.
int rollout_bucket(const std::string& machine_id, const std::string& product,
                   const std::string& version);

// What the choice depends on besides the feed.
struct ChoiceInput {
    int channel = 0;               // index into kChannels
    policy::Version installed;     // count 0: unknown
    policy::Version windows;       // the running Windows, "10.0.19045"
    std::string target_prefix;     // the policy's TargetVersionPrefix
    bool allow_downgrade = false;  // the policy's AllowDowngrade
    std::string machine_id;        // empty: unknown, the last place of every rollout
};

struct Choice {
    enum class Kind {
        kUpdate,    // `release` is to be installed
        kUpToDate,  // nothing newer for this machine
        kDeferred,  // a newer release exists whose rollout has not reached this machine
    };
    Kind kind = Kind::kUpToDate;
    const FeedRelease* release = nullptr;  // kUpdate and kDeferred: the release meant
    bool critical = false;                 // kUpdate: the installed version is below its
                                           // critical_below, rollout and back-off aside
};

// The release for this machine: of the releases of its channel and those before it, whose
// min_windows it meets and whose version has the target prefix (policy::has_version_prefix),
// the ones whose rollout reaches it (rollout_bucket below rollout_percent, or the installed
// version below critical_below) count, and the highest of them is taken: a machine outside
// the newest rollout still gets the release before. It is an update when newer than the
// installed version; an older one only under allow_downgrade and when the installed version
// is off the target prefix, so that a change of channel alone never downgrades.
Choice choose_release(const ReleaseFeed& feed, const ChoiceInput& input);

// `text` with every control character, quote and backslash written as \xNN, and cut to
// `limit` bytes (then "..." follows): feed texts reach the log and the console this way.
std::string printable_text(const std::string& text, std::size_t limit);

}  // namespace download
