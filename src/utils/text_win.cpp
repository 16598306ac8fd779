#include <cstdio>

#include "utils/text.h"
#include "utils/win.h"

namespace {

// Most paths and texts fit in MAX_PATH units, so the common case needs no allocation
// beyond the result itself.
constexpr int kFixedUnits = MAX_PATH;

}  // namespace

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int bytes = static_cast<int>(text.size());
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    if (units <= 0) return std::wstring();
    if (units <= kFixedUnits) {
        wchar_t fixed[kFixedUnits];
        units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, fixed, kFixedUnits);
        return units > 0 ? std::wstring(fixed, units) : std::wstring();
    }
    std::wstring result(static_cast<size_t>(units), L'\0');
    units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, &result[0], units);
    if (units <= 0) return std::wstring();
    result.resize(static_cast<size_t>(units));
    return result;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int units = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    if (bytes <= kFixedUnits) {
        char fixed[kFixedUnits];
        bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, fixed, kFixedUnits, nullptr,
                                    nullptr);
        return bytes > 0 ? std::string(fixed, bytes) : std::string();
    }
    std::string result(static_cast<size_t>(bytes), '\0');
    bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &result[0], bytes, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    result.resize(static_cast<size_t>(bytes));
    return result;
}

void remove_file(const std::string& path) { DeleteFileW(widen(path).c_str()); }

std::string last_error_text() {
    const DWORD code = GetLastError();
    if (code == 0) return "no error";
    wchar_t text[256] = {0};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 255, nullptr);
    return narrow(text);
}

std::string ansi_text(const std::string& text) {
    const std::wstring wide = widen(text);
    if (wide.empty()) return std::string();
    const int units = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), units, &result[0], bytes, nullptr, nullptr);
    return result;
}

FILE* open_file(const std::string& path, const char* mode) {
    return _wfopen(widen(path).c_str(), widen(mode).c_str());
}
