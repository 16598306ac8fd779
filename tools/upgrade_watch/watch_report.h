// What upgrade-watch prints, from the updater's status lines and the upgrade pipe's
// messages, and what it counts for its summary. Output lines:
//   "download  42.7%  17.1 of 40.0 MiB  9.8 MiB/s  0:03 left"   the live line, redrawn
//        in place with "\r" (at most ten times a second, and whenever it completes);
//        fed by the pipe while its messages flow, by the status lines otherwise
//   "notice: <text>"             a text notice
//   "output: <bytes>"            status-line output that is no record; bytes outside
//        printable ASCII are shown as \xNN, and "(N bytes)" follows when it was cut
//   "pipe: connected" / "pipe: disconnected after N messages"
//   "pipe: not a progress message: <bytes>"
//   "summary: status lines N (progress P, notices T, other O), pipe messages M
//    (connections C), updater exit code E"       (one line; E is "none" without one)
// Every line but the live one ends with "\n"; the live line is cleared before another
// line is printed and drawn again after it.
// Thread-safe: the status lines and the pipe are read on different threads.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "progress_meter.h"
#include "status_parser.h"

struct WatchCounts {
    int progress = 0;
    int notices = 0;
    int unparsed = 0;
    int pipe_messages = 0;
    int pipe_connections = 0;
};

class WatchReport {
public:
    // Writes to `out`, which it flushes after every change; does not own it.
    explicit WatchReport(FILE* out) : out_(out) {}

    // A record from the status lines, seen at `seconds` (monotonic).
    void status(const StatusRecord& record, double seconds);

    void pipe_connected();
    // One message received on the upgrade pipe at `seconds`.
    void pipe_message(const std::string& message, double seconds);
    void pipe_disconnected();

    // Ends the live line and prints the summary; `exit_code` is null when there was no
    // child or it did not end.
    void summary(const long* exit_code);

    WatchCounts counts() const;

    // `bytes` with everything outside printable ASCII as \xNN, cut after `limit` bytes.
    static std::string escaped(const std::string& bytes, size_t limit = 200);

private:
    // The caller holds mutex_.
    void print_line(const std::string& line);
    void redraw(double seconds, bool force);
    void clear_live();

    mutable std::mutex mutex_;
    FILE* out_;
    ProgressMeter status_meter_;
    ProgressMeter pipe_meter_;
    double last_pipe_seconds_ = -1e9;
    double last_draw_seconds_ = -1e9;
    std::string live_;  // the live line as drawn, empty when none is shown
    int messages_this_connection_ = 0;
    WatchCounts counts_;
};
