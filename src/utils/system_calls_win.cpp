#include "utils/system_calls.h"

namespace utils {

SystemCalls& system_calls() {
    static SystemCalls calls = {
        ::ShellExecuteW,
        ::CreateProcessW,
        ::TerminateProcess,
        ::OpenProcess,
        ::CreateToolhelp32Snapshot,
        ::Process32FirstW,
        ::CopyFileW,
        ::CheckTokenMembership,
        ::LoadLibraryW,
        ::OpenProcessToken,
        ::DuplicateTokenEx,
        ::ImpersonateLoggedOnUser,
        ::GetProcAddress,
        ::GetDiskFreeSpaceExW,
        ::WinVerifyTrust,
        ::CreateFileW,
        ::ReadFile,
        ::WriteFile,
        ::GetFileType,
        ::SetFileTime,
        ::SetFileInformationByHandle,
        ::GetFileAttributesW,
        ::SetFileAttributesW,
        ::GetFileInformationByHandleEx,
        ::FindFirstFileExW,
        ::FindNextFileW,
        ::NtCreateFile,
        ::CreateDirectoryW,
        ::RemoveDirectoryW,
        ::MoveFileExW,
        ::GetFullPathNameW,
        ::GetFileInformationByHandle,
        ::GetFinalPathNameByHandleW,
        ::GetSecurityInfo,
        ::BCryptGenRandom,
        ::OpenSCManagerW,
        ::CreateServiceW,
        ::OpenServiceW,
        ::ChangeServiceConfigW,
        ::ChangeServiceConfig2W,
        ::SetServiceObjectSecurity,
        ::QueryServiceConfigW,
        ::QueryServiceStatusEx,
        ::StartServiceW,
        ::ControlService,
        ::DeleteService,
        ::ReportEventW,
    };
    return calls;
}

}  // namespace utils
