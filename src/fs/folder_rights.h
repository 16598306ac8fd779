// Whether a folder that the elevated run writes into, or one on the way to it, is the
// administrators' alone: nobody else may own it, replace it or change what it holds, so
// that nothing a user does while an update runs redirects an administrator's write.
//
// The trusted accounts are SYSTEM, TrustedInstaller and Administrators. Only a folder's
// own entries count: inherit-only entries (for what is made inside later) and deny entries
// (which only take rights away) are not looked at; an allow entry of any kind other than
// the plain one counts as anyone's. Windows only; every system call through
// utils::system_calls().
#pragma once

#include <memory>
#include <string>

#include "utils/win.h"

namespace fs {

// What the elevated run does with a folder.
enum class FolderUse {
    // A folder on the way to one it writes into (the drive's root, the program-data
    // folder): nobody else may own it, delete it, delete in it, or change its rights or
    // owner. Adding a file or folder is harmless: Windows lets every user add folders to
    // C:\ and C:\ProgramData.
    kOnTheWay,
    // The folder it writes into (the install folder): also nobody else may add a file or
    // folder to it.
    kWrittenInto,
};

// A security descriptor that LocalFree releases, as the system's conversions return them.
struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;
// The descriptor written as `sddl`; null when the text is none.
SecurityDescriptor make_descriptor(const wchar_t* sddl);

// The rule above applied to `descriptor`, with its owner and DACL. A missing owner or a
// missing (null) DACL fails.
bool is_administrators_only(PSECURITY_DESCRIPTOR descriptor, FolderUse use);

// False when the system keeps no rights on files: under Wine every file belongs to the one
// Unix user, and the rights it reports are made up from the Unix permissions (measured:
// C:\ and C:\ProgramData are owned by the user, who has full control). Wine is known by
// ntdll's wine_get_version, which no Windows ntdll exports.
bool system_keeps_file_rights();

// Checks the full path `folder` ("C:\..." without a trailing "\"), and every folder above
// it to the drive's root. 0 when none of them is a link or other reparse point and their
// rights hold: `use` for `folder` itself, kOnTheWay for those above (the rights only where
// system_keeps_file_rights). Otherwise -1 with `refused` set to the first folder that
// failed, checked from the root down, and the last error ERROR_CANT_ACCESS_FILE for a
// reparse point or something that is not a folder, ERROR_ACCESS_DENIED for its rights,
// ERROR_BAD_PATHNAME for a path of another form, or the error of opening it.
int check_folder_and_above(const std::wstring& folder, FolderUse use, std::wstring& refused);

}  // namespace fs
