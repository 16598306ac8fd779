#include "log/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

const char* const kLogFileName = "update.log";
const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

// Written only by log_open, before any other thread runs.
FILE* g_stream = nullptr;
int g_threshold = 0;
bool g_milliseconds = false;
std::string g_path = kLogFileName;

#ifdef _WIN32
bool local_time(std::time_t now, std::tm* out) { return localtime_s(out, &now) == 0; }
void lock_stream(FILE* stream) { _lock_file(stream); }
void unlock_stream(FILE* stream) { _unlock_file(stream); }
#else
bool local_time(std::time_t now, std::tm* out) { return localtime_r(&now, out) != nullptr; }
void lock_stream(FILE* stream) { flockfile(stream); }
void unlock_stream(FILE* stream) { funlockfile(stream); }
#endif

const char* level_name(int level) {
    if (level < 0 || level >= static_cast<int>(sizeof kLevelNames / sizeof kLevelNames[0]))
        return "";
    return kLevelNames[level];
}

std::string formatted(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

std::string escape_log_message(const std::string& message) {
    size_t end = message.size();
    while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r')) --end;
    std::string escaped;
    escaped.reserve(message.size() + 1);
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(message[i]);
        if (c < 0x20 || c == 0x7f) {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            escaped += code;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped + message.substr(end);
}

namespace {

// The stream stays locked for the whole line, so lines of two threads never mix.
int write_line(int level, bool with_time, const char* function, int line, const char* format,
               va_list args) {
    if (level < g_threshold) return -1;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    bool have_time = with_time && local_time(seconds, &local);
    if (g_stream == nullptr) return -1;

    char time_text[64] = {0};
    if (have_time) {
        const size_t length =
            std::strftime(time_text, sizeof time_text, "%Y-%m-%d %H:%M:%S", &local);
        if (g_milliseconds && length > 0) {
            const auto since = now - std::chrono::system_clock::from_time_t(seconds);
            const long long ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
            std::snprintf(time_text + length, sizeof time_text - length, ".%03lld",
                          ms < 0 ? 0 : ms % 1000);
        }
    }
    // Messages carry arguments, addresses, file names and servers' texts: whatever line
    // breaks they hold must not start lines of their own in the log.
    const std::string message = escape_log_message(formatted(format, args));
    lock_stream(g_stream);
    std::fprintf(g_stream, "%s %-5s ", time_text, level_name(level));
    if (function != nullptr) std::fprintf(g_stream, "%s(%d): ", function, line);
    std::fputs(message.c_str(), g_stream);
    std::fflush(g_stream);
    unlock_stream(g_stream);
    return 0;
}

}  // namespace

int log_open() {
    FILE* stream = std::fopen(kLogFileName, "a+");
    if (stream == nullptr) {
        std::fprintf(stderr, "Failed to open log file(%s).\n", kLogFileName);
        return -1;
    }
    log_attach(stream, kLogFileName);
    return 0;
}

void log_attach(FILE* stream, const std::string& path) {
    g_threshold = LOG_LEVEL_INFO;
    if (g_stream != nullptr) std::fclose(g_stream);
    g_stream = stream;
    g_path = path;
}

void log_with_milliseconds(bool on) { g_milliseconds = on; }

const char* log_file_name() { return kLogFileName; }

const std::string& log_path() { return g_path; }

int write_log_v(int level, bool with_time, const char* format, va_list args) {
    return write_line(level, with_time, nullptr, 0, format, args);
}

int write_log(int level, bool with_time, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = write_log_v(level, with_time, format, args);
    va_end(args);
    return result;
}

int write_log_at(int level, const char* function, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = write_line(level, true, function, line, format, args);
    va_end(args);
    return result;
}
