#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "utils/text.h"

// The POSIX build converts with the C library in the current locale, which plays the
// part of the ANSI code page.

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    std::mbstate_t state{};
    const char* source = text.c_str();
    size_t units = std::mbsrtowcs(nullptr, &source, 0, &state);
    if (units == static_cast<size_t>(-1)) return std::wstring();
    std::wstring result(units, L'\0');
    source = text.c_str();
    state = std::mbstate_t{};
    std::mbsrtowcs(&result[0], &source, units, &state);
    return result;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    std::mbstate_t state{};
    const wchar_t* source = text.c_str();
    size_t bytes = std::wcsrtombs(nullptr, &source, 0, &state);
    if (bytes == static_cast<size_t>(-1)) return std::string();
    std::string result(bytes, '\0');
    source = text.c_str();
    state = std::mbstate_t{};
    std::wcsrtombs(&result[0], &source, bytes, &state);
    return result;
}

void remove_file(const std::string& path) { unlink(path.c_str()); }

std::string ansi_text(const std::string& text) { return text; }

FILE* open_file(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

std::string last_error_text() {
    const int code = errno;
    if (code == 0) return "no error";
    return std::string(std::strerror(code)) + "\n";
}
