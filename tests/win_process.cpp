#include "win_process.h"

#include <filesystem>

#include "utils/text.h"

namespace test {

std::wstring own_path() {
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring sibling_path(const wchar_t* name) {
    return (std::filesystem::path(own_path()).parent_path() / name).wstring();
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

DWORD run_process(std::wstring command, DWORD flags, const wchar_t* folder, DWORD timeout_ms) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, flags, nullptr, folder,
                        &startup, &process))
        return 0xdead;
    DWORD code = 0xbeef;
    if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 0xbeef);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

DWORD run_child(const std::string& name, const std::wstring& arguments, DWORD flags) {
    return run_process(quoted(own_path()) + L" --child=" + widen(name) + arguments, flags);
}

}  // namespace test
