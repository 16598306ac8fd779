// When a failed download attempt is tried again, and after how long: the server's
// Retry-After where it may be trusted, otherwise a back-off that doubles with every
// attempt and is spread at random, so that copies of the updater that failed together do
// not come back together. Portable; no I/O, no clock, no random source of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace download {

// Attempts per run, the first included.
inline constexpr int kAttempts = 6;
// The back-off before the second attempt, on average; it doubles for each one after.
inline constexpr double kFirstWaitSeconds = 2.0;
inline constexpr double kLongestBackOffSeconds = 60.0;
// A server that asks for a longer wait ends the run; the next run waits until then.
inline constexpr long kLongestServerWaitSeconds = 300;
// Beyond this a Retry-After is not believed: it would park the fleet for days.
inline constexpr long kLongestBelievedSeconds = 24 * 60 * 60;

// How one attempt ended.
struct AttemptEnd {
    enum class Kind {
        kTransfer,  // no answer, or one cut short: connection, timeout, write
        kStatus,    // an HTTP error status
        kDigest,    // the file came whole but does not match its digest
    };
    Kind kind = Kind::kTransfer;
    long status = 0;  // kStatus: the HTTP status
    // The server's Retry-After in seconds from now, as parse_retry_after read it.
    std::optional<long> retry_after;
    // Whether a Retry-After may be followed: the answer came over https, or over http when
    // the download address itself was http. Otherwise a proxy or anyone on a plain
    // connection could park every copy that passes.
    bool trusted = false;
};

struct NextAttempt {
    bool again = false;       // try once more
    double wait_seconds = 0;  // before that attempt
    // The server's wait is followed. When it is too long to wait (`again` false), the run
    // ends and no run asks again for `server_seconds`.
    bool server_asked = false;
    long server_seconds = 0;
};

// After attempt `attempt` (1 to kAttempts) ended as `end`. `draw` is one uniform random
// number in [0, 1), the only randomness used:
// - a digest mismatch is tried again at once;
// - a 503 or 429 with a trusted Retry-After of at most kLongestServerWaitSeconds is waited
//   for, times a factor from [1.0, 1.5); a longer one ends the run;
// - anything else waits kFirstWaitSeconds x 2^(attempt - 1) x a factor from [0.5, 1.5),
//   at most kLongestBackOffSeconds.
// No attempt follows the last one, whatever the server asked.
NextAttempt next_attempt(int attempt, const AttemptEnd& end, double draw);

// The seconds from `now` (seconds since 1970, UTC) that the Retry-After header lines
// `values` ask for: delta-seconds ("120"), or an HTTP date ("Sun, 06 Nov 1994 08:49:37
// GMT"; a date past gives 0). Nothing for no line, more than one, a negative, malformed or
// unbelievable value (beyond kLongestBelievedSeconds); then `bad` is set for the one WARN
// line that the caller writes (not for no line at all).
std::optional<long> parse_retry_after(const std::vector<std::string>& values, std::int64_t now,
                                      bool& bad);

}  // namespace download
