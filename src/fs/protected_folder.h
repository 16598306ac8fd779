// Folders of the elevated run that only Administrators and SYSTEM can write, made fresh
// under a random name directly in the machine's program-data folder, and the files made
// in them. Every system call goes through utils::system_calls(); 0, or -1 with the
// thread's last error set, and nothing logged.
#pragma once

#include <string>
#include <vector>

#include "utils/scoped_handle.h"

namespace fs {

// The machine's program-data folder (find_program_data_folder), where the protected
// folders and the log go, once check_folder_and_above has found it and every folder above
// it the administrators' (kOnTheWay): its error otherwise, with `refused` (when given) set
// to the folder refused, or ERROR_PATH_NOT_FOUND when it is not known. Every function
// below goes through it.
int program_data_folder(std::wstring& folder, std::wstring* refused = nullptr);

// Makes a fresh, empty protected folder and sets `folder` to its full path. The caller
// removes it.
int make_protected_folder(std::wstring& folder);

// Creates the new file `path` inside a protected folder, open for writing and shared with
// nobody, with the same rights given explicitly rather than left to inheritance.
int create_protected_file(const std::wstring& path, utils::ScopedKernelHandle& out);

// True when `folder` is a folder that this program made: not a link or junction, and with
// the owner and rights that the system reports for one that make_protected_folder made
// just now (owned by Administrators, their and SYSTEM's rights only, nothing inherited).
// A folder of the same name that anyone else made is not. The first call makes and
// removes such a folder to compare with.
bool is_own_protected_folder(const std::wstring& folder);

// Opens the elevated run's log for appending: "update.log" in <program data>\Corvane\Updater.
// The two folders are made as make_protected_folder makes its own, or taken as they are
// when is_own_protected_folder says they are such folders; any other folder of those names
// (one a user made before, a link) is refused with ERROR_ACCESS_DENIED. The file is opened
// without following a link, and refused with the same error when it is a link, not a
// plain file, or has more than one name; made new, it gives Administrators and SYSTEM
// full control and Users read, so that the client application can show it. `path` gets
// its full path.
int open_protected_log(std::wstring& path, utils::ScopedKernelHandle& out);

// The full paths of every folder in the program-data folder named as this program names
// its protected folders: this run's, those that runs ended by force left behind, and any
// that someone else made under such a name (see is_own_protected_folder); empty when there
// are none or the program-data folder cannot be listed.
std::vector<std::wstring> protected_folders();

}  // namespace fs
