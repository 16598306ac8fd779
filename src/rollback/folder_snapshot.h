// A copy of the client application's folder, taken by the elevated run before the
// installer runs in it, from which the folder is put back exactly as it was when the
// install fails.
#pragma once

#include <string>
#include <vector>

namespace utils {

// One file or sub-folder as it was when the snapshot was taken. Times are FILETIME values
// (100 ns since 1601, UTC).
struct SnapshotEntry {
    std::wstring relative;  // below the folder, "bin\\tool.dll"
    unsigned long attributes;
    unsigned long long created;
    unsigned long long accessed;
    unsigned long long written;
    unsigned long long size;  // bytes; 0 for a folder
    bool folder;
};

// Owns one snapshot: a byte-for-byte copy of a folder's tree, in a protected folder of
// its own (see make_protected_folder), and the list of what it holds with attributes and
// times. Destruction removes the copy and its folder unless the snapshot was kept.
// Move-only; one thread at a time.
class FolderSnapshot {
public:
    FolderSnapshot() = default;
    ~FolderSnapshot();
    FolderSnapshot(FolderSnapshot&& other) noexcept;
    FolderSnapshot& operator=(FolderSnapshot&& other) noexcept;
    FolderSnapshot(const FolderSnapshot&) = delete;
    FolderSnapshot& operator=(const FolderSnapshot&) = delete;

    bool taken() const { return !copy_.empty(); }
    // The protected folder that holds the copy (narrow, ANSI code page); empty for none.
    std::string path() const;
    // Deletes the copy and its folder now. A WARN line names what could not be deleted.
    void remove();
    // Notes beside the copy that an installer is about to change the folder: from then on
    // until remove(), a run ended by force may have left the folder half-installed, and
    // remove_abandoned_update_folders keeps the snapshot. A WARN line when it cannot.
    void note_installer_started();

private:
    friend int take_folder_snapshot(const std::string& folder,
                                    const std::vector<std::string>& left_out, FolderSnapshot& out);
    friend int restore_folder_snapshot(FolderSnapshot& snapshot);

    std::wstring source_;                 // the folder the snapshot is of
    std::wstring holder_;                 // the protected folder
    std::wstring copy_;                   // holder_\snapshot, mirroring source_
    std::vector<std::wstring> left_out_;  // lower-case relative paths neither copied nor put back
    std::vector<SnapshotEntry> entries_;  // parents before their contents
};

// The sub-folder of a protected folder that holds a snapshot's copy.
extern const wchar_t* const kSnapshotFolderName;

// Copies every file and sub-folder of `folder` (an absolute path) into a fresh protected
// folder, reading each file with read sharing only. Files listed in `left_out` (absolute
// paths, such as the open log) are neither copied nor, later, put back or removed; a
// folder that is a reparse point (junction, link) is left alone in the same way. Free
// space is checked first. Returns 0 with `out` owning the snapshot and an INFO line with
// its size, or -1 after one WARN line that names the cause (no space, a file that cannot
// be read, a copy that cannot be written), with nothing left behind and `out` untouched.
int take_folder_snapshot(const std::string& folder, const std::vector<std::string>& left_out,
                         FolderSnapshot& out);

// Puts the folder back as the snapshot holds it: files and folders that are not in it are
// deleted, files whose bytes differ are written again, and every attribute and time is
// set as it was. What fails is tried again for a few seconds. Returns 0 after an INFO
// line, with the snapshot removed; or -1 after a WARN line for each file or folder that
// could not be put back and one that names the snapshot, which is then kept on disk for
// good (destruction leaves it).
int restore_folder_snapshot(FolderSnapshot& snapshot);

// Removes the protected folders that runs ended by force left behind, with an INFO line
// each, except one that holds a snapshot taken before an installer started (see
// note_installer_started) or kept after a failed restore: that may be the only copy of an
// application's previous version, and a WARN line names it instead. A folder whose files
// cannot all be deleted is in use and stays. Call it while holding the single-instance
// lock.
void remove_abandoned_update_folders();

}  // namespace utils
