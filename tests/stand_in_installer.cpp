// A stand-in for an installer, for the install phase's tests. Started as the updater
// starts installers ("/S /D=<folder>"), it records its whole command line in
// "<own path>.args" and how many CorvaneApp.exe processes were running when it started in
// "<own path>.clients" (the updater must have ended the client first), and then acts as the test
// asked through its environment:
//   STAND_IN_INSTALL=copy    copies "new_client.exe" from beside itself to <folder>\CorvaneApp.exe
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
    wchar_t value[64] = {0};
    return GetEnvironmentVariableW(name, value, 64) > 0 ? value : L"";
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
    const std::wstring own = image;
    const std::wstring command_line = GetCommandLineW();

    FILE* out = _wfopen((own + L".args").c_str(), L"wb");
    if (out == nullptr) return 100;
    std::fprintf(out, "%ls", command_line.c_str());
    std::fclose(out);
    out = _wfopen((own + L".clients").c_str(), L"wb");
    if (out == nullptr) return 100;
    std::fprintf(out, "%d", running_clients());
    std::fclose(out);

    // NSIS's rule: /D= is the last parameter and runs to the end of the line, unquoted.
    const size_t at = command_line.find(L" /D=");
    const std::wstring folder = at == std::wstring::npos ? L"" : command_line.substr(at + 4);
    const std::wstring target = folder + L"\\CorvaneApp.exe";
    const std::wstring action = environment(L"STAND_IN_INSTALL");
    if (action == L"copy") {
        const std::wstring source = own.substr(0, own.find_last_of(L'\\')) + L"\\new_client.exe";
        if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) return 101;
    } else if (action == L"remove") {
        if (!DeleteFileW(target.c_str())) return 102;
    }
    const std::wstring code = environment(L"STAND_IN_EXIT_CODE");
    return code.empty() ? 0 : _wtoi(code.c_str());
}
