#include "progress_meter.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr double kWindowSeconds = 3.0;
constexpr double kMinimumSpanSeconds = 0.25;
// Records closer together than this share one sample: the pipe brings one per transfer
// callback, thousands per download.
constexpr double kSampleSpacingSeconds = 0.05;
constexpr double kMiB = 1024.0 * 1024.0;

std::string time_left(double seconds) {
    if (!(seconds >= 0) || seconds > 99 * 3600.0) return "--:-- left";
    const long long whole = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld left", whole / 3600, whole / 60 % 60,
                      whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld left", whole / 60, whole % 60);
    return text;
}

}  // namespace

void ProgressMeter::update(double total, double received, double seconds) {
    if (has_data_ && (received < received_ || total != total_)) samples_.clear();
    has_data_ = true;
    total_ = total;
    received_ = received;
    if (samples_.size() >= 2 &&
        seconds - samples_[samples_.size() - 2].seconds < kSampleSpacingSeconds) {
        samples_.back() = Sample{seconds, received};
    } else {
        samples_.push_back(Sample{seconds, received});
    }
    // Keep one sample at or beyond the window's start, so that the span covers it.
    while (samples_.size() > 2 && seconds - samples_[1].seconds >= kWindowSeconds)
        samples_.pop_front();
}

double ProgressMeter::rate() const {
    if (samples_.size() < 2) return 0;
    const double span = samples_.back().seconds - samples_.front().seconds;
    if (span < kMinimumSpanSeconds) return 0;
    return (samples_.back().received - samples_.front().received) / span;
}

std::string ProgressMeter::line() const {
    if (!has_data_) return std::string();
    const double speed = rate();
    char rate_text[32] = "-- MiB/s";
    if (speed > 0) std::snprintf(rate_text, sizeof rate_text, "%.1f MiB/s", speed / kMiB);
    char text[160];
    if (total_ > 0) {
        double percent = received_ / total_ * 100.0;
        if (percent > 100) percent = 100;
        if (percent < 0) percent = 0;
        const std::string left = complete()  ? "done"
                                 : speed > 0 ? time_left((total_ - received_) / speed)
                                             : time_left(-1);
        std::snprintf(text, sizeof text, "download %5.1f%%  %.1f of %.1f MiB  %s  %s", percent,
                      received_ / kMiB, total_ / kMiB, rate_text, left.c_str());
    } else {
        std::snprintf(text, sizeof text, "download  %.1f MiB  %s", received_ / kMiB, rate_text);
    }
    return text;
}
