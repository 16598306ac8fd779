#include <algorithm>
#include <cstring>
#include <cwctype>

#include "fs/file_tree.h"
#include "utils/system_calls.h"

namespace fs {

namespace {

using utils::system_calls;

// The attributes a file's basic information can give back.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A held folder: readable and listable by others, but nobody may rename or delete it.
constexpr DWORD kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFolderFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

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

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool is_left_out(const std::vector<std::wstring>& left_out, const std::wstring& relative) {
    return std::find(left_out.begin(), left_out.end(), lower(relative)) != left_out.end();
}

std::wstring parent_of(const std::wstring& relative) {
    const size_t separator = relative.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : relative.substr(0, separator);
}

Entry entry_of(const WIN32_FIND_DATAW& found, const std::wstring& relative) {
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return Entry{relative,
                 found.dwFileAttributes,
                 join(found.ftCreationTime),
                 join(found.ftLastAccessTime),
                 join(found.ftLastWriteTime),
                 folder || link ? 0 : join(found.nFileSizeHigh, found.nFileSizeLow),
                 folder,
                 link};
}

// What an open handle is: -1 with ERROR_CANT_ACCESS_FILE for a reparse point.
int check_not_link(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) {
    if (!system_calls().get_file_information_by_handle(handle, &information)) return -1;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return fail_with(ERROR_CANT_ACCESS_FILE);
    return 0;
}

// Times and attributes through a handle opened with FILE_WRITE_ATTRIBUTES.
int set_basic_information(HANDLE handle, const Entry& entry) {
    FILE_BASIC_INFO information{};
    information.CreationTime.QuadPart = static_cast<LONGLONG>(entry.created);
    information.LastAccessTime.QuadPart = static_cast<LONGLONG>(entry.accessed);
    information.LastWriteTime.QuadPart = static_cast<LONGLONG>(entry.written);
    // 0 would leave the attributes as they are.
    const DWORD wanted = entry.attributes & kSettableAttributes;
    information.FileAttributes =
        wanted != 0 ? wanted : (entry.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);
    return system_calls().set_file_information_by_handle(handle, FileBasicInfo, &information,
                                                         sizeof information)
               ? 0
               : -1;
}

// Deletes the file or folder at `path` itself (a link itself, never what it leads to)
// through a handle opened on it, so that what is deleted is what was opened, even when a
// name on the way changes meanwhile. A read-only one loses that attribute first: the
// system deletes no read-only file.
int delete_through_handle(const std::wstring& path, bool folder) {
    utils::ScopedKernelHandle handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (open_file(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                  OPEN_EXISTING, kFolderFlags, nullptr, handle) < 0 ||
        !system_calls().get_file_information_by_handle(handle.get(), &information))
        return -1;
    // As RemoveDirectoryW and DeleteFileW answer a path of the other kind.
    if (((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder)
        return fail_with(folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes =
            (information.dwFileAttributes & kSettableAttributes & ~FILE_ATTRIBUTE_READONLY) |
            (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);
        if (!system_calls().set_file_information_by_handle(handle.get(), FileBasicInfo, &basic,
                                                           sizeof basic))
            return -1;
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    return system_calls().set_file_information_by_handle(handle.get(), FileDispositionInfo,
                                                         &dispose, sizeof dispose)
               ? 0
               : -1;
}

}  // namespace

int Tree::open(const std::wstring& root) {
    utils::ScopedKernelHandle handle;
    BY_HANDLE_FILE_INFORMATION information{};
    std::wstring final_root;
    if (open_file(root, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, OPEN_EXISTING, kFolderFlags,
                  nullptr, handle) < 0 ||
        check_not_link(handle.get(), information) < 0 || final_path(handle.get(), final_root) < 0)
        return -1;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return fail_with(ERROR_DIRECTORY);
    root_ = root;
    while (root_.size() > 3 && root_.back() == L'\\') root_.pop_back();
    final_root_ = lower(final_root);
    release();
    return 0;
}

std::wstring Tree::path(const std::wstring& relative) const {
    return relative.empty() ? root_ : root_ + L"\\" + relative;
}

void Tree::release() {
    held_handle_.reset();
    held_.clear();
}

int Tree::hold(const std::wstring& relative) {
    if (held_handle_ && held_ == relative) return 0;
    utils::ScopedKernelHandle handle;
    BY_HANDLE_FILE_INFORMATION information{};
    std::wstring found;
    if (open_file(path(relative), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                  kShareHeld, OPEN_EXISTING, kFolderFlags, nullptr, handle) < 0 ||
        check_not_link(handle.get(), information) < 0 || final_path(handle.get(), found) < 0)
        return -1;
    // A folder further up that became a junction leads elsewhere: the system's name for
    // what was opened tells.
    const std::wstring expected = relative.empty() ? final_root_ : final_root_ + L"\\" + relative;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        lower(found) != lower(expected))
        return fail_with(ERROR_CANT_ACCESS_FILE);
    held_handle_ = std::move(handle);
    held_ = relative;
    return 0;
}

int Tree::hold_parent_of(const std::wstring& relative) { return hold(parent_of(relative)); }

int Tree::list(const std::vector<std::wstring>& left_out, std::vector<Entry>& entries) {
    return list_below(L"", left_out, entries);
}

int Tree::list_below(const std::wstring& relative, const std::vector<std::wstring>& left_out,
                     std::vector<Entry>& entries) {
    if (hold(relative) < 0) return -1;
    WIN32_FIND_DATAW found;
    utils::ScopedFindHandle search(system_calls().find_first_file_ex_w(
        (path(relative) + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
        FIND_FIRST_EX_LARGE_FETCH));
    if (!search) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (is_left_out(left_out, child)) continue;
        entries.push_back(entry_of(found, child));
        if (entries.back().folder && !entries.back().link &&
            list_below(child, left_out, entries) < 0)
            return -1;
    } while (system_calls().find_next_file_w(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
}

int Tree::open(const std::wstring& relative, DWORD access, DWORD share, DWORD disposition,
               DWORD flags, utils::ScopedKernelHandle& out) {
    if (hold_parent_of(relative) < 0) return -1;
    utils::ScopedKernelHandle handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (open_file(path(relative), access, share, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT,
                  nullptr, handle) < 0 ||
        check_not_link(handle.get(), information) < 0)
        return -1;
    // A file with a second name may be one of the system's under another: what is written
    // or put back here would land there too.
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        information.nNumberOfLinks > 1)
        return fail_with(ERROR_CANT_ACCESS_FILE);
    out = std::move(handle);
    return 0;
}

int Tree::make_folder(const std::wstring& relative) {
    if (hold_parent_of(relative) < 0) return -1;
    return system_calls().create_directory_w(path(relative).c_str(), nullptr) ? 0 : -1;
}

// The folder that holds it is held and where it should be.
int Tree::remove(const std::wstring& relative, bool folder) {
    if (relative.empty()) return fail_with(ERROR_INVALID_PARAMETER);
    if (hold_parent_of(relative) < 0) return -1;
    return delete_through_handle(path(relative), folder);
}

int Tree::set_state(const Entry& entry) {
    utils::ScopedKernelHandle handle;
    if (open(entry.relative, FILE_WRITE_ATTRIBUTES, kShareAll, OPEN_EXISTING,
             entry.folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, handle) < 0)
        return -1;
    return set_basic_information(handle.get(), entry);
}

int open_file(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
              SECURITY_ATTRIBUTES* security, utils::ScopedKernelHandle& out) {
    utils::ScopedKernelHandle opened(system_calls().create_file_w(
        path.c_str(), access, share, security, disposition, flags, nullptr));
    if (!opened) return -1;
    out = std::move(opened);
    return 0;
}

bool is_disk_file(HANDLE file) { return system_calls().get_file_type(file) == FILE_TYPE_DISK; }

int final_path(HANDLE handle, std::wstring& out) {
    wchar_t path[MAX_PATH * 4] = {0};
    const DWORD length = system_calls().get_final_path_name_by_handle_w(
        handle, path, MAX_PATH * 4, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return -1;
    if (length >= MAX_PATH * 4) return fail_with(ERROR_FILENAME_EXCED_RANGE);
    out.assign(path, length);
    return 0;
}

bool same_file(HANDLE a, const std::wstring& b) {
    BY_HANDLE_FILE_INFORMATION found[2]{};
    utils::ScopedKernelHandle other;
    if (a == nullptr || a == INVALID_HANDLE_VALUE ||
        !system_calls().get_file_information_by_handle(a, &found[0]) ||
        open_file(b, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, 0, nullptr, other) < 0 ||
        !system_calls().get_file_information_by_handle(other.get(), &found[1]))
        return false;
    return found[0].dwVolumeSerialNumber == found[1].dwVolumeSerialNumber &&
           found[0].nFileIndexHigh == found[1].nFileIndexHigh &&
           found[0].nFileIndexLow == found[1].nFileIndexLow;
}

bool same_file(const std::wstring& a, const std::wstring& b) {
    utils::ScopedKernelHandle one;
    return open_file(a, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, 0, nullptr, one) == 0 &&
           same_file(one.get(), b);
}

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
            if (!system_calls().write_file(to, buffer.data() + done, got - done, &wrote, nullptr)) {
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

int copy_file(Tree& from, Tree& to, const Entry& entry, DWORD disposition, Buffer& buffer,
              Side& failed) {
    utils::ScopedKernelHandle source;
    failed = Side::kSource;
    if (from.open(entry.relative, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                  FILE_FLAG_SEQUENTIAL_SCAN, source) < 0)
        return -1;
    utils::ScopedKernelHandle target;
    failed = Side::kTarget;
    if (to.open(entry.relative, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, disposition,
                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, target) < 0)
        return -1;
    if (copy_bytes(source.get(), target.get(), buffer, failed) < 0) return -1;
    failed = Side::kTarget;
    return set_basic_information(target.get(), entry);
}

bool same_bytes(Tree& one, Tree& other, const std::wstring& relative, Buffer& buffer) {
    utils::ScopedKernelHandle first;
    utils::ScopedKernelHandle second;
    if (one.open(relative, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                 first) < 0 ||
        other.open(relative, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                   second) < 0)
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

bool same_state(const Entry& one, const Entry& other) {
    return one.written == other.written && one.created == other.created &&
           (one.attributes & kSettableAttributes) == (other.attributes & kSettableAttributes);
}

int delete_tree(const std::wstring& root) {
    // Never a drive's root or a relative path: only a folder of ours, "X:\\...\\name".
    if (root.size() < 4 || root[1] != L':' || root[2] != L'\\')
        return fail_with(ERROR_INVALID_PARAMETER);
    Tree tree;
    if (tree.open(root) < 0) return -1;
    std::vector<Entry> entries;
    bool all = tree.list({}, entries) == 0;
    DWORD first_error = all ? ERROR_SUCCESS : GetLastError();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (tree.remove(entry->relative, entry->folder) == 0) continue;
        if (all) first_error = GetLastError();
        all = false;
    }
    tree.release();
    if (delete_through_handle(root, true) < 0 && all) {
        first_error = GetLastError();
        all = false;
    }
    SetLastError(first_error);
    return all ? 0 : -1;
}

int delete_or_schedule(const std::wstring& path, bool folder) {
    if (delete_through_handle(path, folder) == 0 || GetLastError() == ERROR_FILE_NOT_FOUND)
        return 0;
    const DWORD error = GetLastError();
    system_calls().move_file_ex_w(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return fail_with(error);
}

int write_file(const std::wstring& path, const std::string& text, DWORD disposition) {
    utils::ScopedKernelHandle file;
    if (open_file(path, GENERIC_WRITE, 0, disposition, FILE_ATTRIBUTE_NORMAL, nullptr, file) < 0)
        return -1;
    DWORD wrote = 0;
    if (!system_calls().write_file(file.get(), text.data(), static_cast<DWORD>(text.size()), &wrote,
                                   nullptr))
        return -1;
    return wrote == text.size() ? 0 : fail_with(ERROR_WRITE_FAULT);
}

int read_small_file(const std::wstring& path, std::string& out) {
    utils::ScopedKernelHandle file;
    if (open_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                  nullptr, file) < 0)
        return -1;
    std::string text(kSmallFileBytes, '\0');
    DWORD read = 0;
    if (!system_calls().read_file(file.get(), &text[0], kSmallFileBytes, &read, nullptr)) return -1;
    text.resize(read);
    out = text;
    return 0;
}

bool exists(const std::wstring& path) {
    return system_calls().get_file_attributes_w(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int make_folder(const std::wstring& path) {
    return system_calls().create_directory_w(path.c_str(), nullptr) ? 0 : -1;
}

std::wstring full_path(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2] = {0};
    const DWORD length =
        system_calls().get_full_path_name_w(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(buffer, length) : path;
}

}  // namespace fs
