// A copy of the client application's folder, taken by the elevated run before the
// installer runs in it, from which the folder is put back exactly as it was when the
// install fails.
#pragma once

#include <string>
#include <vector>

#include "fs/file_tree.h"

namespace rollback {

// Owns one snapshot: a byte-for-byte copy of a folder's tree, in a protected folder of
// its own (see fs::make_protected_folder), and the list of what it holds with attributes and
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
    // holds_unfinished_install is true for its folder. A WARN line when it cannot.
    void note_installer_started();

private:
    friend int take_folder_snapshot(const std::string& folder,
                                    const std::vector<std::string>& left_out, FolderSnapshot& out);
    friend int restore_folder_snapshot(FolderSnapshot& snapshot);
    friend int open_interrupted_snapshot(const std::wstring& folder,
                                         const std::vector<std::string>& left_out,
                                         FolderSnapshot& out);

    std::wstring source_;                 // the folder the snapshot is of
    std::wstring holder_;                 // the protected folder
    std::wstring copy_;                   // holder_\snapshot, mirroring source_
    std::vector<std::wstring> left_out_;  // lower-case relative paths neither copied nor put back
    std::vector<fs::Entry> entries_;      // parents before their contents

    // The steps of take_folder_snapshot, each with its WARN line on failure.
    int list_source(const std::string& folder);
    int check_space(const std::string& folder) const;
    int write_note(const std::string& folder);
    int copy_entries(const std::string& folder);
    // Forgets the copy without deleting it.
    void forget();
};

// The sub-folder of a protected folder that holds a snapshot's copy.
extern const wchar_t* const kSnapshotFolderName;

// Copies every file and sub-folder of `folder` (an absolute path) into a fresh protected
// folder, reading each file with read sharing only, through fs::Tree: no link is
// followed. Files listed in `left_out` (absolute paths, such as the open log) are neither
// copied nor, later, put back or removed. A file or folder that is a reparse point
// (junction, symbolic link) is recorded as it is, with a WARN line, and neither followed,
// copied nor, later, put back through. A `folder` that is itself a link is refused. Free
// space is checked first. Returns 0 with `out` owning the snapshot and an INFO line with
// its size, or -1 after one WARN line that names the cause (no space, a file that cannot
// be read, a copy that cannot be written), with nothing left behind and `out` untouched.
int take_folder_snapshot(const std::string& folder, const std::vector<std::string>& left_out,
                         FolderSnapshot& out);

// Puts the folder back as the snapshot holds it: files, folders and links that are not in
// it are deleted (a link itself, never what it leads to), files whose bytes differ are
// deleted and written afresh, and every attribute and time is set as it was. What fails is tried
// again for a few seconds. Returns 0 after an INFO line, with the snapshot removed; or -1 after a
// WARN line for each file or folder that could not be put back and one that names the snapshot,
// which is then kept on disk for good (destruction leaves it; a later run finds it marked
// as kept, see holds_interrupted_install).
int restore_folder_snapshot(FolderSnapshot& snapshot);

// True when the protected `folder` holds a snapshot that must outlive the run that took
// it: one taken before an installer started (see note_installer_started) or kept after a
// failed restore. That may be the only copy of an application's previous version; a run
// that clears the folders abandoned by runs ended by force leaves it.
bool holds_unfinished_install(const std::wstring& folder);

// True when the protected `folder` holds the snapshot of a run that was ended while its
// installer ran: one whose installer had started and whose run neither removed it nor
// kept it after a failed restore. The folder it is of may be half-installed.
bool holds_interrupted_install(const std::wstring& folder);

// Takes over the snapshot in `folder` (see holds_interrupted_install) as if this run had
// taken it, for restore_folder_snapshot; `left_out` as for take_folder_snapshot. 0 with
// `out` owning it (destruction removes it), or -1 after a WARN line with `out` untouched
// and the snapshot left where it is.
int open_interrupted_snapshot(const std::wstring& folder, const std::vector<std::string>& left_out,
                              FolderSnapshot& out);

}  // namespace rollback
