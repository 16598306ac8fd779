#include <cwctype>
#include <unordered_map>
#include <utility>

#include "fs/protected_folder.h"
#include "log/log.h"
#include "rollback/folder_snapshot.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "utils/win.h"

namespace rollback {

const wchar_t* const kSnapshotFolderName = L"snapshot";

namespace {

// Names, for a person who finds a kept snapshot, the folder it is a copy of.
const wchar_t* const kSourceNoteName = L"folder.txt";
// Present while the folder may be half-installed: see note_installer_started.
const wchar_t* const kInstallerStartedName = L"installer-started";
// Present once the run that took the snapshot failed to restore it and kept it: that run
// has ended as it should and said so; the snapshot is left to a person.
const wchar_t* const kRestoreFailedName = L"restore-failed";
// Space a file takes beyond its bytes, rounded generously: one cluster.
constexpr unsigned long long kClusterBytes = 4096;
// A restore that meets a locked file tries again for this long.
constexpr DWORD kRestorePatienceMs = 5000;
constexpr DWORD kRestoreRetryMs = 250;

const char* const kTakeFunction = "rollback::take_folder_snapshot";

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// An entry's key among the others of its tree: folders, files and links apart, letter
// case aside.
std::wstring key_of(const fs::Entry& entry) {
    return (entry.link ? L"l:" : entry.folder ? L"d:" : L"f:") + lower(entry.relative);
}

std::wstring relative_to(const std::wstring& folder, const std::wstring& path) {
    const std::wstring prefix = lower(folder) + L"\\";
    const std::wstring full = lower(path);
    if (full.compare(0, prefix.size(), prefix) != 0) return L"";
    return full.substr(prefix.size());
}

// What one pass of a restore could not put back: the path and the reason.
using Failures = std::vector<std::pair<std::wstring, std::string>>;

void note_failure(Failures& failures, const std::wstring& path) {
    failures.emplace_back(path, last_error_text());
}

// The entries of a restore pass's tree, by key.
using EntryIndex = std::unordered_map<std::wstring, const fs::Entry*>;

// The folder as it is now, opened without following a link. An installer that took the
// whole folder away gets it back first.
int open_source(const std::wstring& source, fs::Tree& tree) {
    if (tree.open(source) == 0) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) return -1;
    return fs::make_folder(source) < 0 ? -1 : tree.open(source);
}

// What the installer added goes, contents before their folder (a link goes itself, never
// what it leads to); what is left of the snapshot's entries is indexed in `now`.
void remove_added(fs::Tree& tree, const std::vector<std::wstring>& left_out,
                  const EntryIndex& wanted, std::vector<fs::Entry>& present, EntryIndex& now,
                  Failures& failures) {
    if (tree.list(left_out, present) < 0) note_failure(failures, tree.root());
    for (auto entry = present.rbegin(); entry != present.rend(); ++entry) {
        const std::wstring key = key_of(*entry);
        if (wanted.count(key) != 0) {
            now[key] = &*entry;
            continue;
        }
        if (tree.remove(entry->relative, entry->folder) < 0)
            note_failure(failures, tree.path(entry->relative));
    }
}

// Puts one entry back: a folder that is missing, a file whose bytes differ, or only the
// times and attributes of a file that is otherwise as it was. A link stays as it is.
void put_back(fs::Tree& tree, fs::Tree& copy, const fs::Entry& entry, const fs::Entry* current,
              fs::Buffer& buffer, Failures& failures) {
    const std::wstring path = tree.path(entry.relative);
    if (entry.link) return;
    if (entry.folder) {
        if (current == nullptr && tree.make_folder(entry.relative) < 0)
            note_failure(failures, path);
        return;
    }
    if (current != nullptr && current->size == entry.size &&
        fs::same_bytes(copy, tree, entry.relative, buffer)) {
        // The running image cannot be written, but it is never changed either.
        if (!fs::same_state(*current, entry) && tree.set_state(entry) < 0)
            note_failure(failures, path);
        return;
    }
    // Written afresh: what is there now goes first, whatever it is.
    fs::Side failed = fs::Side::kSource;
    if ((current != nullptr && tree.remove(entry.relative, false) < 0) ||
        fs::copy_file(copy, tree, entry, CREATE_NEW, buffer, failed) < 0)
        note_failure(failures, path);
}

// One pass over the folder: it goes as far as it can and lists what failed, so that a
// later pass, after a locked file was let go, finishes the work.
Failures restore_pass(const std::wstring& source, const std::wstring& copy_root,
                      const std::vector<std::wstring>& left_out,
                      const std::vector<fs::Entry>& entries, fs::Buffer& buffer) {
    Failures failures;
    fs::Tree tree;
    fs::Tree copy;
    if (open_source(source, tree) < 0 || copy.open(copy_root) < 0) {
        note_failure(failures, source);
        return failures;
    }
    EntryIndex wanted;
    for (const fs::Entry& entry : entries) wanted[key_of(entry)] = &entry;
    std::vector<fs::Entry> present;
    EntryIndex now;
    remove_added(tree, left_out, wanted, present, now, failures);

    // What the installer changed or removed comes back, folders before their contents.
    for (const fs::Entry& entry : entries) {
        const auto found = now.find(key_of(entry));
        put_back(tree, copy, entry, found == now.end() ? nullptr : found->second, buffer, failures);
    }
    // Folder times last: putting files back changed them. Contents before their folder.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->folder && !entry->link && tree.set_state(*entry) < 0)
            note_failure(failures, tree.path(entry->relative));
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
    other.forget();
    return *this;
}

std::string FolderSnapshot::path() const { return narrow(holder_); }

void FolderSnapshot::forget() {
    holder_.clear();
    copy_.clear();
    entries_.clear();
}

void FolderSnapshot::remove() {
    if (holder_.empty()) return;
    if (fs::delete_tree(holder_) < 0) {
        LOG_WARN("rollback::FolderSnapshot::remove", "Failed to remove the snapshot %s: %s",
                 narrow(holder_).c_str(), last_error_text().c_str());
    }
    forget();
}

void FolderSnapshot::note_installer_started() {
    if (holder_.empty()) return;
    if (fs::write_file(holder_ + L"\\" + kInstallerStartedName, "", CREATE_ALWAYS) < 0) {
        LOG_WARN("rollback::FolderSnapshot::note_installer_started", "Failed to write into %s: %s",
                 narrow(holder_).c_str(), last_error_text().c_str());
    }
}

int FolderSnapshot::list_source(const std::string& folder) {
    fs::Tree tree;
    if (tree.open(source_) < 0 || tree.list(left_out_, entries_) < 0) {
        LOG_WARN(kTakeFunction, "Failed to take a snapshot of %s: cannot list the folder: %s",
                 folder.c_str(), last_error_text().c_str());
        return -1;
    }
    for (const fs::Entry& entry : entries_) {
        if (!entry.link) continue;
        LOG_WARN(kTakeFunction,
                 "%s is a link: it is neither followed nor copied, and stays as it is.\n",
                 narrow(tree.path(entry.relative)).c_str());
    }
    return 0;
}

int FolderSnapshot::check_space(const std::string& folder) const {
    unsigned long long needed = kClusterBytes;
    for (const fs::Entry& entry : entries_)
        needed += (entry.size + kClusterBytes - 1) / kClusterBytes * kClusterBytes + kClusterBytes;
    const std::string holder = narrow(holder_);
    ULARGE_INTEGER available{};
    if (!utils::system_calls().get_disk_free_space_ex_w(holder_.c_str(), &available, nullptr,
                                                        nullptr)) {
        LOG_WARN(kTakeFunction,
                 "Failed to take a snapshot of %s: cannot tell the free space in %s: %s",
                 folder.c_str(), holder.c_str(), last_error_text().c_str());
        return -1;
    }
    if (available.QuadPart < needed) {
        SetLastError(ERROR_DISK_FULL);
        LOG_WARN(kTakeFunction,
                 "Failed to take a snapshot of %s: %llu bytes needed, %llu free in %s: %s",
                 folder.c_str(), needed, static_cast<unsigned long long>(available.QuadPart),
                 holder.c_str(), last_error_text().c_str());
        return -1;
    }
    return 0;
}

// Noted first, so that even a snapshot cut short says what it is of.
int FolderSnapshot::write_note(const std::string& folder) {
    copy_ = holder_ + L"\\" + kSnapshotFolderName;
    if (fs::write_file(holder_ + L"\\" + kSourceNoteName, folder + "\r\n", CREATE_NEW) < 0 ||
        fs::make_folder(copy_) < 0) {
        LOG_WARN(kTakeFunction, "Failed to take a snapshot of %s: cannot write into %s: %s",
                 folder.c_str(), narrow(holder_).c_str(), last_error_text().c_str());
        return -1;
    }
    return 0;
}

int FolderSnapshot::copy_entries(const std::string& folder) {
    fs::Tree source;
    fs::Tree copy;
    if (source.open(source_) < 0 || copy.open(copy_) < 0) {
        LOG_WARN(kTakeFunction, "Failed to take a snapshot of %s: cannot open %s: %s",
                 folder.c_str(), narrow(source_).c_str(), last_error_text().c_str());
        return -1;
    }
    fs::Buffer buffer;
    unsigned long long bytes = 0;
    for (const fs::Entry& entry : entries_) {
        if (entry.link) continue;
        fs::Side failed = fs::Side::kTarget;
        if ((entry.folder ? copy.make_folder(entry.relative)
                          : fs::copy_file(source, copy, entry, CREATE_NEW, buffer, failed)) < 0) {
            const bool reading = failed == fs::Side::kSource;
            LOG_WARN(kTakeFunction, "Failed to take a snapshot of %s: cannot %s %s: %s",
                     folder.c_str(), reading ? "read" : "write",
                     narrow((reading ? source : copy).path(entry.relative)).c_str(),
                     last_error_text().c_str());
            return -1;
        }
        bytes += entry.size;
    }
    // Folder times as they were, for whoever uses a kept snapshot by hand.
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
        if (entry->folder && !entry->link) copy.set_state(*entry);
    }
    LOG_INFO(kTakeFunction, "Snapshot of %s (%zu entries, %llu bytes) at %s.\n", folder.c_str(),
             entries_.size(), bytes, narrow(holder_).c_str());
    return 0;
}

int take_folder_snapshot(const std::string& folder, const std::vector<std::string>& left_out,
                         FolderSnapshot& out) {
    FolderSnapshot made;
    made.source_ = fs::full_path(widen(folder));
    while (made.source_.size() > 3 && made.source_.back() == L'\\') made.source_.pop_back();
    for (const std::string& path : left_out) {
        const std::wstring relative = relative_to(made.source_, fs::full_path(widen(path)));
        if (!relative.empty()) made.left_out_.push_back(relative);
    }
    if (made.list_source(folder) < 0) return -1;
    if (fs::make_protected_folder(made.holder_) < 0) {
        LOG_WARN(kTakeFunction,
                 "Failed to take a snapshot of %s: cannot make a protected folder: %s",
                 folder.c_str(), last_error_text().c_str());
        return -1;
    }
    if (made.check_space(folder) < 0 || made.write_note(folder) < 0 ||
        made.copy_entries(folder) < 0)
        return -1;
    out = std::move(made);
    return 0;
}

int restore_folder_snapshot(FolderSnapshot& snapshot) {
    const char* const function = "rollback::restore_folder_snapshot";
    if (!snapshot.taken()) return -1;
    fs::Buffer buffer;
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
    fs::write_file(snapshot.holder_ + L"\\" + kRestoreFailedName, "", CREATE_ALWAYS);
    // Kept: this object forgets it, so that nothing deletes it.
    snapshot.forget();
    return -1;
}

bool holds_unfinished_install(const std::wstring& folder) {
    return fs::exists(folder + L"\\" + kInstallerStartedName) &&
           fs::exists(folder + L"\\" + kSnapshotFolderName);
}

bool holds_interrupted_install(const std::wstring& folder) {
    return holds_unfinished_install(folder) && !fs::exists(folder + L"\\" + kRestoreFailedName) &&
           fs::exists(folder + L"\\" + kSourceNoteName);
}

int open_interrupted_snapshot(const std::wstring& folder, const std::vector<std::string>& left_out,
                              FolderSnapshot& out) {
    const char* const function = "rollback::open_interrupted_snapshot";
    FolderSnapshot found;
    found.holder_ = folder;
    found.copy_ = folder + L"\\" + kSnapshotFolderName;
    // The note is "<folder>\r\n", written by the run that took the snapshot, in a folder
    // only this program writes.
    std::string note;
    if (fs::read_small_file(folder + L"\\" + kSourceNoteName, note) < 0) {
        LOG_WARN(function, "Failed to read what %s is a snapshot of: %s", narrow(folder).c_str(),
                 last_error_text().c_str());
        found.forget();
        return -1;
    }
    while (!note.empty() && (note.back() == '\n' || note.back() == '\r')) note.pop_back();
    found.source_ = fs::full_path(widen(note));
    for (const std::string& path : left_out) {
        const std::wstring relative = relative_to(found.source_, fs::full_path(widen(path)));
        if (!relative.empty()) found.left_out_.push_back(relative);
    }
    // The copy holds every file and folder with the times and attributes they had, but for
    // what this run leaves out; links were never copied, so those the folder holds now are
    // kept as they are.
    fs::Tree copy;
    fs::Tree source;
    std::vector<fs::Entry> links;
    if (note.empty() || copy.open(found.copy_) < 0 ||
        copy.list(found.left_out_, found.entries_) < 0) {
        LOG_WARN(function, "Failed to read the snapshot at %s: %s", narrow(folder).c_str(),
                 last_error_text().c_str());
        found.forget();
        return -1;
    }
    if (source.open(found.source_) == 0 && source.list(found.left_out_, links) == 0) {
        for (const fs::Entry& entry : links)
            if (entry.link) found.entries_.push_back(entry);
    }
    out = std::move(found);
    return 0;
}

}  // namespace rollback
