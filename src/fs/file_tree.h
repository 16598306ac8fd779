// The file-tree layer of the elevated run: opening, listing, copying, comparing and
// deleting files and folders, for the checked copy (src/trust) and the snapshot of the
// install folder (src/rollback).
//
// The elevated run works in folders that ordinary users may be able to change while it
// works: they could put a junction or a symbolic link where a folder or file was, so that
// a copy, a write or a delete lands elsewhere with administrator rights. Inside a Tree no
// link is ever followed and no path is resolved from the drive down but the root's: every
// file and folder below the root is opened by its one name relative to the handle of the
// folder that holds it (NtCreateFile with a root directory), with FILE_OPEN_REPARSE_POINT,
// and refused when it is a reparse point. The folders from the root down to the one
// worked in are held without delete sharing, so that nobody renames one of them or puts
// a link in its place until the operation is through; a name resolved inside a held
// folder cannot lead out of it.
//
// Paths are wide and absolute. Every system call goes through utils::system_calls(), so a
// test can fail any one of them. One error convention throughout: 0 for success, -1 with
// the thread's last error set to the cause (ERROR_CANT_ACCESS_FILE for a link where a file
// or folder was expected, for a file with more than one name (a hard link), or for a folder
// that is not where it should be); nothing is
// logged here, the caller names the failure. Windows only; one thread per object.
#pragma once

#include <string>
#include <vector>

#include "utils/scoped_handle.h"
#include "utils/win.h"

namespace fs {

// One file or sub-folder of a tree as it was when listed. Times are FILETIME values
// (100 ns since 1601, UTC).
struct Entry {
    std::wstring relative;  // below the tree's root, "bin\\tool.dll"
    unsigned long attributes;
    unsigned long long created;
    unsigned long long accessed;
    unsigned long long written;
    unsigned long long size;  // bytes; 0 for a folder
    bool folder;
    // A reparse point (a junction, a symbolic link): recorded as it is, never followed,
    // copied or written through.
    bool link;
};

// The one buffer size of every copy and comparison.
constexpr DWORD kBufferBytes = 1024 * 1024;

// Room for one copy or comparison at a time; made once per operation, reused per file.
class Buffer {
public:
    Buffer() : bytes_(kBufferBytes) {}
    unsigned char* data() { return bytes_.data(); }

private:
    std::vector<unsigned char> bytes_;
};

// A folder and everything below it, worked on without following a link. Move-only.
class Tree {
public:
    Tree() = default;
    Tree(Tree&&) = default;
    Tree& operator=(Tree&&) = default;

    // Opens the tree at the folder `root`: -1 when it is missing (its error), is no folder,
    // or is itself a link.
    int open(const std::wstring& root);
    const std::wstring& root() const { return root_; }
    // root\relative.
    std::wstring path(const std::wstring& relative) const;

    // Lists the tree into `entries`, each folder before its contents, leaving out the
    // relative paths in `left_out` (lower case) and not looking behind a link. -1 when a
    // folder cannot be listed; `entries` then holds what was found.
    int list(const std::vector<std::wstring>& left_out, std::vector<Entry>& entries);

    // Opens `relative` as CreateFileW would, with the same access, sharing, disposition and
    // flags, into `out`, which is left untouched on failure. A file or folder that is a link
    // is refused, and so is a file with more than one name (an existing one is closed again
    // at once).
    int open(const std::wstring& relative, DWORD access, DWORD share, DWORD disposition,
             DWORD flags, utils::ScopedKernelHandle& out);
    // A folder at `relative`.
    int make_folder(const std::wstring& relative);
    // Deletes the file, empty folder or link at `relative` (a link itself, never what it
    // leads to), a read-only one as well.
    int remove(const std::wstring& relative, bool folder);
    // The entry's times and settable attributes on the file or folder `entry.relative`.
    int set_state(const Entry& entry);
    // Lets go of the folder held; the next operation holds what it needs again.
    void release();

private:
    // A folder held: its path below the root ("" for the root) and its handle.
    struct Held {
        std::wstring relative;
        utils::ScopedKernelHandle handle;
    };

    // Holds the folder `relative` ("" for the root) and every folder above it, each opened
    // relative to the one above; what is held already is kept, the rest let go.
    int hold(const std::wstring& relative);
    int hold_parent_of(const std::wstring& relative);
    // Opens the root again by its path after a release, when it is still the folder that
    // open() found.
    int hold_root();
    int list_below(const std::wstring& relative, const std::vector<std::wstring>& left_out,
                   std::vector<Entry>& entries);

    std::wstring root_;
    // The root's volume and file index, as open() found them.
    unsigned long root_volume_ = 0;
    unsigned long long root_index_ = 0;
    std::vector<Held> held_;  // from the root down
};

// CreateFileW into `out`, for a file outside any tree. `security` may be null. 0, or -1
// with `out` untouched.
int open_file(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
              SECURITY_ATTRIBUTES* security, utils::ScopedKernelHandle& out);

// True when `file` is a file on a disk: not a pipe or a device, which could hand out
// different bytes on every read, or never end.
bool is_disk_file(HANDLE file);

// The path the system gives the file or folder open as `handle`, "\\?\C:\..." in the
// letter case it stores.
int final_path(HANDLE handle, std::wstring& out);

// True when the paths `a` and `b` lead to the same file (its volume and index), whatever
// their text; false also when either cannot be opened.
bool same_file(const std::wstring& a, const std::wstring& b);
// The same for the file open as `a`.
bool same_file(HANDLE a, const std::wstring& b);

// Called with each piece of a copy as it is written, in order.
using PieceObserver = void (*)(void* context, const unsigned char* data, DWORD size);

// Which side of a copy failed.
enum class Side { kSource, kTarget };

// Copies everything that is left to read from `from` to the end of `to`. A write that
// takes fewer bytes than it was given goes on with the rest; one that takes none fails
// with ERROR_WRITE_FAULT. `observer`, when set, sees every piece written. -1 with `failed`
// set to the side that failed.
int copy_bytes(HANDLE from, HANDLE to, Buffer& buffer, Side& failed,
               PieceObserver observer = nullptr, void* context = nullptr);

// Copies the bytes of the file `entry.relative` of `from` into the same place in `to`,
// made afresh (`disposition` CREATE_NEW or CREATE_ALWAYS), and gives it the entry's times
// and attributes. The source is read with read sharing only: a file that some program is
// writing is not copied half-way.
int copy_file(Tree& from, Tree& to, const Entry& entry, DWORD disposition, Buffer& buffer,
              Side& failed);

// True when `relative` can be read in both trees and holds the same bytes.
bool same_bytes(Tree& one, Tree& other, const std::wstring& relative, Buffer& buffer);

// True when the two entries' times of change and creation and settable attributes agree.
bool same_state(const Entry& one, const Entry& other);

// Deletes the folder `root` and everything in it, links themselves and never what they
// lead to; never a drive's root or a relative path. -1 with the last error of the first
// thing that could not be deleted; what could be is gone.
int delete_tree(const std::wstring& root);
// Deletes a file, or an empty folder when `folder` is set; what cannot be deleted now is
// left to the next restart. -1 when it could not be deleted now.
int delete_or_schedule(const std::wstring& path, bool folder);

// For the folders this program made and only it can write (see protected_folder.h):
// writes `text` into a new file at `path` (`disposition` CREATE_NEW or CREATE_ALWAYS),
// reads a small file back, tells whether something exists at `path`, and makes a folder
// at `path`.
int write_file(const std::wstring& path, const std::string& text, DWORD disposition);
// Reads at most the first kSmallFileBytes of the file at `path` into `out`: 0, or -1 with
// `out` untouched.
constexpr DWORD kSmallFileBytes = 64 * 1024;
int read_small_file(const std::wstring& path, std::string& out);
bool exists(const std::wstring& path);
int make_folder(const std::wstring& path);

// The full form of `path`; `path` itself when the system cannot tell.
std::wstring full_path(const std::wstring& path);

}  // namespace fs
