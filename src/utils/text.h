// Text and file helpers shared by every subsystem.
#pragma once

#include <string>

// Narrow text is in the system's ANSI code page, wide text is UTF-16 (Windows) or the C
// library's wide characters (POSIX). Both give an empty result for an empty input and
// when the conversion fails. Characters the code page cannot hold are replaced as the
// system does by default.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

// Deletes a file; the outcome is not examined and nothing is logged.
void remove_file(const std::string& path);

// The calling thread's last system error as text: "no error" for 0, otherwise the
// system's message, with the system's own line ending.
std::string last_error_text();
