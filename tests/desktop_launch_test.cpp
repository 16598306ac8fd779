// Launching as the desktop user, with Wine's taskbar (under Xvfb) and the real token and
// process calls. The started program is launch_probe.exe, which records its start.
#include "utils/desktop_launch.h"

#include <gtest/gtest.h>

#include <string>

#include "child_main.h"
#include "system_call_override.h"
#include "test_support.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using test::SystemCallOverride;
using utils::ScopedKernelHandle;

struct ShellCall {
    int calls = 0;
    HWND window = reinterpret_cast<HWND>(1);
    std::wstring verb, file;
    bool parameters_given = true, folder_given = true;
    INT show = -1;
    INT_PTR result = 0;
};
ShellCall g_shell;

HINSTANCE WINAPI recording_shell_execute_w(HWND window, LPCWSTR verb, LPCWSTR file,
                                           LPCWSTR parameters, LPCWSTR folder, INT show) {
    ++g_shell.calls;
    g_shell.window = window;
    g_shell.verb = verb ? verb : L"(null)";
    g_shell.file = file ? file : L"(null)";
    g_shell.parameters_given = parameters != nullptr;
    g_shell.folder_given = folder != nullptr;
    g_shell.show = show;
    return reinterpret_cast<HINSTANCE>(g_shell.result);
}

int g_loads = 0;
HMODULE WINAPI counting_load_library_w(LPCWSTR name) {
    ++g_loads;
    return ::LoadLibraryW(name);
}
HMODULE WINAPI failing_load_library_w(LPCWSTR) {
    ++g_loads;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// The membership check as a test wants it: its own success and the answer it gives.
BOOL g_check_succeeds = TRUE;
BOOL g_member = FALSE;
BOOL WINAPI fixed_membership(HANDLE, PSID, PBOOL member) {
    if (!g_check_succeeds) return FALSE;
    *member = g_member;
    return TRUE;
}

// This process's handles that refer to process `id` or one of its threads, and its token
// handles. Wine keeps handle values small, so a scan finds them all.
struct HandleCensus {
    int to_process = 0;
    int tokens = 0;
};

HandleCensus count_handles(DWORD id) {
    HandleCensus census;
    for (UINT_PTR value = 4; value < 0x4000; value += 4) {
        HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags)) continue;
        if (GetProcessId(handle) == id || GetProcessIdOfThread(handle) == id) ++census.to_process;
        TOKEN_TYPE type = TokenPrimary;
        DWORD size = 0;
        if (GetTokenInformation(handle, TokenType, &type, sizeof type, &size)) ++census.tokens;
    }
    return census;
}

// The probe's record: its process id and working folder, once it has started.
struct ProbeRecord {
    DWORD id = 0;
    std::string folder;
};

ProbeRecord wait_for_probe(const fs::path& probe, DWORD limit_ms = 30000) {
    const fs::path record = probe.wstring() + L".started";
    // Read until whole, not just until it exists: one full run under Wine found the
    // record there and read nothing from it, though the probe renames it into place.
    std::string text;
    size_t end = std::string::npos;
    test::wait_until(
        [&] {
            text = test::read_file(record);
            end = text.find('\n');
            return end != std::string::npos;
        },
        static_cast<int>(limit_ms), 50);
    ProbeRecord result;
    if (end == std::string::npos) return result;
    result.id = std::stoul(text.substr(0, end));
    result.folder = text.substr(end + 1);
    // Ended before the test's folder is removed; the handle goes before the caller looks.
    ScopedKernelHandle probe_process(OpenProcess(SYNCHRONIZE, FALSE, result.id));
    if (probe_process) WaitForSingleObject(probe_process.get(), limit_ms);
    return result;
}

bool probe_started(const fs::path& probe) { return fs::exists(probe.wstring() + L".started"); }

// Bits of a child's exit code.
constexpr DWORD kShellShift = 4;  // below: how often the library was loaded; above: the shell
constexpr DWORD kFirstStarted = 0x100;
constexpr DWORD kSecondStarted = 0x200;
constexpr DWORD kTokenFound = 0x400;
constexpr int kNoTaskbar = 0xEE00;

DWORD child_report(int first, int second) {
    return static_cast<DWORD>(g_loads) | static_cast<DWORD>(g_shell.calls) << kShellShift |
           (first != 0 ? kFirstStarted : 0) | (second != 0 ? kSecondStarted : 0);
}

// Two elevated launches in a fresh process: arguments 0 and 1 are the programs.
TEST_CHILD(launch_twice) {
    if (!test::taskbar_ready()) return kNoTaskbar;
    SystemCallOverride count(&utils::SystemCalls::load_library_w, &counting_load_library_w);
    SystemCallOverride shell(&utils::SystemCalls::shell_execute_w, &recording_shell_execute_w);
    const int first = run_as_desktop_user(widen(arguments.at(0)).c_str());
    const int second = run_as_desktop_user(widen(arguments.at(1)).c_str());
    return static_cast<int>(child_report(first, second));
}

// The same when the library cannot be loaded.
TEST_CHILD(launch_without_library) {
    if (!test::taskbar_ready()) return kNoTaskbar;
    SystemCallOverride fail(&utils::SystemCalls::load_library_w, &failing_load_library_w);
    SystemCallOverride shell(&utils::SystemCalls::shell_execute_w, &recording_shell_execute_w);
    const int first = run_as_desktop_user(widen(arguments.at(0)).c_str());
    const int second = run_as_desktop_user(widen(arguments.at(0)).c_str());
    return static_cast<int>(child_report(first, second));
}

// An elevated launch from a thread on a desktop of its own, where no taskbar runs (Wine
// starts one there only when something asks for that desktop's window).
TEST_CHILD(launch_without_taskbar) {
    SystemCallOverride count(&utils::SystemCalls::load_library_w, &counting_load_library_w);
    SystemCallOverride shell(&utils::SystemCalls::shell_execute_w, &recording_shell_execute_w);
    HDESK desktop =
        CreateDesktopW(L"updater-test-no-taskbar", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop == nullptr) return 0xE000;
    static std::wstring program;
    program = widen(arguments.at(0));
    static DWORD report = 0;
    auto run = [](void* desktop) -> DWORD {
        if (!SetThreadDesktop(static_cast<HDESK>(desktop))) return 1;
        ScopedKernelHandle token(get_shell_token());
        const int started = run_as_desktop_user(program.c_str());
        report = child_report(started, 0) | (token ? kTokenFound : 0);
        return 0;
    };
    ScopedKernelHandle thread(CreateThread(nullptr, 0, run, desktop, 0, nullptr));
    const bool ran = WaitForSingleObject(thread.get(), 30000) == WAIT_OBJECT_0;
    DWORD code = 1;
    GetExitCodeThread(thread.get(), &code);
    thread.reset();
    CloseDesktop(desktop);
    return ran && code == 0 ? static_cast<int>(report) : 0xE001;
}

class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        g_shell = ShellCall();
        g_loads = 0;
        // The probe in a folder of its own, so that its working folder tells where it was
        // started from.
        fs::create_directories(dir_.path() / "app");
        probe_ = dir_.path() / "app" / "CorvaneApp.exe";
        fs::copy_file(test::sibling_path(L"launch_probe.exe"), probe_);
    }
    test::ScopedWorkDir dir_;
    fs::path probe_;
};

TEST_F(Launch, ElevatedStartsTheProgramAndKeepsNoHandle) {
    TEST_REQUIRES(test::taskbar_ready(), "a taskbar (run under a display)");
    ASSERT_TRUE(is_vista_or_later());
    ASSERT_TRUE(is_admin()) << "Wine's processes count as administrators";
    {
        // The handle scan sees a handle that is there.
        ScopedKernelHandle own(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()));
        ASSERT_GE(count_handles(GetCurrentProcessId()).to_process, 1);
    }
    SystemCallOverride shell(&utils::SystemCalls::shell_execute_w, &recording_shell_execute_w);
    const int tokens = count_handles(0).tokens;

    EXPECT_NE(run_as_desktop_user(probe_.wstring().c_str()), 0);
    const ProbeRecord probe = wait_for_probe(probe_);
    ASSERT_NE(probe.id, 0u);
    EXPECT_TRUE(fs::equivalent(probe.folder, dir_.path())) << probe.folder;
    const HandleCensus after = count_handles(probe.id);
    EXPECT_EQ(after.to_process, 0);
    EXPECT_EQ(after.tokens, tokens);
    EXPECT_EQ(g_shell.calls, 0);
}

TEST_F(Launch, ElevatedFailureDoesNotFallBackToTheShell) {
    TEST_REQUIRES(test::taskbar_ready(), "a taskbar (run under a display)");
    SystemCallOverride shell(&utils::SystemCalls::shell_execute_w, &recording_shell_execute_w);
    const int tokens = count_handles(0).tokens;
    EXPECT_EQ(run_as_desktop_user((dir_.path() / "app" / "missing.exe").wstring().c_str()), 0);
    EXPECT_EQ(count_handles(0).tokens, tokens);
    EXPECT_EQ(g_shell.calls, 0);
}

TEST_F(Launch, ElevatedWithoutTaskbarStartsNothing) {
    const DWORD report =
        test::run_child("launch_without_taskbar", L" " + test::quoted(probe_.wstring()));
    EXPECT_EQ(report, 0u) << std::hex << report;  // no token, not started, no load, no shell
    EXPECT_FALSE(probe_started(probe_));
}

TEST_F(Launch, LibraryIsLoadedOnceAndAFailedLoadIsNotRetried) {
    TEST_REQUIRES(test::taskbar_ready(), "a taskbar (run under a display)");
    const fs::path missing = dir_.path() / "app" / "missing.exe";
    DWORD report = test::run_child(
        "launch_twice", L" " + test::quoted(probe_.wstring()) + L" " + test::quoted(missing));
    EXPECT_EQ(report, kFirstStarted | 1u) << std::hex << report;
    EXPECT_NE(wait_for_probe(probe_).id, 0u);

    fs::remove(probe_.wstring() + L".started");
    report = test::run_child("launch_without_library", L" " + test::quoted(probe_.wstring()));
    EXPECT_EQ(report, 1u) << std::hex << report;
    EXPECT_FALSE(probe_started(probe_));
}

TEST_F(Launch, AdministratorsMembershipDecidesIsAdmin) {
    const struct {
        BOOL check_succeeds, member;
        bool admin;
    } cases[] = {{TRUE, TRUE, true}, {TRUE, FALSE, false}, {FALSE, TRUE, false}};
    SystemCallOverride check(&utils::SystemCalls::check_token_membership, &fixed_membership);
    for (const auto& c : cases) {
        g_check_succeeds = c.check_succeeds;
        g_member = c.member;
        EXPECT_EQ(is_admin(), c.admin) << c.check_succeeds << c.member;
    }
}

TEST_F(Launch, NotElevatedOpensThroughTheShell) {
    g_check_succeeds = TRUE;
    g_member = FALSE;
    SystemCallOverride check(&utils::SystemCalls::check_token_membership, &fixed_membership);
    ASSERT_FALSE(is_admin());
    {
        SystemCallOverride shell(&utils::SystemCalls::shell_execute_w, &recording_shell_execute_w);
        // The shell's answer is read as a signed 32-bit number: above 32 is success.
        const struct {
            INT_PTR shell_result;
            int started;
        } cases[] = {{33, 1}, {32, 0}, {42, 1}, {0, 0}, {-1, 0}, {0x100000020LL, 0}};
        for (const auto& c : cases) {
            g_shell = ShellCall();
            g_shell.result = c.shell_result;
            EXPECT_EQ(run_as_desktop_user(probe_.wstring().c_str()), c.started) << c.shell_result;
            EXPECT_EQ(g_shell.calls, 1);
            EXPECT_EQ(g_shell.window, nullptr);
            EXPECT_EQ(g_shell.verb, L"open");
            EXPECT_EQ(g_shell.file, probe_.wstring());
            EXPECT_FALSE(g_shell.parameters_given);
            EXPECT_FALSE(g_shell.folder_given);
            EXPECT_EQ(g_shell.show, SW_SHOWNORMAL);
        }
    }
    EXPECT_FALSE(probe_started(probe_));
    // And the real shell starts it.
    EXPECT_EQ(run_as_desktop_user(probe_.wstring().c_str()), 1);
    EXPECT_NE(wait_for_probe(probe_).id, 0u);
}

}  // namespace
