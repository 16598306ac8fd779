#include "frontend/notice.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "utils/text.h"

namespace {
constexpr size_t kLineSize = 4096;
}

int try_notify_to_frontend(const FrontendNotice& notice) {
    char line[kLineSize] = {0};
    switch (notice.kind) {
        case FRONTEND_NOTICE_PROGRESS:
            std::snprintf(line, sizeof line, "%d, %f, %f;", 0, notice.progress.total,
                          notice.progress.received);
            break;
        case FRONTEND_NOTICE_TEXT: {
            // The text is NUL-terminated inside its area by notify_frontend_text; a record
            // filled by hand is bounded here all the same. Front ends read status lines in
            // the ANSI code page, as they always have; the program's text is UTF-8.
            const std::string text =
                ansi_text(std::string(notice.text, strnlen(notice.text, sizeof notice.text)));
            std::snprintf(line, sizeof line, "%d, %s;", 1, text.c_str());
            break;
        }
        default:
            break;
    }
    int written = std::printf("%s", line);
    // Standard output is buffered when it is a file or a pipe: a stream that refuses the
    // bytes fails at the flush, and that is a failed status line too.
    if (std::fflush(stdout) != 0) written = -1;
    if (written < 0) LOG_WARN("try_notify_to_frontend", "Failed to notify front end.\n");
    return written;
}

int notify_frontend_text(FrontendNotice& notice, const char* format, ...) {
    notice.kind = FRONTEND_NOTICE_TEXT;
    va_list args;
    va_start(args, format);
    // vsnprintf stops at the end of the text area and always terminates, so an
    // over-long text (a long URL or path) is cut at the area's last byte.
    int formatted = std::vsnprintf(notice.text, sizeof notice.text, format, args);
    va_end(args);
    if (formatted < 0) {
        notice.text[0] = '\0';
        notice.length = -1;
    } else {
        notice.length = formatted < static_cast<int>(sizeof notice.text)
                            ? formatted
                            : static_cast<int>(sizeof notice.text) - 1;
    }
    return try_notify_to_frontend(notice);
}

int report_failure_at(FrontendNotice& notice, const char* function, int line, const char* format,
                      ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    write_log_at(LOG_LEVEL_WARN, function, line, "%s\n", text.c_str());
    // Judged on the format, not the text: a value at the end (a URL, a path) that happens
    // to end in "." still gets the notice's own full stop.
    const size_t format_length = std::strlen(format);
    const bool has_stop = format_length > 0 && format[format_length - 1] == '.';
    notify_frontend_text(notice, has_stop ? "%s" : "%s.", text.c_str());
    return -1;
}

FrontendNotice make_progress_notice(double total, double received) {
    FrontendNotice notice;
    notice.kind = FRONTEND_NOTICE_PROGRESS;
    notice.length = sizeof notice.progress;
    notice.progress.total = total;
    notice.progress.received = received;
    return notice;
}
