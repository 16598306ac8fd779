#include "win_process.h"

#include <filesystem>

#include "test_support.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
// After win.h.
#include <tlhelp32.h>

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

void place_updater(const std::filesystem::path& app_folder) {
    std::filesystem::create_directories(app_folder / "upd");
    std::filesystem::copy_file(sibling_path(L"updater.exe"), app_folder / "upd" / "updater.exe");
}

bool hold_own_image() {
    // Never closed: the process's end lets go of it, as it does of a running image.
    const HANDLE image = CreateFileW(own_path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    return image != INVALID_HANDLE_VALUE;
}

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

DWORD run_process_output(std::wstring command, const wchar_t* folder, std::string& output,
                         DWORD timeout_ms) {
    // A file rather than a pipe: nobody has to drain it while the process runs.
    wchar_t temp_folder[MAX_PATH] = {0};
    wchar_t temp_file[MAX_PATH] = {0};
    GetTempPathW(MAX_PATH, temp_folder);
    GetTempFileNameW(temp_folder, L"out", 0, temp_file);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(temp_file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0xdead;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION process{};
    DWORD code = 0xdead;
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, folder, &startup,
                       &process)) {
        code = 0xbeef;
        if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        else
            TerminateProcess(process.hProcess, 0xbeef);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(file);
    output = read_file(temp_file);
    DeleteFileW(temp_file);
    return code;
}

bool wait_for_processes_in(const std::filesystem::path& folder, DWORD timeout_ms) {
    utils::ScopedKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    bool all_ended = true;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        utils::ScopedKernelHandle process(OpenProcess(
            SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[MAX_PATH] = {0};
        DWORD size = MAX_PATH;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &size)) continue;
        std::error_code ignored;
        if (!std::filesystem::equivalent(std::filesystem::path(image).parent_path(), folder,
                                         ignored))
            continue;
        if (WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) all_ended = false;
    }
    return all_ended;
}

DWORD run_child(const std::string& name, const std::wstring& arguments, DWORD flags) {
    return run_process(quoted(own_path()) + L" --child=" + widen(name) + arguments, flags);
}

}  // namespace test
