// The file-tree layer of the elevated run: opening, listing, copying, comparing and
// deleting files and folders, for the checked copy (src/trust) and the snapshot of the
// install folder (src/rollback).
//
// Paths are wide and absolute. Every system call goes through utils::system_calls(), so a
// test can fail any one of them. One error convention throughout: 0 for success, -1 with
// the thread's last error set to the cause; nothing is logged here, the caller names the
// failure. Windows only; any thread, one operation per buffer at a time.
#pragma once

#include <string>
#include <vector>

#include "utils/scoped_handle.h"
#include "utils/win.h"

namespace fs {

// One file or sub-folder of a tree as it was when listed. Times are FILETIME values
// (100 ns since 1601, UTC).
struct Entry {
    std::wstring relative;  // below the listed folder, "bin\\tool.dll"
    unsigned long attributes;
    unsigned long long created;
    unsigned long long accessed;
    unsigned long long written;
    unsigned long long size;  // bytes; 0 for a folder
    bool folder;
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

// CreateFileW into `out`. `security` may be null. 0, or -1 with `out` untouched.
int open_file(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
              DWORD flags, SECURITY_ATTRIBUTES* security, utils::ScopedKernelHandle& out);

// True when `file` is a file on a disk: not a pipe or a device, which could hand out
// different bytes on every read, or never end.
bool is_disk_file(HANDLE file);

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

// Copies the bytes of the file `from` into `to`, made afresh (`disposition` CREATE_NEW or
// CREATE_ALWAYS), and gives it the entry's times and attributes. The source is read with
// read sharing only: a file that some program is writing is not copied half-way.
int copy_file(const std::wstring& from, const std::wstring& to, DWORD disposition,
              const Entry& entry, Buffer& buffer, Side& failed);

// True when both files can be read and hold the same bytes.
bool same_bytes(const std::wstring& one, const std::wstring& other, Buffer& buffer);

// Lists the tree below `root` into `entries`, each folder before its contents, leaving out
// the relative paths in `left_out` (lower case) and what lies behind a folder that is a
// reparse point. -1 when a folder cannot be listed; `entries` then holds what was found.
int list_tree(const std::wstring& root, const std::vector<std::wstring>& left_out,
              std::vector<Entry>& entries);

// The entry's times and settable attributes on the file or folder at `path`, as they were.
// A read-only file is opened for this after its attributes are reset.
int set_file_state(const std::wstring& path, const Entry& entry);
// The same for a folder: its times, then its attributes.
int set_folder_state(const std::wstring& path, const Entry& entry);
// True when the two entries' times of change and creation and settable attributes agree.
bool same_state(const Entry& one, const Entry& other);

// Writes `text` into a new file at `path` (`disposition` CREATE_NEW or CREATE_ALWAYS).
int write_file(const std::wstring& path, const std::string& text, DWORD disposition);

// True when something exists at `path`.
bool exists(const std::wstring& path);
// A folder at `path`; its parent must exist.
int make_folder(const std::wstring& path);
// Resets the attributes of `path` to plain, so that it can be written or deleted.
int clear_attributes(const std::wstring& path);

// Deletes a file or an empty folder, a read-only one as well.
int delete_file(const std::wstring& path);
int delete_folder(const std::wstring& path);
// Deletes `root` and everything in it; never a drive's root or a relative path. -1 with
// the last error of the first thing that could not be deleted; what could be is gone.
int delete_tree(const std::wstring& root);
// Deletes a file, or an empty folder when `folder` is set; what cannot be deleted now is
// left to the next restart. -1 when it could not be deleted now.
int delete_or_schedule(const std::wstring& path, bool folder);

// The full form of `path`; `path` itself when the system cannot tell.
std::wstring full_path(const std::wstring& path);

}  // namespace fs
