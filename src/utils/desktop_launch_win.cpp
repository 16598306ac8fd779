#include <mutex>

#include "utils/desktop_launch.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"

namespace {

using utils::ScopedKernelHandle;

// Looked up at run time rather than imported, so that the program still loads on a
// system whose ADVAPI32.dll lacks it.
using CreateProcessWithTokenWFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID,
                                                      LPCWSTR, LPSTARTUPINFOW,
                                                      LPPROCESS_INFORMATION);

// Loaded once per process and never freed; a failed load is remembered as well, so later
// calls do not try again.
HMODULE advapi32() {
    static std::once_flag once;
    static HMODULE module = nullptr;
    std::call_once(once, [] { module = utils::system_calls().load_library_w(L"ADVAPI32.dll"); });
    return module;
}

CreateProcessWithTokenWFunction find_create_process_with_token(HMODULE module) {
    FARPROC found = utils::system_calls().get_proc_address(module, "CreateProcessWithTokenW");
    // Through the generic function type, which the compiler accepts as a cast target.
    return reinterpret_cast<CreateProcessWithTokenWFunction>(reinterpret_cast<void (*)()>(found));
}

int open_through_shell(const wchar_t* path) {
    HINSTANCE result = utils::system_calls().shell_execute_w(nullptr, L"open", path, nullptr,
                                                             nullptr, SW_SHOWNORMAL);
    // The shell reports success as a value above 32, in a handle-sized field.
    return static_cast<int>(reinterpret_cast<INT_PTR>(result)) > 32 ? 1 : 0;
}

}  // namespace

bool is_vista_or_later() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    auto* basic = reinterpret_cast<OSVERSIONINFOW*>(&version);
    if (!GetVersionExW(basic)) {
        // Systems that predate the extended record accept only the basic one.
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(basic)) return false;
    }
    return version.dwMajorVersion >= 6;
}

bool is_admin() {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return false;
    // A check that fails leaves the answer at "not a member".
    BOOL member = FALSE;
    utils::system_calls().check_token_membership(nullptr, administrators, &member);
    FreeSid(administrators);
    return member != FALSE;
}

HANDLE get_shell_token() {
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    if (taskbar == nullptr) return nullptr;
    DWORD shell_id = 0;
    GetWindowThreadProcessId(taskbar, &shell_id);
    if (shell_id == 0) return nullptr;

    ScopedKernelHandle shell(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shell_id));
    if (!shell) return nullptr;
    HANDLE opened = nullptr;
    const BOOL have_token =
        utils::system_calls().open_process_token(shell.get(), TOKEN_DUPLICATE, &opened);
    ScopedKernelHandle token(have_token ? opened : nullptr);
    shell.reset();
    if (!token) return nullptr;

    HANDLE primary = nullptr;
    if (!utils::system_calls().duplicate_token_ex(token.get(), TOKEN_ALL_ACCESS, nullptr,
                                                  SecurityImpersonation, TokenPrimary, &primary))
        return nullptr;
    return primary;
}

int run_as_desktop_user(const wchar_t* path) {
    if (!is_vista_or_later() || !is_admin()) return open_through_shell(path);

    // Elevated: the program must not inherit our rights, so there is no shell fallback.
    ScopedKernelHandle token(get_shell_token());
    if (!token) return 0;
    HMODULE module = advapi32();
    if (module == nullptr) return 0;
    CreateProcessWithTokenWFunction create_process = find_create_process_with_token(module);
    if (create_process == nullptr) return 0;

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    const BOOL started =
        create_process(token.get(), LOGON_WITH_PROFILE, path, nullptr, NORMAL_PRIORITY_CLASS,
                       nullptr, nullptr, &startup, &created);
    if (!started) return 0;
    // Closed at once: the program runs on by itself and is never waited for.
    ScopedKernelHandle process(created.hProcess);
    ScopedKernelHandle thread(created.hThread);
    return started;
}
