#include "fs/file_tree.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "utils/system_calls.h"

namespace fs {

namespace {

using utils::system_calls;

// The attributes SetFileAttributesW can give back.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int fail_with(DWORD error) {
    SetLastError(error);
    return -1;
}

unsigned long long join(DWORD high, DWORD low) {
    return (static_cast<unsigned long long>(high) << 32) | low;
}

unsigned long long join(const FILETIME& time) {
    return join(time.dwHighDateTime, time.dwLowDateTime);
}

FILETIME file_time(unsigned long long value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool is_left_out(const std::vector<std::wstring>& left_out, const std::wstring& relative) {
    std::wstring lower = relative;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    return std::find(left_out.begin(), left_out.end(), lower) != left_out.end();
}

Entry entry_of(const WIN32_FIND_DATAW& found, const std::wstring& relative) {
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return Entry{relative,
                 found.dwFileAttributes,
                 join(found.ftCreationTime),
                 join(found.ftLastAccessTime),
                 join(found.ftLastWriteTime),
                 folder ? 0 : join(found.nFileSizeHigh, found.nFileSizeLow),
                 folder};
}

int list_below(const std::wstring& root, const std::wstring& relative,
               const std::vector<std::wstring>& left_out, std::vector<Entry>& entries) {
    const std::wstring pattern = root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*";
    WIN32_FIND_DATAW found;
    utils::ScopedFindHandle search(system_calls().find_first_file_ex_w(
        pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
        FIND_FIRST_EX_LARGE_FETCH));
    if (!search) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && folder) continue;
        if (is_left_out(left_out, path)) continue;
        entries.push_back(entry_of(found, path));
        if (folder && list_below(root, path, left_out, entries) < 0) return -1;
    } while (system_calls().find_next_file_w(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
}

int set_times(HANDLE handle, const Entry& entry) {
    const FILETIME created = file_time(entry.created);
    const FILETIME accessed = file_time(entry.accessed);
    const FILETIME written = file_time(entry.written);
    return system_calls().set_file_time(handle, &created, &accessed, &written) ? 0 : -1;
}

// Attributes other than these are what a fresh file has already.
int set_attributes(const std::wstring& path, DWORD attributes) {
    const DWORD wanted = attributes & kSettableAttributes;
    if ((wanted & ~FILE_ATTRIBUTE_ARCHIVE) == 0) return 0;
    return system_calls().set_file_attributes_w(path.c_str(), wanted) ? 0 : -1;
}

// Deletes through `remove`; a read-only file or folder loses that attribute first.
int delete_with(BOOL(WINAPI* remove)(LPCWSTR), const std::wstring& path, DWORD plain) {
    if (remove(path.c_str())) return 0;
    if (GetLastError() != ERROR_ACCESS_DENIED) return -1;
    system_calls().set_file_attributes_w(path.c_str(), plain);
    return remove(path.c_str()) ? 0 : -1;
}

}  // namespace

int open_file(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
              DWORD flags, SECURITY_ATTRIBUTES* security, utils::ScopedKernelHandle& out) {
    utils::ScopedKernelHandle opened(
        system_calls().create_file_w(path.c_str(), access, share, security, disposition, flags,
                                     nullptr));
    if (!opened) return -1;
    out = std::move(opened);
    return 0;
}

bool is_disk_file(HANDLE file) { return system_calls().get_file_type(file) == FILE_TYPE_DISK; }

int copy_bytes(HANDLE from, HANDLE to, Buffer& buffer, Side& failed, PieceObserver observer,
               void* context) {
    for (;;) {
        DWORD got = 0;
        if (!system_calls().read_file(from, buffer.data(), kBufferBytes, &got, nullptr)) {
            failed = Side::kSource;
            return -1;
        }
        if (got == 0) return 0;
        if (observer != nullptr) observer(context, buffer.data(), got);
        for (DWORD done = 0; done < got;) {
            DWORD wrote = 0;
            if (!system_calls().write_file(to, buffer.data() + done, got - done, &wrote,
                                           nullptr)) {
                failed = Side::kTarget;
                return -1;
            }
            if (wrote == 0) {
                failed = Side::kTarget;
                return fail_with(ERROR_WRITE_FAULT);
            }
            done += wrote;
        }
    }
}

int copy_file(const std::wstring& from, const std::wstring& to, DWORD disposition,
              const Entry& entry, Buffer& buffer, Side& failed) {
    utils::ScopedKernelHandle source;
    failed = Side::kSource;
    if (open_file(from, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                  nullptr, source) < 0)
        return -1;
    utils::ScopedKernelHandle target;
    failed = Side::kTarget;
    if (open_file(to, GENERIC_WRITE, 0, disposition,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr, target) < 0)
        return -1;
    if (copy_bytes(source.get(), target.get(), buffer, failed) < 0) return -1;
    failed = Side::kTarget;
    if (set_times(target.get(), entry) < 0) return -1;
    target.reset();
    return set_attributes(to, entry.attributes);
}

bool same_bytes(const std::wstring& one, const std::wstring& other, Buffer& buffer) {
    utils::ScopedKernelHandle first;
    utils::ScopedKernelHandle second;
    if (open_file(one, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                  nullptr, first) < 0 ||
        open_file(other, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                  nullptr, second) < 0)
        return false;
    const DWORD half = kBufferBytes / 2;
    unsigned char* const mine = buffer.data();
    unsigned char* const theirs = buffer.data() + half;
    for (;;) {
        DWORD got_first = 0;
        DWORD got_second = 0;
        if (!system_calls().read_file(first.get(), mine, half, &got_first, nullptr) ||
            !system_calls().read_file(second.get(), theirs, half, &got_second, nullptr))
            return false;
        if (got_first != got_second) return false;
        if (got_first == 0) return true;
        if (std::memcmp(mine, theirs, got_first) != 0) return false;
    }
}

int list_tree(const std::wstring& root, const std::vector<std::wstring>& left_out,
              std::vector<Entry>& entries) {
    return list_below(root, L"", left_out, entries);
}

int set_file_state(const std::wstring& path, const Entry& entry) {
    system_calls().set_file_attributes_w(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    utils::ScopedKernelHandle file;
    if (open_file(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                  0, nullptr, file) < 0 ||
        set_times(file.get(), entry) < 0)
        return -1;
    file.reset();
    return set_attributes(path, entry.attributes);
}

int set_folder_state(const std::wstring& path, const Entry& entry) {
    utils::ScopedKernelHandle folder;
    if (open_file(path, FILE_WRITE_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr, folder) < 0 ||
        set_times(folder.get(), entry) < 0)
        return -1;
    return set_attributes(path, entry.attributes);
}

bool same_state(const Entry& one, const Entry& other) {
    return one.written == other.written && one.created == other.created &&
           (one.attributes & kSettableAttributes) == (other.attributes & kSettableAttributes);
}

int write_file(const std::wstring& path, const std::string& text, DWORD disposition) {
    utils::ScopedKernelHandle file;
    if (open_file(path, GENERIC_WRITE, 0, disposition, FILE_ATTRIBUTE_NORMAL, nullptr, file) < 0)
        return -1;
    DWORD wrote = 0;
    if (!system_calls().write_file(file.get(), text.data(), static_cast<DWORD>(text.size()),
                                   &wrote, nullptr))
        return -1;
    return wrote == text.size() ? 0 : fail_with(ERROR_WRITE_FAULT);
}

bool exists(const std::wstring& path) {
    return system_calls().get_file_attributes_w(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int make_folder(const std::wstring& path) {
    return system_calls().create_directory_w(path.c_str(), nullptr) ? 0 : -1;
}

int clear_attributes(const std::wstring& path) {
    return system_calls().set_file_attributes_w(path.c_str(), FILE_ATTRIBUTE_NORMAL) ? 0 : -1;
}

int delete_file(const std::wstring& path) {
    return delete_with(system_calls().delete_file_w, path, FILE_ATTRIBUTE_NORMAL);
}

int delete_folder(const std::wstring& path) {
    return delete_with(system_calls().remove_directory_w, path, FILE_ATTRIBUTE_DIRECTORY);
}

int delete_tree(const std::wstring& root) {
    // Never a drive's root or a relative path: only a folder of ours, "X:\\...\\name".
    if (root.size() < 4 || root[1] != L':' || root[2] != L'\\')
        return fail_with(ERROR_INVALID_PARAMETER);
    std::vector<Entry> entries;
    bool all = list_tree(root, {}, entries) == 0;
    DWORD first_error = all ? ERROR_SUCCESS : GetLastError();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const std::wstring path = root + L"\\" + entry->relative;
        if ((entry->folder ? delete_folder(path) : delete_file(path)) == 0) continue;
        if (all) first_error = GetLastError();
        all = false;
    }
    if (delete_folder(root) < 0 && all) {
        first_error = GetLastError();
        all = false;
    }
    SetLastError(first_error);
    return all ? 0 : -1;
}

int delete_or_schedule(const std::wstring& path, bool folder) {
    const BOOL removed = folder ? system_calls().remove_directory_w(path.c_str())
                                : system_calls().delete_file_w(path.c_str());
    if (removed || GetLastError() == ERROR_FILE_NOT_FOUND) return 0;
    const DWORD error = GetLastError();
    system_calls().move_file_ex_w(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return fail_with(error);
}

std::wstring full_path(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2] = {0};
    const DWORD length =
        system_calls().get_full_path_name_w(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(buffer, length) : path;
}

}  // namespace fs
