// Status lines for the process that started the updater, written to standard output:
//   progress record  "0, <total>, <received>;"   (both "%f", byte counts)
//   text notice      "1, <text>;"
// No line breaks; every line is flushed at once. Main thread only.
#pragma once

#include <cstdint>

enum FrontendNoticeKind : uint32_t {
    FRONTEND_NOTICE_PROGRESS = 0,
    FRONTEND_NOTICE_TEXT = 1,
};

// Room for a notice text, terminator included. Longer texts are cut to fit.
constexpr int kFrontendNoticeTextSize = 1024;

struct FrontendNotice {
    uint32_t kind;
    // Progress: 16, the size of the two values. Text: the number of characters stored
    // in text, -1 when formatting failed. Informational; the writer does not read it.
    int32_t length;
    union {
        struct {
            double total;     // bytes the transfer expects to receive
            double received;  // bytes received so far
        } progress;
        char text[kFrontendNoticeTextSize];
    };
};

// Writes one status line from a filled record, which it only reads. Returns the number
// of characters written, negative when the write failed (then "Failed to notify front
// end." is logged); a kind other than 0 or 1 writes nothing and returns 0.
int try_notify_to_frontend(const FrontendNotice& notice);

// Makes `notice` a text notice of `format` filled by printf rules and writes it.
// Returns the result of try_notify_to_frontend.
int notify_frontend_text(FrontendNotice& notice, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// One failure, told once with one text, to the log and to the front end: a WARN line
// "<text>\n" under `function` and `line`, and the text notice "<text>", with a "." added
// when `format` does not end in one. Returns -1, the failure, so that a step can end
// with it. REPORT_FAILURE supplies the line:
//     return REPORT_FAILURE(run.notice, "run_install_phase", "Failed to copy %s to %s", a, b);
int report_failure_at(FrontendNotice& notice, const char* function, int line, const char* format,
                      ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
#define REPORT_FAILURE(notice, function, ...) \
    report_failure_at(notice, function, __LINE__, __VA_ARGS__)

// A progress record of the two byte counts, ready for try_notify_to_frontend.
FrontendNotice make_progress_notice(double total, double received);
