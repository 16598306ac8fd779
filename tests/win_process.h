// Support for the Windows tests: starting processes (the updater, or this test program as
// a child), the updater as a process in a fixture, and what the desktop and the elevated
// runs leave behind.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "brand.h"
#include "driver/entry.h"
#include "driver/phases.h"
#include "test_servers.h"
#include "test_support.h"
#include "utils/scoped_handle.h"
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

// The status text of the updater's progress window titled `title` (null: any title) and
// the window itself in `window`; empty, with `window` null, when there is none.
std::wstring progress_window_status(const wchar_t* title, HWND* window = nullptr);

// While it lives, closes the updater's progress window as a user would once it shows that
// the update failed, in any of the brand's languages, instead of waiting out the seconds
// that a failure stays on screen. For tests about what a failure leads to.
class FailureWindowCloser {
public:
    FailureWindowCloser();
    ~FailureWindowCloser();
    FailureWindowCloser(const FailureWindowCloser&) = delete;
    FailureWindowCloser& operator=(const FailureWindowCloser&) = delete;

private:
    void close_failures();

    std::vector<std::wstring> failures_;
    std::atomic<bool> stop_{false};
    std::thread thread_;  // last: it uses the members above
};

// Starts `command` (a whole command line) in `folder` (null: this program's) without
// waiting. The process's handle, invalid when it could not be started.
utils::ScopedKernelHandle start_process(std::wstring command, const wchar_t* folder = nullptr,
                                        DWORD flags = 0);

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

// Ends every process whose image lies in `folder`, such as the application that an
// update started again, and waits for each. False when one still runs after ten tries.
// Wine's taskkill, run by a test for this, once printed nothing and left the application
// running, and with it the pipe that ctest waits on.
bool end_processes_in(const std::filesystem::path& folder);

// Runs this test program again as --child=<name> with the arguments appended.
DWORD run_child(const std::string& name, const std::wstring& arguments = L"", DWORD flags = 0);

// The elevated run's arguments, each after a space: the marker, the quoted installer path
// and, when not empty, the digest.
std::wstring install_phase_arguments(const std::string& installer, const std::string& digest = "");

// The updater's whole run inside this program with `arguments` from index `first` on, as
// updater.exe runs with them: for a child in the updater's place whose system calls a
// test replaces. Only for programs that link the updater's driver. A failed install
// phase ends at once rather than keep its window up.
inline int run_updater_main(const std::vector<std::string>& arguments, size_t first = 0) {
    g_failure_shown_ms = 0;
    std::vector<std::string> args{"updater.exe"};
    args.insert(args.end(), arguments.begin() + static_cast<std::ptrdiff_t>(first),
                arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    return updater_main(static_cast<int>(argv.size()), argv.data());
}

// ShellExecuteW as when the user refuses elevation: 5, access denied.
HINSTANCE WINAPI refused_shell_execute(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

// A child standing in for a running client application: holds its image as Windows would
// and idles until it is ended. 3 when it cannot hold its image.
int idle_as_client();

// The system's text for an error code, as the log writes it.
std::string error_text(DWORD code);

// Wine starts the desktop, and with it the taskbar, when a process first asks for the
// desktop window; with a display the taskbar appears a little later. False without it.
bool taskbar_ready();

// The client application's uninstall registration (HKEY_LOCAL_MACHINE), where the updater
// finds the install folder and the installed version.
inline const wchar_t* const kUninstallKey =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" BRAND_APPLICATION_W;

// The program-data folder, and the elevated runs' protected folders (CorvaneUpdate-* in the default
// brand) in it.
std::filesystem::path program_data();
std::set<std::filesystem::path> copy_folders();

// The elevated run's log, in the program-data folder.
std::filesystem::path elevated_log();
// The logs of an update whose first run worked in `folder`: the first run's, then the
// elevated run's.
std::string update_logs(const std::filesystem::path& folder);
// Removes both, waiting a while for a run that still holds one.
void remove_update_logs(const std::filesystem::path& folder);

// The updater as a process, where a client application's vendor puts it: a copy in
// <test folder>\app\upd, started in app, which receives its log. The update folder is
// emptied before each test and removed after it. With the test servers, have_servers_ is
// true and md5_ is the digest of their small.bin.
class UpdaterProcessTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // `command` (a whole command line) in app_, at most `timeout_ms`; its standard output
    // goes to out_, its duration to seconds_.
    DWORD run_in_app(const std::wstring& command, DWORD timeout_ms = 90000);
    // The updater with `url` and `digest`, as the client application starts it.
    // Six failed attempts wait up to 93 s between them, besides the transfers.
    DWORD run_download_phase(const std::string& url, const std::string& digest,
                             DWORD timeout_ms = 180000);
    std::wstring updater_command() const;

    std::string log() const { return update_logs(app_); }
    // Waits up to `timeout_ms` for `count` log lines holding `part`.
    bool wait_for_lines(const std::string& part, size_t count, int timeout_ms) const;

    ScopedWorkDir dir_;
    Servers servers_;
    bool have_servers_ = false;
    std::filesystem::path app_;
    std::filesystem::path updater_;  // app_\upd\updater.exe
    std::string update_folder_;
    std::string md5_;
    std::string out_;
    double seconds_ = 0;
};

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

// Sets a variable of the machine's own environment (HKLM's Session Manager\Environment),
// the only one an installer started by the elevated run gets, and removes it at the end of
// the scope. This process's environment stays as it is.
class ScopedSystemVariable {
public:
    ScopedSystemVariable(const wchar_t* name, const std::wstring& value);
    ~ScopedSystemVariable();
    ScopedSystemVariable(const ScopedSystemVariable&) = delete;
    ScopedSystemVariable& operator=(const ScopedSystemVariable&) = delete;

private:
    const wchar_t* name_;
};

// Points the roaming application-data folder of this user (and with it the update
// folder) elsewhere until destruction.
class ScopedAppData {
public:
    explicit ScopedAppData(const std::wstring& folder);
    ~ScopedAppData();
    ScopedAppData(const ScopedAppData&) = delete;
    ScopedAppData& operator=(const ScopedAppData&) = delete;

private:
    std::vector<std::wstring> saved_;
};

}  // namespace test
