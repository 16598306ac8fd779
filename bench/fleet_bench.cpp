// A fleet of updaters meeting an origin that is down for a while, driven by the program's
// own retry policy (download/retry_policy.h) and, beside it, by the rule it replaced: six
// attempts two seconds apart. Copies start at a steady rate; every request while the
// origin is down is answered 503, with or without Retry-After; once it is up every
// request succeeds. For each rule it prints the origin's busiest second after its
// recovery, and its busiest ten seconds on average, as multiples of the steady rate, and
// the copies that gave up. Then the same copies on a link that cuts half of all transfers
// at a random point: the bytes fetched twice when every attempt starts afresh (the rule
// before) and when a cut transfer is continued under the file's validator (the rule now).
//
//     fleet_bench [copies] [seed]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <vector>

#include "download/retry_policy.h"

namespace {

struct Fleet {
    int copies;
    double arrivals_seconds;  // copies start evenly spread over this time
    double down_from;
    double down_until;
};

struct Outcome {
    double peak_ratio;  // the busiest second from the recovery on, over the steady rate
    double peak_10s;    // the same for the busiest ten seconds, on average
    int gave_up;
    int parked;  // ended on a Retry-After too long to wait; they come back in a later run
};

struct Request {
    double at;
    int copy;
    int attempt;
    bool operator>(const Request& other) const { return at > other.at; }
};

// The rule the policy replaced: the same wait after every failure.
download::NextAttempt fixed_rule(int attempt, const download::AttemptEnd&, double) {
    download::NextAttempt next;
    next.again = attempt < download::kAttempts;
    next.wait_seconds = 2.0;
    return next;
}

Outcome run(const Fleet& fleet, std::optional<long> retry_after,
            download::NextAttempt (*rule)(int, const download::AttemptEnd&, double),
            unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::priority_queue<Request, std::vector<Request>, std::greater<Request>> pending;
    for (int copy = 0; copy < fleet.copies; ++copy)
        pending.push({fleet.arrivals_seconds * copy / fleet.copies, copy, 1});
    std::map<long, int> per_second;
    Outcome outcome{0, 0, 0, 0};
    while (!pending.empty()) {
        const Request request = pending.top();
        pending.pop();
        ++per_second[static_cast<long>(request.at)];
        if (request.at < fleet.down_from || request.at >= fleet.down_until) continue;
        download::AttemptEnd end;
        end.kind = download::AttemptEnd::Kind::kStatus;
        end.status = 503;
        end.retry_after = retry_after;
        end.trusted = true;
        const download::NextAttempt next = rule(request.attempt, end, uniform(random));
        if (!next.again) {
            ++(next.server_asked ? outcome.parked : outcome.gave_up);
            continue;
        }
        pending.push({request.at + next.wait_seconds, request.copy, request.attempt + 1});
    }
    const double steady = fleet.copies / fleet.arrivals_seconds;
    int peak = 0;
    int peak_10s = 0;
    for (const auto& [second, requests] : per_second) {
        if (second < static_cast<long>(fleet.down_until)) continue;
        peak = std::max(peak, requests);
        int window = 0;
        for (long later = second; later < second + 10; ++later) {
            const auto found = per_second.find(later);
            if (found != per_second.end()) window += found->second;
        }
        peak_10s = std::max(peak_10s, window);
    }
    outcome.peak_ratio = peak / steady;
    outcome.peak_10s = peak_10s / 10.0 / steady;
    return outcome;
}

// Bytes fetched twice, in files' sizes, on average over `copies` copies, when each of up
// to six attempts is cut with probability one half at a point drawn uniformly from what
// it was asked for. `resume`: a cut attempt's bytes are kept and the next one continues.
double fetched_twice(int copies, bool resume, unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    double twice = 0;
    for (int copy = 0; copy < copies; ++copy) {
        double have = 0;  // of the file, kept from earlier attempts
        double fetched = 0;
        for (int attempt = 1; attempt <= download::kAttempts; ++attempt) {
            if (!resume) have = 0;
            const double asked = 1.0 - have;
            const bool cut = uniform(random) < 0.5;
            const double got = cut ? asked * uniform(random) : asked;
            fetched += got;
            have += got;
            if (!cut) break;
        }
        // Whatever came and is not in the file came before and was thrown away.
        twice += fetched - have;
    }
    return twice / copies;
}

}  // namespace

int main(int argc, char** argv) {
    const int copies = argc > 1 ? std::atoi(argv[1]) : 10000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
    // Ten minutes of arrivals, the origin down for the second of them.
    const Fleet fleet{copies, 600.0, 60.0, 120.0};
    std::printf("%d copies over %.0f s (%.1f a second), the origin down from %.0f s to %.0f s\n",
                fleet.copies, fleet.arrivals_seconds, fleet.copies / fleet.arrivals_seconds,
                fleet.down_from, fleet.down_until);
    std::printf("%-24s %-14s %9s %9s %8s %7s\n", "503 answered", "rule", "peak 1 s", "peak 10 s",
                "gave up", "parked");
    const struct {
        const char* name;
        std::optional<long> retry_after;
    } scenarios[] = {
        {"without Retry-After", std::nullopt},
        {"with Retry-After: 120", 120L},
        {"with Retry-After: 240", 240L},
    };
    for (const auto& scenario : scenarios) {
        const Outcome before = run(fleet, scenario.retry_after, fixed_rule, seed);
        const Outcome now = run(fleet, scenario.retry_after, download::next_attempt, seed);
        std::printf("%-24s %-14s %8.2fx %8.2fx %8d %7d\n", scenario.name, "fixed 2 s",
                    before.peak_ratio, before.peak_10s, before.gave_up, before.parked);
        std::printf("%-24s %-14s %8.2fx %8.2fx %8d %7d\n", "", "retry policy", now.peak_ratio,
                    now.peak_10s, now.gave_up, now.parked);
    }
    std::printf(
        "a link that cuts half of all transfers: bytes fetched twice per copy, in "
        "files' sizes: %.3f starting afresh, %.3f continuing\n",
        fetched_twice(copies, false, seed), fetched_twice(copies, true, seed));
    return 0;
}
