#include "watch_report.h"

namespace {

constexpr double kRedrawSeconds = 0.1;
// The pipe feeds the live line while a message came within this time; the status lines
// (a thinned-out copy of the same figures) take over when it is silent.
constexpr double kPipeFreshSeconds = 1.0;

}  // namespace

void WatchReport::status(const StatusRecord& record, double seconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    switch (record.kind) {
        case StatusRecord::Kind::progress:
            ++counts_.progress;
            status_meter_.update(record.total, record.received, seconds);
            redraw(seconds, status_meter_.complete());
            break;
        case StatusRecord::Kind::notice:
            ++counts_.notices;
            print_line("notice: " + escaped(record.text, kMaxStatusRecord));
            break;
        case StatusRecord::Kind::unparsed: {
            ++counts_.unparsed;
            std::string line = "output: " + escaped(record.text);
            if (record.length > 200) line += " (" + std::to_string(record.length) + " bytes)";
            print_line(line);
            break;
        }
    }
}

void WatchReport::pipe_connected() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++counts_.pipe_connections;
    messages_this_connection_ = 0;
    print_line("pipe: connected");
}

void WatchReport::pipe_message(const std::string& message, double seconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    ++counts_.pipe_messages;
    ++messages_this_connection_;
    double total = 0;
    double received = 0;
    if (!parse_progress_message(message, total, received)) {
        print_line("pipe: not a progress message: " + escaped(message));
        return;
    }
    pipe_meter_.update(total, received, seconds);
    last_pipe_seconds_ = seconds;
    redraw(seconds, pipe_meter_.complete());
}

void WatchReport::pipe_disconnected() {
    std::lock_guard<std::mutex> guard(mutex_);
    print_line("pipe: disconnected after " + std::to_string(messages_this_connection_) +
               " messages");
}

void WatchReport::summary(const long* exit_code) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!live_.empty()) {
        std::fputs("\n", out_);
        live_.clear();
    }
    const int lines = counts_.progress + counts_.notices + counts_.unparsed;
    std::fprintf(out_,
                 "summary: status lines %d (progress %d, notices %d, other %d), "
                 "pipe messages %d (connections %d), updater exit code ",
                 lines, counts_.progress, counts_.notices, counts_.unparsed, counts_.pipe_messages,
                 counts_.pipe_connections);
    if (exit_code != nullptr)
        std::fprintf(out_, "%ld\n", *exit_code);
    else
        std::fputs("none\n", out_);
    std::fflush(out_);
}

WatchCounts WatchReport::counts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return counts_;
}

std::string WatchReport::escaped(const std::string& bytes, size_t limit) {
    std::string text;
    const size_t shown = bytes.size() < limit ? bytes.size() : limit;
    for (size_t i = 0; i < shown; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7f) {
            text += static_cast<char>(byte);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            text += code;
        }
    }
    if (shown < bytes.size()) text += "...";
    return text;
}

void WatchReport::print_line(const std::string& line) {
    const std::string live = live_;
    clear_live();
    std::fprintf(out_, "%s\n", line.c_str());
    if (!live.empty()) {
        std::fputs(live.c_str(), out_);
        live_ = live;
    }
    std::fflush(out_);
}

void WatchReport::redraw(double seconds, bool force) {
    if (!force && seconds - last_draw_seconds_ < kRedrawSeconds) return;
    const bool pipe_fresh = seconds - last_pipe_seconds_ < kPipeFreshSeconds;
    const ProgressMeter& meter = pipe_fresh && pipe_meter_.has_data() ? pipe_meter_ : status_meter_;
    const std::string line = meter.line();
    if (line.empty()) return;
    last_draw_seconds_ = seconds;
    // Spaces over the rest of a longer line drawn before.
    std::string padded = line;
    if (live_.size() > padded.size()) padded.append(live_.size() - padded.size(), ' ');
    std::fprintf(out_, "\r%s", padded.c_str());
    live_ = line;
    std::fflush(out_);
}

void WatchReport::clear_live() {
    if (live_.empty()) return;
    std::fprintf(out_, "\r%s\r", std::string(live_.size(), ' ').c_str());
    live_.clear();
}
