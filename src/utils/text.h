// Text and file helpers shared by every subsystem.
#pragma once

#include <cstdio>
#include <string>

// Narrow text inside the program is UTF-8 on Windows (and the C library's multibyte text
// in the current locale on POSIX), so that every path and argument the system hands over,
// whatever the ANSI code page, survives; wide text is UTF-16 (Windows) or the C library's
// wide characters (POSIX). Narrow text meets the system only through wide calls, after
// widen. Both give an empty result for an empty input and when the conversion fails.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

// `text` in the system's ANSI code page, for readers that expect it (the status lines on
// standard output). Characters the code page cannot hold are replaced as the system does
// by default. POSIX: the text as it is.
std::string ansi_text(const std::string& text);

// std::fopen for a narrow path in the program's text (through _wfopen on Windows).
FILE* open_file(const std::string& path, const char* mode);

// Deletes a file; the outcome is not examined and nothing is logged.
void remove_file(const std::string& path);

// The calling thread's last system error as text: "no error" for 0, otherwise the
// system's message, with the system's own line ending.
std::string last_error_text();
