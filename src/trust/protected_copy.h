// A checked copy of a file that lies where ordinary programs can change it, for the
// elevated run: the copy sits in a folder of its own that only Administrators and SYSTEM
// may write, so that what was checked is what runs.
#pragma once

#include <string>
#include <vector>

#include "utils/scoped_handle.h"

namespace trust {

// Whose the installer is: the elevated run reads it as the desktop user, and only in
// that user's update folder.
struct SourceOwner {
    // Acted as (ImpersonateLoggedOnUser) while the source is opened, so that nothing is
    // opened that the user could not open, and a share is signed in to with the user's
    // credentials, not this run's; a pipe or server at the other end may identify the
    // user, never act as them. Null: the source is opened as this process.
    HANDLE user_token = nullptr;
    // The source must lie in this folder, as the system names both once open; empty: anywhere.
    std::wstring folder;
};

// Owns one copy and the folder made for it. While it lives, the copy is held open with
// read sharing only (nobody can change, rename or delete it) and so is the source it was
// checked from. Destruction closes both, deletes the copy and then the folder; what
// cannot be deleted is scheduled for deletion at the next restart, with a WARN line. What
// the installer left in the folder for temporary files goes with the folder.
// Move-only; one thread at a time.
class ProtectedCopy {
public:
    ProtectedCopy() = default;
    ~ProtectedCopy();
    ProtectedCopy(ProtectedCopy&& other) noexcept;
    ProtectedCopy& operator=(ProtectedCopy&& other) noexcept;
    ProtectedCopy(const ProtectedCopy&) = delete;
    ProtectedCopy& operator=(const ProtectedCopy&) = delete;

    // The copy's full path (narrow, ANSI code page); empty when there is none.
    const std::string& path() const { return path_; }
    // The folder that holds it; empty when there is none.
    const std::string& folder() const { return folder_; }
    // The copy, held open for reading; null when there is none. Reading through it reads
    // the bytes that were checked, without opening the path again.
    HANDLE handle() const { return copy_.get(); }

    // Deletes the source when this object lets go of it. It goes through the handle the
    // copy was read from, so the file deleted is the file that was checked, wherever its
    // path leads by then. Does nothing when the source could only be opened for reading
    // or there is no copy; reports nothing.
    void remove_source();

    // Makes a folder beside the copy, for the installer's temporary files, and sets
    // `folder` to its path. It goes with the copy. 0, or -1 after a WARN line.
    int make_temp_folder(std::wstring& folder);

private:
    friend int copy_to_protected_folder(const std::string& source, const std::string& expected_md5,
                                        ProtectedCopy& out, const SourceOwner& owner);
    friend int copy_signed_to_protected_folder(const std::string& source, ProtectedCopy& out);
    // Both: `expected_md5` null compares no digest.
    static int copy(const std::string& source, const std::string* expected_md5, ProtectedCopy& out,
                    const SourceOwner& owner);
    void release();
    // The steps of copy_to_protected_folder, each with its WARN line on failure.
    int open_source(const std::string& source, const SourceOwner& owner);
    int check_source(const std::string& source);
    int create_copy(const std::string& source, utils::ScopedKernelHandle& writer);
    int fill_copy(const std::string& source, HANDLE writer, std::string& md5_text);

    static constexpr const char* kFunction = "trust::copy_to_protected_folder";

    std::wstring folder_wide_;
    std::wstring path_wide_;
    std::string folder_;
    std::string path_;
    utils::ScopedKernelHandle source_;
    utils::ScopedKernelHandle copy_;
};

// Copies the file at `source` into a folder made fresh, under a random name, in the
// machine's program-data folder, with a security descriptor that lets Administrators and
// SYSTEM in and nobody else. The copy keeps the source's file name. The source is read
// through a handle that shares reading only, so nobody writes it while it is read, and a
// file that another program holds open for writing is refused. The MD5 of the bytes
// written is compared with `expected_md5` (same_digest_text). The source is opened without
// following a link, and refused when it is a link, a folder, or a file with more than one
// name. Returns 0 with `out` owning
// the copy, or -1 after a WARN line that names the cause, with nothing left behind and
// `out` untouched. Logs an INFO line with both paths on success. The source is opened as
// `owner` says, and -2 (after its WARN line) refuses one that lies outside its folder or
// that the owner cannot open.
int copy_to_protected_folder(const std::string& source, const std::string& expected_md5,
                             ProtectedCopy& out, const SourceOwner& owner = SourceOwner());

// The same, as the update service copies: as this process, and without a digest, since its
// requests carry none; its copy runs only when its signature holds.
int copy_signed_to_protected_folder(const std::string& source, ProtectedCopy& out);

}  // namespace trust
