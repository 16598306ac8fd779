// upgrade-watch as a process, watching this test program's child in the updater's part:
// status lines written in awkward pieces and more at once than a pipe holds, two
// download attempts that each serve the upgrade pipe, and the updater's exit code -1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_main.h"
#include "test_support.h"
#include "utils/scoped_handle.h"
#include "utils/win.h"
#include "win_process.h"

namespace {

using utils::ScopedKernelHandle;

const char kUpgradePipe[] = "\\\\.\\pipe\\CorvaneHUBRAUpgradePipe";
const DWORD kConnectLimitMs = 30000;

void write_out(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

// One download attempt's upgrade pipe, as the updater serves it: waits for the front end
// to connect, sends `messages` progress messages, and closes the pipe once the front end
// has read them all (so that the count is exact).
bool serve_attempt(int messages) {
    ScopedKernelHandle pipe(CreateNamedPipeA(
        kUpgradePipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 1024, 1024, 0, nullptr));
    ScopedKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pipe.valid() || !event.valid()) return false;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (!ConnectNamedPipe(pipe.get(), &overlapped)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event.get(), kConnectLimitMs) != WAIT_OBJECT_0) {
                CancelIoEx(pipe.get(), &overlapped);
                return false;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            return false;
        }
    }
    for (int i = 1; i <= messages; ++i) {
        const std::string message = "0, 1000.000000, " + std::to_string(i * 100) + ".000000;";
        OVERLAPPED write{};
        write.hEvent = event.get();
        ResetEvent(event.get());
        DWORD written = 0;
        if (!WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()), nullptr,
                       &write) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        if (!GetOverlappedResult(pipe.get(), &write, &written, TRUE) || written != message.size())
            return false;
    }
    // Returns once the client has read everything; a disconnect would drop the rest.
    FlushFileBuffers(pipe.get());
    DisconnectNamedPipe(pipe.get());
    return true;
}

std::string big_notice(int index) { return std::string(3000, 'n') + std::to_string(index); }

TEST_CHILD(fake_updater) {
    if (!serve_attempt(5)) return 10;
    // Records cut anywhere, one with ";" in its text.
    write_out("0, 1000.000000, 0.0");
    write_out("00000;0, 1000.000000, 500.000000;1, Failed to download file for a;b");
    write_out(".;");
    if (!serve_attempt(7)) return 11;
    // About 90 KiB at once, more than the pipe to upgrade-watch holds.
    std::string bulk;
    for (int i = 0; i < 30; ++i) bulk += "1, " + big_notice(i) + ";";
    write_out(bulk);
    write_out("1, Failed to download file with correct hash(md5/sha1).;");
    return -1;
}

std::wstring watch_path() { return test::quoted(test::sibling_path(L"upgrade-watch.exe")); }

TEST(UpgradeWatch, FollowsStatusLinesAndEveryAttemptsPipeAndPassesTheExitCodeOn) {
    test::ScopedWorkDir dir;
    std::string output;
    const DWORD code = test::run_process_output(
        watch_path() + L" -- " + test::quoted(test::own_path()) + L" --child=fake_updater",
        dir.path().wstring().c_str(), output);
    EXPECT_EQ(code, 0xFFFFFFFFu);

    std::vector<std::string> notices;
    int connected = 0;
    std::vector<std::string> disconnected;
    std::string summary;
    for (const std::string& line : test::screen(output)) {
        if (line.rfind("notice: ", 0) == 0) notices.push_back(line.substr(8));
        if (line == "pipe: connected") ++connected;
        if (line.rfind("pipe: disconnected", 0) == 0) disconnected.push_back(line);
        if (line.rfind("summary: ", 0) == 0) summary = line;
        EXPECT_EQ(line.rfind("output: ", 0), std::string::npos) << line;
    }
    std::vector<std::string> expected = {"Failed to download file for a;b."};
    for (int i = 0; i < 30; ++i) expected.push_back(big_notice(i));
    expected.push_back("Failed to download file with correct hash(md5/sha1).");
    // Compared one by one: the long ones would flood a failure message.
    ASSERT_EQ(notices.size(), expected.size());
    for (size_t i = 0; i < notices.size(); ++i)
        EXPECT_TRUE(notices[i] == expected[i]) << "notice " << i << ": " << notices[i].substr(0, 80)
                                               << "... (" << notices[i].size() << " bytes)";
    EXPECT_EQ(connected, 2);
    EXPECT_EQ(disconnected, (std::vector<std::string>{"pipe: disconnected after 5 messages",
                                                      "pipe: disconnected after 7 messages"}));
    EXPECT_EQ(summary,
              "summary: status lines 34 (progress 2, notices 32, other 0), pipe messages 12 "
              "(connections 2), updater exit code -1");
}

TEST(UpgradeWatch, CommandLines) {
    struct Case {
        const wchar_t* arguments;
        DWORD code;
        const char* output;  // expected at the start of standard output
    };
    const Case cases[] = {
        {L" --help", 0, "usage: upgrade-watch -- UPDATER.EXE URL MD5"},
        {L" updater.exe https://h/setup.exe 0123", 2, ""},
        {L" --", 2, ""},
        {L" -- no-such-program-here.exe", 3,
         "summary: status lines 0 (progress 0, notices 0, other 0), pipe messages 0 "
         "(connections 0), updater exit code none"},
    };
    test::ScopedWorkDir dir;
    for (const Case& test : cases) {
        std::string output;
        EXPECT_EQ(test::run_process_output(watch_path() + test.arguments,
                                           dir.path().wstring().c_str(), output),
                  test.code);
        EXPECT_EQ(output.rfind(test.output, 0), 0u) << output;
    }
}

}  // namespace
