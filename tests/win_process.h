// Starting processes from Windows tests: the updater, or this test program as a child.
#pragma once

#include <filesystem>
#include <string>

#include "utils/win.h"

namespace test {

std::wstring own_path();
// A file beside the test programs (updater.exe, planted_marker.dll, ...).
std::wstring sibling_path(const wchar_t* name);
std::wstring quoted(const std::wstring& text);

// Puts updater.exe of this build into `<app_folder>\upd`, the place a client
// application's vendor gives it: the install phase renames the updater's own image, so
// tests run it from such a copy, never from the build folder.
void place_updater(const std::filesystem::path& app_folder);

// Opens this program's image without write or delete sharing and keeps it open until the
// process ends, as Windows does for a running program (Wine would let it be replaced or
// deleted). For the stand-ins of the client application. False when it cannot be opened.
bool hold_own_image();

// Runs `command` (a whole command line) and waits at most `timeout_ms`. Returns its exit
// code, 0xdead when it could not be started, 0xbeef when it had to be killed.
DWORD run_process(std::wstring command, DWORD flags = 0, const wchar_t* folder = nullptr,
                  DWORD timeout_ms = 30000);

// As run_process, in `folder`, with standard output (and error) captured into `output`.
DWORD run_process_output(std::wstring command, const wchar_t* folder, std::string& output,
                         DWORD timeout_ms = 90000);

// Waits for every process whose image lies in `folder`, such as the elevated runs that a
// download phase started and nobody waits for, at most `timeout_ms` for each. False when
// one of them is still running.
bool wait_for_processes_in(const std::filesystem::path& folder, DWORD timeout_ms);

// Runs this test program again as --child=<name> with the arguments appended.
DWORD run_child(const std::string& name, const std::wstring& arguments = L"", DWORD flags = 0);

// Sets an environment variable of this process, which the processes it starts inherit,
// and clears it at the end of the scope.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const wchar_t* name_;
};

}  // namespace test
