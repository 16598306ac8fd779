// Path questions of the two phases: where the updater lives, where the update folder is,
// how to join and cut paths, the updater's backup name, renaming the running image, and
// where the client application's executable lies.
//
// Paths are narrow text in the program's UTF-8 (utils/text.h), handed to the wide system
// calls, at most 259 UTF-16 units plus NUL where a system call takes them. "\" is written as the
// separator; "/" and "\" are both recognised when a path is cut. Every function is stateless and
// may run on any thread. Output arguments change only on success, except where a function says
// otherwise. Failures are logged at WARN where a function says so, and nowhere else.
//
// The text rules (get_parent_path, gen_backup_name, installer_name_from_url,
// is_http_url, the URL authority and redact_credentials, install_folder_text) are portable;
// the rest calls Win32 and exists only in the Windows build.
#pragma once

#include <string>

#include "brand.h"

namespace utils {

// The backup suffix of the running updater: updater.exe becomes updater.old.exe.
inline constexpr const char* kBackupSuffix = ".old";
// The copy of the running updater that takes its name during the backup: updater.new.exe.
inline constexpr const char* kStagedSuffix = ".new";
// Appended to the roaming application-data folder: the per-user update folder.
inline constexpr const char* kUpdateFolderSuffix =
    "\\" BRAND_UPDATE_FOLDER_VENDOR "\\" BRAND_UPDATE_FOLDER_PRODUCT;
// The client application's executable, in the parent of the updater's folder.
inline constexpr const char* kClientExeName = BRAND_APPLICATION_EXE;
// The name of the client application's uninstall registration.
inline constexpr const char* kApplicationName = BRAND_APPLICATION;

// Sets out to path up to (not including) its last "/" or "\", which is empty when that
// separator comes first. Returns 0, or -1 for an empty path or one without a separator.
// path and out may be the same object.
int get_parent_path(const std::string& path, std::string& out);

// Sets out to path with suffix inserted before the last "." of the whole path (not only
// of its last element): C:\upd\updater.exe + ".old" gives C:\upd\updater.old.exe.
// Returns the position of that "." (0 or more), or -1 for an empty path or one without a
// "." (out unchanged). path and out may be the same object.
int gen_backup_name(const std::string& path, const std::string& suffix, std::string& out);

// The file name under which the installer at `url` is stored: the last segment of the
// URL's path, without query string and fragment, kept byte for byte (percent-escapes are
// not decoded). Returns default_name when that segment cannot be used as a Windows file
// name on its own: empty, "." or "..", longer than 255 bytes, holding one of <>:"/\|?* or
// a control character, or a DOS device name (con, nul, com1, ...). A URL without "/" after
// its host has no path, and gives default_name too. A usable name that does not end in
// ".exe" (in any letter case) gets ".exe" appended, since the shell starts nothing
// without it; the name is judged again with that ending, so 251 bytes are the most a
// segment without it may have.
std::string installer_name_from_url(const std::string& url, const std::string& default_name);

// True when `url` starts with "http://" or "https://" (the scheme in any letter case)
// followed by a host: the only addresses an installer is fetched from.
bool is_http_url(const std::string& url);

// Where the authority of a URL begins: after "scheme://", or at 0 for a text without a
// scheme; and where it ends, at the first "/", "?" or "#" from `start` (or the text's end).
size_t url_authority_start(const std::string& text);
size_t url_authority_end(const std::string& text, size_t start);

// `text` with the user information of its URL ("user:password@" after "scheme://", or at
// the start of a text without a scheme) replaced by `mask`. Other texts are returned as
// they are. Every address that is logged or shown goes through it.
std::string redact_credentials(const std::string& text, const char* mask = "***@");

// A folder as registrations store it, made fit to follow "/D=" on an installer's command
// line: blanks around it and one pair of enclosing double quotes are taken off, then
// trailing "\" and "/", except the one of a drive root ("C:\"). Empty text stays empty.
std::string install_folder_text(const std::string& stored);

// True when `path` names a file by its full path from a drive letter ("C:\a\setup.exe",
// "/" taken as "\" too), with no empty, "." or ".." name on the way and no ":" past the
// drive's: not relative, not UNC ("\\server\share"), not a device or a "\\?\" path,
// not a stream ("setup.exe:data"). Whether the drive is a local one is is_on_fixed_drive's.
bool is_local_drive_path(const std::string& path);

// --- Windows only -------------------------------------------------------------------------

// True when the drive of `path` (its first three characters, "C:\") is a fixed disk of
// this machine (GetDriveTypeW): not a network drive, a removable or optical one, nor none.
bool is_on_fixed_drive(const std::string& path);

// Sets out to the running executable's full path (GetModuleFileNameW, 260 units; a path
// the system had to truncate still counts). Returns 0, or -1 after a WARN line.
int get_current_image_path(std::string& out);

// Sets out to the roaming application-data folder (created by the system if missing)
// followed by suffix, joined as join_path does. Nothing below that folder is created.
// Given the token `user`, the folder is that user's, and nothing is created at all.
// Returns 0; -1 after a WARN line when the folder is unknown, and -1 without a line when
// the result would not fit in 260 units. out is written before the outcome is known:
// after a failure it holds no usable path.
int get_app_data_path(const std::string& suffix, std::string& out, void* user = nullptr);

// folder and name joined with exactly one "\" (PathAppendW twice from an empty buffer):
// leading backslashes of name are dropped, a name that is a full path with a drive
// letter replaces folder, an empty name gives folder itself. Returns empty text when the
// result would not fit in 260 units. Logs nothing.
std::string join_path(const std::string& folder, const std::string& name);

// The running executable's full path as wide text (GetModuleFileNameW). Returns 0, or -1
// after a WARN line.
int get_current_image_path(std::wstring& out);

// The process's current working folder, wide. Returns 0, or -1 after a WARN line.
int get_working_folder(std::wstring& out);

// Copies the file `from` to `to`, replacing a file that is there (CopyFileW). Returns 0,
// or -1 with the thread's last error set; logs nothing. Through the system-call table.
int copy_file(const std::string& from, const std::string& to);

// Moves the file `from` to `to`, replacing a file that is there (MoveFileExW), on the same
// volume. Returns 0, or -1 with the thread's last error set; logs nothing. Through the
// system-call table.
int move_file(const std::string& from, const std::string& to);

// True when a file at `path` can be opened for reading.
bool file_exists(const std::string& path);

// Makes the folder `path` when its parent exists; a folder that is there already, or one
// that cannot be made, changes nothing and is not reported.
void make_folder(const std::string& path);

// Moves the running executable's file (the image the system reports for this process,
// not a caller's path) to new_path, replacing a file that is there. Same volume only.
// The process keeps running from new_path. Returns 0, or -1 after a WARN line; the move
// goes through the system-call table so that tests can make it fail.
int try_change_current_image_name(const std::string& new_path);

}  // namespace utils

// Sets out to the client application's executable: kClientExeName in the parent of the
// folder that holds exe_path (C:\Tools\upd\updater.exe gives C:\Tools\CorvaneApp.exe).
// Returns -1 after a WARN line when either parent cannot be taken (an updater in a drive
// root), otherwise 0 - also when the join did not fit and out is therefore empty; the
// caller's test that the file exists catches that.
int gen_hubra_exe_path(const std::string& exe_path, std::string& out);
