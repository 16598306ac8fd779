#include "utils/system_calls.h"

namespace utils {

SystemCalls& system_calls() {
    static SystemCalls calls = {
        ::ShellExecuteW,
        ::ShellExecuteExW,
        ::ShellExecuteA,
        ::TerminateProcess,
        ::CreateToolhelp32Snapshot,
        ::Process32FirstW,
        ::MoveFileExA,
        ::CopyFileA,
        ::CheckTokenMembership,
        ::LoadLibraryW,
        ::OpenProcessToken,
        ::DuplicateTokenEx,
        ::GetProcAddress,
        ::GetDiskFreeSpaceExW,
    };
    return calls;
}

}  // namespace utils
