// The live progress line of one stream of progress records (the status lines, or the
// upgrade pipe's messages): percent, MiB of MiB, rate and time left.
// Not thread-safe; times are seconds on a monotonic clock, byte counts as the updater
// reports them.
#pragma once

#include <deque>
#include <string>

class ProgressMeter {
public:
    // One progress record: `total` bytes expected (0 while unknown), `received` so far,
    // seen at `seconds`. A count that goes back or a total that changes is the updater's
    // next attempt: the rate starts over.
    void update(double total, double received, double seconds);

    bool has_data() const { return has_data_; }
    double total() const { return total_; }
    double received() const { return received_; }
    bool complete() const { return has_data_ && total_ > 0 && received_ >= total_; }

    // Bytes per second over about the last three seconds; 0 while not yet known (less
    // than a quarter second of the current attempt seen).
    double rate() const;

    // For example "download  42.7%  17.1 of 40.0 MiB  9.8 MiB/s  0:03 left";
    // "download  17.1 MiB  9.8 MiB/s" while the total is unknown; "-- MiB/s" and
    // "--:-- left" while the rate is unknown; "done" in place of the time once complete.
    // Empty before the first record.
    std::string line() const;

private:
    struct Sample {
        double seconds;
        double received;
    };
    std::deque<Sample> samples_;
    bool has_data_ = false;
    double total_ = 0;
    double received_ = 0;
};
