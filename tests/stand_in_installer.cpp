// A stand-in for an installer, for the install phase's tests. Started as the updater
// starts installers ("/S /D=<folder>"), it records its whole command line in
// "<home>.args", how many CorvaneApp.exe processes were running when it started in
// "<home>.clients" (the updater must have ended the client first) and its TEMP, TMP,
// working folder and STAND_IN_PROBE in "<home>.temp" ("TEMP|TMP|folder|probe"), where
// <home> is STAND_IN_HOME, the path the test put it at (the updater runs a checked copy of
// it elsewhere), or else its own path. Then it acts as the test asked through its
// environment (which the elevated run takes from the machine's):
//   STAND_IN_INSTALL=copy    copies "new_client.exe" from beside <home> to <folder>\CorvaneApp.exe
//   STAND_IN_INSTALL=remove  deletes <folder>\CorvaneApp.exe
//   STAND_IN_EXIT_CODE=<n>   exits with n (default 0)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "utils/win.h"
// After win.h.
#include <tlhelp32.h>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {0};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? value : L"";
}

bool record(const std::wstring& path, const std::wstring& text) {
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out == nullptr) return false;
    std::fprintf(out, "%ls", text.c_str());
    std::fclose(out);
    return true;
}

std::wstring working_folder() {
    wchar_t folder[MAX_PATH] = {0};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) return L"";
    return folder;
}

int running_clients() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        count += lstrcmpiW(entry.szExeFile, L"CorvaneApp.exe") == 0 ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

}  // namespace

int main() {
    wchar_t image[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    const std::wstring home =
        environment(L"STAND_IN_HOME").empty() ? image : environment(L"STAND_IN_HOME");
    const std::wstring command_line = GetCommandLineW();
    if (!record(home + L".args", command_line) ||
        !record(home + L".clients", std::to_wstring(running_clients())) ||
        !record(home + L".temp", environment(L"TEMP") + L"|" + environment(L"TMP") + L"|" +
                                     working_folder() + L"|" + environment(L"STAND_IN_PROBE")))
        return 100;

    // NSIS's rule: /D= is the last parameter and runs to the end of the line, unquoted.
    const size_t at = command_line.find(L" /D=");
    const std::wstring folder = at == std::wstring::npos ? L"" : command_line.substr(at + 4);
    const std::wstring target = folder + L"\\CorvaneApp.exe";
    const std::wstring action = environment(L"STAND_IN_INSTALL");
    if (action == L"copy") {
        const std::wstring source = home.substr(0, home.find_last_of(L'\\')) + L"\\new_client.exe";
        if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) return 101;
    } else if (action == L"remove") {
        if (!DeleteFileW(target.c_str())) return 102;
    }
    const std::wstring code = environment(L"STAND_IN_EXIT_CODE");
    return code.empty() ? 0 : _wtoi(code.c_str());
}
