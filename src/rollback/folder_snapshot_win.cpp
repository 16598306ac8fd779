#include <algorithm>
#include <cstring>
#include <cwctype>
#include <unordered_map>
#include <utility>

#include "log/log.h"
#include "utils/folder_snapshot.h"
#include "utils/protected_copy.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "utils/win.h"

namespace utils {

const wchar_t* const kSnapshotFolderName = L"snapshot";

namespace {

// Names, for a person who finds a kept snapshot, the folder it is a copy of.
const wchar_t* const kSourceNoteName = L"folder.txt";
// Present while the folder may be half-installed: see note_installer_started.
const wchar_t* const kInstallerStartedName = L"installer-started";
constexpr DWORD kCopyBufferBytes = 1024 * 1024;
// Space a file takes beyond its bytes, rounded generously: one cluster.
constexpr unsigned long long kClusterBytes = 4096;
// A restore that meets a locked file tries again for this long.
constexpr DWORD kRestorePatienceMs = 5000;
constexpr DWORD kRestoreRetryMs = 250;
// The attributes SetFileAttributesW can give back.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

unsigned long long join(DWORD high, DWORD low) {
    return (static_cast<unsigned long long>(high) << 32) | low;
}

FILETIME file_time(unsigned long long value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool is_left_out(const std::vector<std::wstring>& left_out, const std::wstring& relative) {
    return std::find(left_out.begin(), left_out.end(), lower(relative)) != left_out.end();
}

// Lists the tree below `root` into `entries`, each folder before its contents, leaving out
// what `left_out` names and what lies behind a reparse point. False, with the last error
// set, when a folder cannot be listed.
bool list_tree(const std::wstring& root, const std::wstring& relative,
               const std::vector<std::wstring>& left_out, std::vector<SnapshotEntry>& entries) {
    const std::wstring pattern = root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*";
    WIN32_FIND_DATAW found;
    ScopedFindHandle search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr,
                                             FIND_FIRST_EX_LARGE_FETCH));
    if (!search) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && folder) continue;
        if (is_left_out(left_out, path)) continue;
        entries.push_back(SnapshotEntry{
            path, found.dwFileAttributes,
            join(found.ftCreationTime.dwHighDateTime, found.ftCreationTime.dwLowDateTime),
            join(found.ftLastAccessTime.dwHighDateTime, found.ftLastAccessTime.dwLowDateTime),
            join(found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime),
            folder ? 0 : join(found.nFileSizeHigh, found.nFileSizeLow), folder});
        if (folder && !list_tree(root, path, left_out, entries)) return false;
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool set_times(HANDLE handle, const SnapshotEntry& entry) {
    const FILETIME created = file_time(entry.created);
    const FILETIME accessed = file_time(entry.accessed);
    const FILETIME written = file_time(entry.written);
    return SetFileTime(handle, &created, &accessed, &written) != FALSE;
}

// Attributes other than these are what a fresh file has already.
bool set_attributes(const std::wstring& path, DWORD attributes) {
    const DWORD wanted = attributes & kSettableAttributes;
    if ((wanted & ~FILE_ATTRIBUTE_ARCHIVE) == 0) return true;
    return SetFileAttributesW(path.c_str(), wanted) != FALSE;
}

// Copies the bytes of `from` into `to`, made afresh (`disposition` CREATE_NEW or
// CREATE_ALWAYS), and gives it the entry's times and attributes. On a failure `reading`
// tells which side failed and the last error is set.
bool copy_exactly(const std::wstring& from, const std::wstring& to, DWORD disposition,
                  const SnapshotEntry& entry, std::vector<char>& buffer, bool& reading) {
    reading = true;
    // Read sharing only: a file that some program is writing is not copied half-way.
    ScopedKernelHandle source(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) return false;
    reading = false;
    ScopedKernelHandle target(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                          nullptr));
    if (!target) return false;
    for (;;) {
        DWORD got = 0;
        reading = true;
        if (!ReadFile(source.get(), buffer.data(), kCopyBufferBytes, &got, nullptr)) return false;
        reading = false;
        if (got == 0) break;
        DWORD wrote = 0;
        if (!WriteFile(target.get(), buffer.data(), got, &wrote, nullptr)) return false;
        if (wrote != got) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
    }
    if (!set_times(target.get(), entry)) return false;
    target.reset();
    return set_attributes(to, entry.attributes);
}

bool set_folder_times(const std::wstring& path, const SnapshotEntry& entry) {
    ScopedKernelHandle folder(CreateFileW(
        path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder && set_times(folder.get(), entry);
}

// Deletes a file, a read-only one as well.
bool delete_file(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != FALSE;
}

bool delete_folder(const std::wstring& path) {
    if (RemoveDirectoryW(path.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
    return RemoveDirectoryW(path.c_str()) != FALSE;
}

// Deletes `root` and everything in it. False with the last error of the first thing that
// could not be deleted; what could be deleted is gone.
bool delete_tree(const std::wstring& root) {
    // Never a drive's root or a relative path: only a folder of ours, "X:\\...\\name".
    if (root.size() < 4 || root[1] != L':' || root[2] != L'\\') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<SnapshotEntry> entries;
    bool all = list_tree(root, L"", {}, entries);
    DWORD first_error = all ? ERROR_SUCCESS : GetLastError();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const std::wstring path = root + L"\\" + entry->relative;
        if (entry->folder ? delete_folder(path) : delete_file(path)) continue;
        if (all) first_error = GetLastError();
        all = false;
    }
    if (!delete_folder(root) && all) {
        first_error = GetLastError();
        all = false;
    }
    SetLastError(first_error);
    return all;
}

bool same_bytes(const std::wstring& one, const std::wstring& other, std::vector<char>& buffer) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ScopedKernelHandle first(CreateFileW(one.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    ScopedKernelHandle second(CreateFileW(other.c_str(), GENERIC_READ, share, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!first || !second) return false;
    const DWORD half = kCopyBufferBytes / 2;
    for (;;) {
        DWORD got_first = 0;
        DWORD got_second = 0;
        if (!ReadFile(first.get(), buffer.data(), half, &got_first, nullptr) ||
            !ReadFile(second.get(), buffer.data() + half, half, &got_second, nullptr))
            return false;
        if (got_first != got_second) return false;
        if (got_first == 0) return true;
        if (std::memcmp(buffer.data(), buffer.data() + half, got_first) != 0) return false;
    }
}

std::wstring relative_to(const std::wstring& folder, const std::wstring& path) {
    const std::wstring prefix = lower(folder) + L"\\";
    const std::wstring full = lower(path);
    if (full.compare(0, prefix.size(), prefix) != 0) return L"";
    return full.substr(prefix.size());
}

std::wstring full_path(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2] = {0};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(buffer, length) : path;
}

// What one pass of a restore could not put back: the path and the reason.
using Failures = std::vector<std::pair<std::wstring, std::string>>;

void note_failure(Failures& failures, const std::wstring& path) {
    failures.emplace_back(path, last_error_text());
}

// One pass over the folder: it goes as far as it can and lists what failed, so that a
// later pass, after a locked file was let go, finishes the work.
Failures restore_pass(const std::wstring& source, const std::wstring& copy,
                      const std::vector<std::wstring>& left_out,
                      const std::vector<SnapshotEntry>& entries, std::vector<char>& buffer) {
    Failures failures;
    std::unordered_map<std::wstring, const SnapshotEntry*> wanted;
    for (const SnapshotEntry& entry : entries)
        wanted[(entry.folder ? L"d:" : L"f:") + lower(entry.relative)] = &entry;

    // What the installer added goes, contents before their folder.
    std::vector<SnapshotEntry> present;
    if (!list_tree(source, L"", left_out, present)) {
        // An installer that took the whole folder away: it comes back first.
        if (GetLastError() != ERROR_PATH_NOT_FOUND || !CreateDirectoryW(source.c_str(), nullptr))
            note_failure(failures, source);
    }
    std::unordered_map<std::wstring, const SnapshotEntry*> now;
    for (auto entry = present.rbegin(); entry != present.rend(); ++entry) {
        const std::wstring key = (entry->folder ? L"d:" : L"f:") + lower(entry->relative);
        if (wanted.count(key) != 0) {
            now[key] = &*entry;
            continue;
        }
        const std::wstring path = source + L"\\" + entry->relative;
        if (!(entry->folder ? delete_folder(path) : delete_file(path)))
            note_failure(failures, path);
    }

    // What it changed or removed comes back, folders before their contents.
    for (const SnapshotEntry& entry : entries) {
        const std::wstring path = source + L"\\" + entry.relative;
        const auto found = now.find((entry.folder ? L"d:" : L"f:") + lower(entry.relative));
        const SnapshotEntry* current = found == now.end() ? nullptr : found->second;
        if (entry.folder) {
            if (current == nullptr && !CreateDirectoryW(path.c_str(), nullptr))
                note_failure(failures, path);
            continue;
        }
        const std::wstring saved = copy + L"\\" + entry.relative;
        if (current != nullptr && current->size == entry.size && same_bytes(saved, path, buffer)) {
            // The running image cannot be written, but it is never changed either.
            if (current->written == entry.written && current->created == entry.created &&
                (current->attributes & kSettableAttributes) ==
                    (entry.attributes & kSettableAttributes))
                continue;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ScopedKernelHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
            if (!file || !set_times(file.get(), entry) ||
                (file.reset(), !set_attributes(path, entry.attributes)))
                note_failure(failures, path);
            continue;
        }
        if (current != nullptr) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        bool reading = false;
        if (!copy_exactly(saved, path, CREATE_ALWAYS, entry, buffer, reading))
            note_failure(failures, path);
    }

    // Folder times last: putting files back changed them. Contents before their folder.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (!entry->folder) continue;
        const std::wstring path = source + L"\\" + entry->relative;
        if (!set_folder_times(path, *entry) || !set_attributes(path, entry->attributes))
            note_failure(failures, path);
    }
    return failures;
}

}  // namespace

FolderSnapshot::~FolderSnapshot() { remove(); }

FolderSnapshot::FolderSnapshot(FolderSnapshot&& other) noexcept { *this = std::move(other); }

FolderSnapshot& FolderSnapshot::operator=(FolderSnapshot&& other) noexcept {
    if (this == &other) return *this;
    remove();
    source_ = std::move(other.source_);
    holder_ = std::move(other.holder_);
    copy_ = std::move(other.copy_);
    left_out_ = std::move(other.left_out_);
    entries_ = std::move(other.entries_);
    // A moved-from string is only valid, not necessarily empty; the other object must not
    // remove what now belongs to this one.
    other.holder_.clear();
    other.copy_.clear();
    other.entries_.clear();
    return *this;
}

std::string FolderSnapshot::path() const { return narrow(holder_); }

void FolderSnapshot::remove() {
    if (holder_.empty()) return;
    if (!delete_tree(holder_)) {
        LOG_WARN("utils::FolderSnapshot::remove", "Failed to remove the snapshot %s: %s",
                 narrow(holder_).c_str(), last_error_text().c_str());
    }
    holder_.clear();
    copy_.clear();
    entries_.clear();
}

void FolderSnapshot::note_installer_started() {
    if (holder_.empty()) return;
    ScopedKernelHandle note(CreateFileW((holder_ + L"\\" + kInstallerStartedName).c_str(),
                                        GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!note) {
        LOG_WARN("utils::FolderSnapshot::note_installer_started", "Failed to write into %s: %s",
                 narrow(holder_).c_str(), last_error_text().c_str());
    }
}

int take_folder_snapshot(const std::string& folder, const std::vector<std::string>& left_out,
                         FolderSnapshot& out) {
    const char* const function = "utils::take_folder_snapshot";
    FolderSnapshot made;
    made.source_ = full_path(widen(folder));
    while (made.source_.size() > 3 && made.source_.back() == L'\\') made.source_.pop_back();
    for (const std::string& path : left_out) {
        const std::wstring relative = relative_to(made.source_, full_path(widen(path)));
        if (!relative.empty()) made.left_out_.push_back(relative);
    }

    const DWORD attributes = GetFileAttributesW(made.source_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        !list_tree(made.source_, L"", made.left_out_, made.entries_)) {
        LOG_WARN(function, "Failed to take a snapshot of %s: cannot list the folder: %s",
                 folder.c_str(), last_error_text().c_str());
        return -1;
    }
    unsigned long long needed = kClusterBytes;
    for (const SnapshotEntry& entry : made.entries_)
        needed += (entry.size + kClusterBytes - 1) / kClusterBytes * kClusterBytes + kClusterBytes;

    if (make_protected_folder(made.holder_) < 0) {
        LOG_WARN(function, "Failed to take a snapshot of %s: cannot make a protected folder: %s",
                 folder.c_str(), last_error_text().c_str());
        return -1;
    }
    const std::string holder = narrow(made.holder_);
    ULARGE_INTEGER available{};
    if (!system_calls().get_disk_free_space_ex_w(made.holder_.c_str(), &available, nullptr,
                                                 nullptr)) {
        LOG_WARN(function, "Failed to take a snapshot of %s: cannot tell the free space in %s: %s",
                 folder.c_str(), holder.c_str(), last_error_text().c_str());
        return -1;
    }
    if (available.QuadPart < needed) {
        SetLastError(ERROR_DISK_FULL);
        LOG_WARN(function,
                 "Failed to take a snapshot of %s: %llu bytes needed, %llu free in %s: %s",
                 folder.c_str(), needed, static_cast<unsigned long long>(available.QuadPart),
                 holder.c_str(), last_error_text().c_str());
        return -1;
    }

    // Noted first, so that even a snapshot cut short says what it is of.
    const std::string note = folder + "\r\n";
    ScopedKernelHandle note_file(CreateFileW((made.holder_ + L"\\" + kSourceNoteName).c_str(),
                                             GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD wrote = 0;
    if (!note_file || !WriteFile(note_file.get(), note.data(), static_cast<DWORD>(note.size()),
                                 &wrote, nullptr)) {
        LOG_WARN(function, "Failed to take a snapshot of %s: cannot write into %s: %s",
                 folder.c_str(), holder.c_str(), last_error_text().c_str());
        return -1;
    }
    note_file.reset();

    made.copy_ = made.holder_ + L"\\" + kSnapshotFolderName;
    if (!CreateDirectoryW(made.copy_.c_str(), nullptr)) {
        LOG_WARN(function, "Failed to take a snapshot of %s: cannot write into %s: %s",
                 folder.c_str(), holder.c_str(), last_error_text().c_str());
        return -1;
    }
    std::vector<char> buffer(kCopyBufferBytes);
    unsigned long long bytes = 0;
    for (const SnapshotEntry& entry : made.entries_) {
        const std::wstring from = made.source_ + L"\\" + entry.relative;
        const std::wstring to = made.copy_ + L"\\" + entry.relative;
        if (entry.folder) {
            if (!CreateDirectoryW(to.c_str(), nullptr)) {
                LOG_WARN(function, "Failed to take a snapshot of %s: cannot write %s: %s",
                         folder.c_str(), narrow(to).c_str(), last_error_text().c_str());
                return -1;
            }
            continue;
        }
        bool reading = false;
        if (!copy_exactly(from, to, CREATE_NEW, entry, buffer, reading)) {
            LOG_WARN(function, "Failed to take a snapshot of %s: cannot %s %s: %s", folder.c_str(),
                     reading ? "read" : "write", narrow(reading ? from : to).c_str(),
                     last_error_text().c_str());
            return -1;
        }
        bytes += entry.size;
    }
    // Folder times as they were, for whoever uses a kept snapshot by hand.
    for (auto entry = made.entries_.rbegin(); entry != made.entries_.rend(); ++entry) {
        if (!entry->folder) continue;
        set_folder_times(made.copy_ + L"\\" + entry->relative, *entry);
        set_attributes(made.copy_ + L"\\" + entry->relative, entry->attributes);
    }
    LOG_INFO(function, "Snapshot of %s (%zu entries, %llu bytes) at %s.\n", folder.c_str(),
             made.entries_.size(), bytes, holder.c_str());
    out = std::move(made);
    return 0;
}

int restore_folder_snapshot(FolderSnapshot& snapshot) {
    const char* const function = "utils::restore_folder_snapshot";
    if (!snapshot.taken()) return -1;
    std::vector<char> buffer(kCopyBufferBytes);
    Failures failures;
    for (DWORD waited = 0;; waited += kRestoreRetryMs) {
        failures = restore_pass(snapshot.source_, snapshot.copy_, snapshot.left_out_,
                                snapshot.entries_, buffer);
        if (failures.empty() || waited >= kRestorePatienceMs) break;
        Sleep(kRestoreRetryMs);
    }
    const std::string source = narrow(snapshot.source_);
    if (failures.empty()) {
        LOG_INFO(function, "Restored the previous version of %s from the snapshot at %s.\n",
                 source.c_str(), snapshot.path().c_str());
        snapshot.remove();
        return 0;
    }
    for (const auto& failure : failures) {
        LOG_WARN(function, "Failed to restore %s: %s", narrow(failure.first).c_str(),
                 failure.second.c_str());
    }
    LOG_WARN(function, "%s is not as it was; the snapshot of it is kept at %s.\n", source.c_str(),
             snapshot.path().c_str());
    // Kept: this object forgets it, so that nothing deletes it.
    snapshot.holder_.clear();
    snapshot.copy_.clear();
    snapshot.entries_.clear();
    return -1;
}

void remove_abandoned_update_folders() {
    for (const std::wstring& folder : protected_folders()) {
        const DWORD started = GetFileAttributesW((folder + L"\\" + kInstallerStartedName).c_str());
        const DWORD copy = GetFileAttributesW((folder + L"\\" + kSnapshotFolderName).c_str());
        if (started != INVALID_FILE_ATTRIBUTES && copy != INVALID_FILE_ATTRIBUTES) {
            LOG_WARN("utils::remove_abandoned_update_folders",
                     "Kept %s: it holds the snapshot of a folder that an unfinished install "
                     "may have changed.\n",
                     narrow(folder).c_str());
            continue;
        }
        if (delete_tree(folder)) {
            LOG_INFO("utils::remove_abandoned_update_folders", "Removed %s.\n",
                     narrow(folder).c_str());
        }
    }
}

}  // namespace utils
