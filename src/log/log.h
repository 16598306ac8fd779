// The process-wide log: one "update.log", appended to by every run, one line per message,
// flushed at once. The first run keeps it in its working folder, or in the update folder
// when it cannot write there; the elevated run, whose working folder is the user's, in a
// folder only administrators write (see entry.cpp).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

enum LogLevel : int {
    LOG_LEVEL_TRACE = 0,
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_WARN = 3,
    LOG_LEVEL_ERROR = 4,
    LOG_LEVEL_FATAL = 5,
};

// Opens "update.log" for appending ("a+") in the current working folder and sets the
// level threshold to INFO; a stream opened before is closed. Only for a run with the
// user's own rights: the path is the user's to make a link of (the elevated run uses
// log_attach). Returns 0, or -1 after a
// line on stderr when the file cannot be opened (the program then runs without a log).
// Call it on the main thread before any other thread exists.
int log_open();

// Makes `stream`, open for appending, the log, as log_open would have opened it; `path` is
// the full path that log_path reports. A stream opened before is closed.
void log_attach(FILE* stream, const std::string& path);

// With `on`, every later line's time carries milliseconds too ("%Y-%m-%d %H:%M:%S.mmm"):
// for a build that times the update's steps from its log (the benchmark's updater). The
// product's lines keep whole seconds. Call it before any other thread exists.
void log_with_milliseconds(bool on);

// The log's file name: "update.log".
const char* log_file_name();

// Where the log is: "update.log" (in the working folder) after log_open, the path given
// to log_attach after that.
const std::string& log_path();

// Writes "<time> <LEVEL> " followed by the formatted message, escaped as
// escape_log_message says, and flushes. Returns 0 when
// a line was written, -1 when it was dropped (level below the threshold, or no log).
// Any thread may call it; lines of two threads can interleave only between the prefix
// and the message.
int write_log(int level, bool with_time, const char* format, ...);
int write_log_v(int level, bool with_time, const char* format, va_list args);

// A message as the log writes it, so that one call writes exactly one line: every control
// character (below 0x20, and 0x7F) becomes "\xNN" with two upper-case hex digits, except
// the run of "\r" and "\n" that ends the message, which stays as it is (a message that
// has none still ends without one). Bytes from 0x80 up (UTF-8) are kept.
std::string escape_log_message(const std::string& message);

// The program's own message shape: "%s(%d): " with the caller's qualified function name
// and source line, then the message. The macros supply the line:
//     LOG_WARN("utils::kill_process", "Failed to open process %lu.\n", pid);
int write_log_at(int level, const char* function, int line, const char* format, ...);

#define LOG_DEBUG(function, ...) write_log_at(LOG_LEVEL_DEBUG, function, __LINE__, __VA_ARGS__)
#define LOG_INFO(function, ...) write_log_at(LOG_LEVEL_INFO, function, __LINE__, __VA_ARGS__)
#define LOG_WARN(function, ...) write_log_at(LOG_LEVEL_WARN, function, __LINE__, __VA_ARGS__)
