#include "closing/folder_match.h"
#include "log/log.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
// After win.h.
#include <shlwapi.h>

namespace closing {

namespace {

// Longer paths than this the system itself does not produce.
constexpr DWORD kMaxPathUnits = 32768;

// Runs a call of the "buffer and its size in, length out" kind with a buffer that grows
// to what the call asks for. Empty when the call fails.
template <typename Call>
std::wstring grown(Call call) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = call(&buffer[0], static_cast<DWORD>(buffer.size()));
        if (length == 0 || length > kMaxPathUnits) return std::wstring();
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);
    }
}

std::wstring without_prefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

bool is_drive_root(const std::wstring& path) { return path.size() == 3 && path[2] == L'\\'; }

std::wstring windows_folder() {
    return normal_path(grown([](wchar_t* buffer, DWORD size) {
        return static_cast<DWORD>(GetWindowsDirectoryW(buffer, size));
    }));
}

}  // namespace

std::wstring normal_path(const std::wstring& path) {
    const std::wstring plain = without_prefix(path);
    if (plain.empty()) return plain;
    std::wstring full = grown([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(plain.c_str(), size, buffer, nullptr);
    });
    // Only 8.3 names hold a "~"; looking the others up would cost a file system call for
    // every module of every process.
    if (full.find(L'~') != std::wstring::npos) {
        std::wstring longer = grown([&](wchar_t* buffer, DWORD size) {
            return GetLongPathNameW(full.c_str(), buffer, size);
        });
        if (!longer.empty()) full.swap(longer);
    }
    while (full.size() > 1 && full.back() == L'\\' && !is_drive_root(full)) full.pop_back();
    return full;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool lies_in(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() <= folder.size() + 1 || path[folder.size()] != L'\\')
        return false;
    return CompareStringOrdinal(path.data(), static_cast<int>(folder.size()), folder.data(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

std::wstring process_image(HANDLE process) {
    return grown([&](wchar_t* buffer, DWORD size) -> DWORD {
        DWORD length = size;
        if (QueryFullProcessImageNameW(process, 0, buffer, &length)) return length;
        // Too small a buffer: ask for twice as much.
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? size * 2 : 0;
    });
}

int for_each_process(const char* function,
                     const std::function<void(const PROCESSENTRY32W&)>& visit) {
    utils::ScopedKernelHandle snapshot(
        utils::system_calls().create_toolhelp32_snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LOG_WARN(function, "CreateToolhelp32Snapshot (of processes)\n");
        return -1;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!utils::system_calls().process32_first_w(snapshot.get(), &entry)) {
        LOG_WARN(function, "Failed to Process32First for %s\n", last_error_text().c_str());
        return -1;
    }
    const DWORD own = GetCurrentProcessId();
    do {
        // 0 is the system's idle process, which no one can open.
        if (entry.th32ProcessID != own && entry.th32ProcessID != 0) visit(entry);
    } while (Process32NextW(snapshot.get(), &entry));
    return 0;
}

FolderMatch::FolderMatch(const std::string& folder, const std::vector<std::string>& spared) {
    for (const std::string& image : spared) spared_.push_back(normal_path(widen(image)));
    if (folder.empty()) return;
    const std::wstring normal = normal_path(widen(folder));
    const std::wstring windows = windows_folder();
    if (normal.empty() || PathIsRootW(normal.c_str()) || same_path(windows, normal) ||
        lies_in(windows, normal)) {
        LOG_WARN("closing::FolderMatch",
                 "The programs of %s are not closed: it is a drive's root or holds Windows.\n",
                 folder.c_str());
        return;
    }
    folder_ = normal;
}

bool FolderMatch::spares(const std::wstring& image) const {
    return spares_normal(normal_path(image));
}

bool FolderMatch::spares_normal(const std::wstring& image) const {
    for (const std::wstring& spared : spared_)
        if (same_path(image, spared)) return true;
    return false;
}

bool FolderMatch::holds(const std::wstring& image) const {
    if (folder_.empty()) return false;
    const std::wstring normal = normal_path(image);
    return lies_in(normal, folder_) && !spares_normal(normal);
}

}  // namespace closing
