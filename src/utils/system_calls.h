// The system calls whose failures tests cannot produce for real (a refused elevation, a
// process that resists termination, a rename that fails, a full disk, a signature check
// that could not read its file), and every call of the file-tree layer (src/fs). The
// program makes these calls through this process-wide table; a test replaces one entry
// for a while and puts it back, and the program's own logic runs unchanged around it.
#pragma once

#include "utils/win.h"
// After win.h.
#include <aclapi.h>
#include <bcrypt.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <winsvc.h>
#include <winternl.h>
#include <wintrust.h>

namespace utils {

struct SystemCalls {
    decltype(&::ShellExecuteW) shell_execute_w;
    // The installer and taskkill.
    decltype(&::CreateProcessW) create_process_w;
    decltype(&::TerminateProcess) terminate_process;
    // Closing what holds the install folder: a process that refuses to be opened.
    decltype(&::OpenProcess) open_process;
    decltype(&::CreateToolhelp32Snapshot) create_toolhelp32_snapshot;
    decltype(&::Process32FirstW) process32_first_w;
    decltype(&::CopyFileW) copy_file_w;
    decltype(&::CheckTokenMembership) check_token_membership;
    // Loading a library that must be there: a failed load cannot be had otherwise.
    decltype(&::LoadLibraryW) load_library_w;
    // The desktop-user launch: tests follow the token from the process it was taken from
    // to the CreateProcessWithTokenW call (looked up through get_proc_address), since under
    // Wine every token looks alike.
    decltype(&::OpenProcessToken) open_process_token;
    decltype(&::DuplicateTokenEx) duplicate_token_ex;
    // The record of an update is written as the desktop user: tests follow the token here.
    decltype(&::ImpersonateLoggedOnUser) impersonate_logged_on_user;
    decltype(&::GetProcAddress) get_proc_address;
    // The free space checked before the folder snapshot: a full disk on demand.
    decltype(&::GetDiskFreeSpaceExW) get_disk_free_space_ex_w;
    // The signature checks (trust/signature_win.cpp): a TRUST_E_NOSIGNATURE that
    // GetLastError does not confirm, as for a file that could not be read.
    decltype(&::WinVerifyTrust) win_verify_trust;

    // The file-tree layer, all of it.
    decltype(&::CreateFileW) create_file_w;
    decltype(&::ReadFile) read_file;
    decltype(&::WriteFile) write_file;
    decltype(&::GetFileType) get_file_type;
    decltype(&::SetFileTime) set_file_time;
    decltype(&::SetFileInformationByHandle) set_file_information_by_handle;
    decltype(&::GetFileAttributesW) get_file_attributes_w;
    decltype(&::SetFileAttributesW) set_file_attributes_w;
    // Listing a tree's folder through the handle it is held by; FindFirstFileExW for the
    // protected folders.
    decltype(&::GetFileInformationByHandleEx) get_file_information_by_handle_ex;
    decltype(&::FindFirstFileExW) find_first_file_ex_w;
    decltype(&::FindNextFileW) find_next_file_w;
    // Opening a tree's file or folder relative to the folder held above it.
    decltype(&::NtCreateFile) nt_create_file;
    decltype(&::CreateDirectoryW) create_directory_w;
    decltype(&::RemoveDirectoryW) remove_directory_w;
    // Also the driver's moves (utils::move_file) and the updater's own rename.
    decltype(&::MoveFileExW) move_file_ex_w;
    decltype(&::GetFullPathNameW) get_full_path_name_w;
    decltype(&::GetFileInformationByHandle) get_file_information_by_handle;
    decltype(&::GetFinalPathNameByHandleW) get_final_path_name_by_handle_w;
    decltype(&::GetSecurityInfo) get_security_info;
    // The protected folders' random names.
    decltype(&::BCryptGenRandom) bcrypt_gen_random;
    // The update service: its registration, checked parameter by parameter and against
    // its security descriptor, since Wine keeps no service's security; and the requests
    // of the first run, whose answers (missing, disabled, refused, busy) pick the path.
    decltype(&::OpenSCManagerW) open_sc_manager_w;
    decltype(&::CreateServiceW) create_service_w;
    decltype(&::OpenServiceW) open_service_w;
    decltype(&::ChangeServiceConfigW) change_service_config_w;
    decltype(&::ChangeServiceConfig2W) change_service_config2_w;
    decltype(&::SetServiceObjectSecurity) set_service_object_security;
    decltype(&::QueryServiceConfigW) query_service_config_w;
    decltype(&::QueryServiceStatusEx) query_service_status_ex;
    decltype(&::StartServiceW) start_service_w;
    decltype(&::ControlService) control_service;
    decltype(&::DeleteService) delete_service;
    // The service's entries in the event log: Wine keeps none.
    decltype(&::ReportEventW) report_event_w;
};

// The table, filled with the real functions. Main thread and tests only.
SystemCalls& system_calls();

}  // namespace utils
