// Process control with real processes: copies of this program under the client
// application's names, the shell, and Wine's own taskkill.
#include "utils/process.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "child_main.h"
#include "log/log.h"
#include "system_call_override.h"
#include "test_support.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using test::SystemCallOverride;
using utils::ScopedKernelHandle;

// Stands in for the client application: holds its image as Windows would and runs until
// it is ended.
TEST_CHILD(idle) { return test::idle_as_client(); }

// Stands in for the installer: after a while (so that a caller that does not wait sees
// nothing), records its arguments and how it was asked to show, then exits with 3.
TEST_CHILD(record_and_exit) {
    Sleep(300);
    STARTUPINFOW startup = {};
    GetStartupInfoW(&startup);
    std::string record =
        "show=" +
        std::to_string((startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1);
    for (const std::string& argument : arguments) record += "|" + argument;
    test::write_file("installer-ran.txt", record);
    return 3;
}

// A copy of this program running --child=idle under another file name, ended (if it
// still runs) when the test is over.
class RunningCopy {
public:
    RunningCopy(const fs::path& folder, const std::wstring& name) {
        fs::create_directories(folder);
        const fs::path image = folder / name;
        fs::copy_file(test::own_path(), image, fs::copy_options::overwrite_existing);
        process_ = test::start_process(test::quoted(image.wstring()) + L" --child=idle");
        if (process_) id_ = GetProcessId(process_.get());
    }
    ~RunningCopy() {
        if (running()) TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 30000);
    }
    RunningCopy(const RunningCopy&) = delete;
    RunningCopy& operator=(const RunningCopy&) = delete;

    bool started() const { return process_.valid(); }
    bool running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    DWORD id() const { return id_; }
    DWORD exit_code() const {
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    ScopedKernelHandle process_;
    DWORD id_ = 0;
};

class Processes : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log_open(), 0); }
    std::string log() { return test::log_without_stamps(dir_.path()); }
    // Names unique to this test process, so that concurrent tests do not end each other's
    // copies through taskkill.
    std::wstring unique_name(const wchar_t* stem) {
        return stem + std::to_wstring(GetCurrentProcessId()) + L".EXE";
    }
    test::ScopedWorkDir dir_;
};

TEST_F(Processes, EndsEveryCopyWithTheWholeNameAndWaitsForThem) {
    const struct {
        const wchar_t* name;
        bool ended;
    } cases[] = {
        {L"CorvaneApp.exe", true},
        {L"corvaneapp.EXE", true},
        {L"CorvaneApp.exe.bak", false},
        {L"CorvaneApp.ex", false},
    };
    std::vector<std::unique_ptr<RunningCopy>> copies;
    int folder = 0;
    for (const auto& c : cases) {
        // One folder per copy: Wine's file names ignore case.
        copies.push_back(std::make_unique<RunningCopy>(
            dir_.path() / ("copy" + std::to_string(folder++)), c.name));
        ASSERT_TRUE(copies.back()->started()) << narrow(c.name);
    }

    // Names that a running image merely begins or ends with match nothing.
    EXPECT_EQ(utils::kill_process("CorvaneApp"), 0);
    EXPECT_EQ(utils::kill_process("orvaneApp.exe"), 0);
    for (const auto& copy : copies) EXPECT_TRUE(copy->running());

    EXPECT_EQ(utils::kill_process("CorvaneApp.exe"), 0);
    for (size_t i = 0; i < copies.size(); ++i) {
        // Ended by TerminateProcess, which sets the exit code it is given.
        EXPECT_EQ(copies[i]->running(), !cases[i].ended) << narrow(cases[i].name);
        if (cases[i].ended) {
            EXPECT_EQ(copies[i]->exit_code(), 0xFFFFFFFFu);
        }
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Processes, NoMatchLogsNothing) {
    EXPECT_EQ(utils::kill_process(narrow(unique_name(L"NoSuchImage"))), 0);
    EXPECT_EQ(log(), "");
}

// Taskkill's start, and whether the real one is run too.
struct TaskkillCall {
    int calls = 0;
    std::wstring application, command_line;
    bool hidden = false;
    bool folder_given = false;
    bool run_it = false;
};
TaskkillCall g_taskkill;

BOOL WINAPI recording_create_process_w(LPCWSTR application, LPWSTR command_line,
                                       LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                       BOOL inherit, DWORD flags, LPVOID environment,
                                       LPCWSTR folder, LPSTARTUPINFOW startup,
                                       LPPROCESS_INFORMATION started) {
    ++g_taskkill.calls;
    g_taskkill.application = application ? application : L"(null)";
    g_taskkill.command_line = command_line ? command_line : L"(null)";
    g_taskkill.hidden =
        (startup->dwFlags & STARTF_USESHOWWINDOW) != 0 && startup->wShowWindow == SW_HIDE;
    g_taskkill.folder_given = folder != nullptr;
    if (g_taskkill.run_it)
        return ::CreateProcessW(application, command_line, process, thread, inherit, flags,
                                environment, folder, startup, started);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI refusing_terminate(HANDLE, UINT) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(Processes, ResistingProcessIsHandedToTaskkillUnderTheSnapshotName) {
    const std::wstring name = unique_name(L"Resisting");
    RunningCopy copy(dir_.path(), name);
    ASSERT_TRUE(copy.started());
    g_taskkill = TaskkillCall();
    g_taskkill.run_it = true;
    SystemCallOverride refuse(&utils::SystemCalls::terminate_process, &refusing_terminate);
    SystemCallOverride record(&utils::SystemCalls::create_process_w, &recording_create_process_w);
    // A taskkill.exe of someone else's in the working folder, which a bare name would find.
    fs::copy_file(test::sibling_path(L"planted_marker.exe"), dir_.path() / "taskkill.exe");

    // Asked for in lower case; taskkill gets the name as the snapshot spells it.
    const std::string asked = test::lower(narrow(name));
    EXPECT_EQ(utils::kill_process(asked), 0);

    // Started by its path, never looked up: the application name is System32's taskkill.
    EXPECT_EQ(g_taskkill.calls, 1);
    wchar_t system_folder[MAX_PATH] = {0};
    ASSERT_GT(GetSystemDirectoryW(system_folder, MAX_PATH), 0u);
    const std::wstring taskkill = std::wstring(system_folder) + L"\\taskkill.exe";
    EXPECT_EQ(g_taskkill.application, taskkill);
    EXPECT_EQ(g_taskkill.command_line, L"\"" + taskkill + L"\" /im " + name + L" /f");
    EXPECT_FALSE(g_taskkill.folder_given);
    EXPECT_TRUE(g_taskkill.hidden);
    // Wine's taskkill ended it, and the call waited for that.
    EXPECT_FALSE(copy.running());
    EXPECT_FALSE(fs::exists(dir_.path() / "taskkill.exe.fired"));
    EXPECT_EQ(log(), " WARN  utils::kill_process(N): Maybe failed to terminate process(" +
                         std::to_string(copy.id()) + "), switch to taskkill.\n");
}

TEST_F(Processes, ProcessThatOutlivesTheWaitIsLoggedAndLeft) {
    RunningCopy copy(dir_.path(), unique_name(L"Survivor"));
    ASSERT_TRUE(copy.started());
    g_taskkill = TaskkillCall();
    SystemCallOverride refuse(&utils::SystemCalls::terminate_process, &refusing_terminate);
    SystemCallOverride record(&utils::SystemCalls::create_process_w, &recording_create_process_w);
    // A second instead of the product's ten: the survivor outlives either.
    const unsigned long product_wait_ms = utils::g_kill_wait_ms;
    utils::g_kill_wait_ms = 1000;

    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(utils::kill_process(narrow(unique_name(L"Survivor"))), 0);
    EXPECT_GE(GetTickCount64() - started, 900u);  // give or take the clock's tick
    utils::g_kill_wait_ms = product_wait_ms;
    EXPECT_EQ(g_taskkill.calls, 1);
    EXPECT_TRUE(copy.running());
    const std::string id = std::to_string(copy.id());
    EXPECT_EQ(log(), " WARN  utils::kill_process(N): Maybe failed to terminate process(" + id +
                         "), switch to taskkill.\n WARN  utils::kill_process(N): Process " + id +
                         " still running after termination.\n");
}

HANDLE WINAPI no_snapshot(DWORD, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI no_first_entry(HANDLE, LPPROCESSENTRY32W) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

TEST_F(Processes, UnreadableProcessListFails) {
    {
        SystemCallOverride fail(&utils::SystemCalls::create_toolhelp32_snapshot, &no_snapshot);
        EXPECT_EQ(utils::kill_process("CorvaneApp.exe"), -1);
    }
    {
        SystemCallOverride fail(&utils::SystemCalls::process32_first_w, &no_first_entry);
        EXPECT_EQ(utils::kill_process("CorvaneApp.exe"), -1);
    }
    EXPECT_EQ(log(),
              " WARN  utils::kill_process(N): CreateToolhelp32Snapshot (of processes)\n"
              " WARN  utils::kill_process(N): Failed to Process32First for " +
                  test::error_text(ERROR_NO_MORE_FILES) + "\n");
}

TEST_F(Processes, StartProgWaitWaitsAndIgnoresTheExitCode) {
    // The shell starts it in our working folder, where it leaves its record.
    const std::string program = narrow(test::own_path());
    const std::string parameters = "--child=record_and_exit /S /D=C:\\Corvane App";
    EXPECT_EQ(utils::start_prog_wait(program, parameters), 0);
    EXPECT_EQ(test::read_file(dir_.path() / "installer-ran.txt"), "show=0|/S|/D=C:\\Corvane|App");

    // The exit code, for a caller that asks for it.
    fs::remove(dir_.path() / "installer-ran.txt");
    unsigned long exit_code = 0;
    EXPECT_EQ(utils::start_prog_wait(program, parameters, &exit_code), 0);
    EXPECT_EQ(exit_code, 3ul);
    EXPECT_TRUE(fs::exists(dir_.path() / "installer-ran.txt"));
    EXPECT_EQ(log(), "");
}

// The error the real CreateProcessW left, kept before the log is written.
DWORD g_start_error = 0;
BOOL WINAPI remembering_create_process_w(LPCWSTR application, LPWSTR command_line,
                                         LPSECURITY_ATTRIBUTES process,
                                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                         LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                         LPPROCESS_INFORMATION started) {
    const BOOL ok = ::CreateProcessW(application, command_line, process, thread, inherit, flags,
                                     environment, folder, startup, started);
    g_start_error = GetLastError();
    return ok;
}

TEST_F(Processes, StartProgWaitReportsAMissingProgram) {
    const std::string missing = (dir_.path() / "missing-installer.exe").string();
    g_start_error = 0;
    int result = 0;
    {
        SystemCallOverride remember(&utils::SystemCalls::create_process_w,
                                    &remembering_create_process_w);
        result = utils::start_prog_wait(missing, "/S /D=C:\\Corvane");
    }
    EXPECT_EQ(result, -1);
    EXPECT_NE(g_start_error, 0u);
    EXPECT_EQ(log(), " WARN  utils::start_prog_wait(N): Failed to start " + missing +
                         " /S /D=C:\\Corvane: " + test::error_text(g_start_error));
}

// Wine's report of a process that ended before it had started, given for the first
// `g_ended_early` starts; the real CreateProcessW after them.
int g_ended_early = 0;
int g_start_calls = 0;
BOOL WINAPI early_ending_create_process_w(LPCWSTR application, LPWSTR command_line,
                                          LPSECURITY_ATTRIBUTES process,
                                          LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                          LPVOID environment, LPCWSTR folder,
                                          LPSTARTUPINFOW startup, LPPROCESS_INFORMATION started) {
    if (g_start_calls++ < g_ended_early) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }
    return ::CreateProcessW(application, command_line, process, thread, inherit, flags, environment,
                            folder, startup, started);
}

// A start that Wine reports as ended before it began is tried again, twice at most; the
// program then runs once, or the last failure is reported.
TEST_F(Processes, StartProgWaitTriesAgainAProgramThatEndedBeforeItStarted) {
    const std::string program = narrow(test::own_path());
    const std::string parameters = "--child=record_and_exit /S";
    const std::string again = " WARN  utils::start_hidden(N): " + program +
                              " ended before it had started: starting it again.\n";
    struct Case {
        int ended_early;
        int calls;
        bool ran;
        std::string log;
    } cases[] = {
        {1, 2, true, again},
        {2, 3, true, again + again},
        {3, 3, false,
         again + again + " WARN  utils::start_prog_wait(N): Failed to start " + program + " " +
             parameters + ": " + test::error_text(ERROR_INTERNAL_ERROR)},
    };
    for (const Case& c : cases) {
        fs::remove(dir_.path() / "installer-ran.txt");
        const size_t logged = log().size();
        g_ended_early = c.ended_early;
        g_start_calls = 0;
        int result = 0;
        unsigned long exit_code = 0;
        {
            SystemCallOverride early(&utils::SystemCalls::create_process_w,
                                     &early_ending_create_process_w);
            result = utils::start_prog_wait(program, parameters, &exit_code);
        }
        EXPECT_EQ(result, c.ran ? 0 : -1) << c.ended_early;
        EXPECT_EQ(g_start_calls, c.calls) << c.ended_early;
        EXPECT_EQ(exit_code, c.ran ? 3ul : 0ul) << c.ended_early;
        EXPECT_EQ(fs::exists(dir_.path() / "installer-ran.txt"), c.ran) << c.ended_early;
        EXPECT_EQ(log().substr(logged), c.log) << c.ended_early;
    }
}

}  // namespace
