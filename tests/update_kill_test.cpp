// Updates ended by TerminateProcess, as by a logoff, a power cut or a user: the elevated
// run at each boundary between its steps, and the first run in the middle of the
// download. After each, the updater is still in its folder and a fresh update, started as
// the client application starts it, succeeds. Real Wine, nginx and registry; needs Xvfb.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "child_main.h"
#include "driver/entry.h"
#include "driver/phases.h"
#include "integrity/file_digest.h"
#include "test_servers.h"
#include "test_support.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "win_process.h"
// After win.h.
#include <shlobj.h>

namespace {

namespace fs = std::filesystem;

const wchar_t* const kMarker = L"5D3A81E4-7B2C-4F19-A6D0-93E47C1B2F58";
constexpr DWORD kPatienceMs = 60000;

int g_stop_at = -1;
std::string g_stopped_event;

// The updater's whole run in this program (copied in the updater's place), which stops
// for good once it is through step N of the install phase and says so by setting an
// event: --child=install_until <N> <event name> <updater arguments...>.
TEST_CHILD(install_until) {
    g_stop_at = std::stoi(arguments.at(0));
    g_stopped_event = arguments.at(1);
    g_install_step_hook = [](int step, ProgressWindow*) {
        if (step != g_stop_at) return;
        utils::ScopedKernelHandle stopped(
            OpenEventA(EVENT_MODIFY_STATE, FALSE, g_stopped_event.c_str()));
        SetEvent(stopped.get());
        Sleep(INFINITE);
    };
    std::vector<std::string> args(arguments.begin() + 2, arguments.end());
    args.insert(args.begin(), "updater.exe");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    return updater_main(static_cast<int>(argv.size()), argv.data());
}

class KilledUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_REQUIRES(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0, "a display (Xvfb)");
        TEST_REQUIRES(servers_.load(), "the http_servers fixture");
        ASSERT_EQ(utils::get_app_data_path(utils::kUpdateFolderSuffix, update_folder_), 0);
        fs::remove_all(update_folder_);
        app_ = dir_.path() / "app";
        test::place_updater(app_);
        updater_ = app_ / "upd" / "updater.exe";
        fs::copy_file(test::sibling_path(L"launch_probe.exe"), app_ / "CorvaneApp.exe");
        // An installer that installs nothing and ends with 0, made 1 MiB larger so that a
        // slow download of it takes a few seconds.
        served_ = "kill-" + std::to_string(GetCurrentProcessId()) + ".exe";
        test::write_file(servers_.file(served_),
                         test::read_file(test::sibling_path(L"installer_probe.exe")) +
                             std::string(1 << 20, '\0'));
        char md5[33] = {0};
        ASSERT_EQ(md5_file_hex(servers_.file(served_).c_str(), md5), 32);
        md5_ = md5;
        installer_ = update_folder_ + "\\" + served_;
    }

    void TearDown() override {
        std::error_code ignored;
        if (!served_.empty()) fs::remove(servers_.file(served_), ignored);
        fs::remove_all(update_folder_, ignored);
    }

    std::wstring download_command(const char* path_prefix) {
        return test::quoted(updater_.wstring()) + L" " +
               widen(servers_.url("http", path_prefix + served_)) + L" " + widen(md5_);
    }

    std::string log() { return test::read_text_file(app_ / "update.log"); }

    // The product's updater, started from its folder with the URL and the digest as the
    // client application starts it, must install (which alone deletes the downloaded
    // installer) and start the client application again.
    void expect_fresh_update_succeeds(const std::string& after) {
        fs::remove(app_ / "CorvaneApp.exe.started");
        std::string out;
        EXPECT_EQ(test::run_process_output(download_command("/"), app_.wstring().c_str(), out,
                                           kPatienceMs),
                  0u)
            << after << "\n"
            << log();
        EXPECT_TRUE(test::wait_for_processes_in(app_ / "upd", kPatienceMs)) << after;
        EXPECT_FALSE(fs::exists(installer_)) << after << "\n" << log();
        bool started = false;
        for (int waited = 0; waited < 20000 && !started; waited += 100) {
            started = fs::exists(app_ / "CorvaneApp.exe.started");
            if (!started) Sleep(100);
        }
        EXPECT_TRUE(started) << after << "\n" << log();
        EXPECT_TRUE(fs::exists(updater_)) << after;
        // The protected folders of the killed runs are gone, but for a snapshot of a
        // folder that an unfinished install may have changed, which a later run names.
        wchar_t program_data[MAX_PATH] = {0};
        SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, program_data);
        const std::string text = log();
        for (const auto& entry : fs::directory_iterator(program_data)) {
            if (entry.path().filename().wstring().rfind(L"CorvaneUpdate-", 0) != 0) continue;
            EXPECT_NE(text.find("): Kept " + entry.path().string() + ": "), std::string::npos)
                << after << ": " << entry.path();
            kept_.insert(entry.path());
        }
    }

    test::ScopedWorkDir dir_;
    test::Servers servers_;
    fs::path app_;
    fs::path updater_;
    std::string update_folder_;
    std::string served_;
    std::string md5_;
    std::string installer_;
    std::set<fs::path> kept_;  // protected folders that later runs kept
};

TEST_F(KilledUpdate, AFreshUpdateSucceedsAfterEveryKill) {
    const std::string product = test::read_file(test::sibling_path(L"updater.exe"));
    {
        // The first run, in the middle of its download (200 KiB/s).
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        std::wstring command = download_command("/slow/");
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   app_.wstring().c_str(), &startup, &process));
        CloseHandle(process.hThread);
        utils::ScopedKernelHandle first(process.hProcess);
        const auto received = [this] {
            std::error_code missing;
            const auto bytes = fs::file_size(installer_, missing);
            return missing ? 0 : bytes;
        };
        for (int waited = 0; waited < 30000 && received() < 65536; waited += 50) Sleep(50);
        ASSERT_EQ(WaitForSingleObject(first.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << log();
        TerminateProcess(first.get(), 1);
        WaitForSingleObject(first.get(), kPatienceMs);
        EXPECT_LT(fs::file_size(installer_), fs::file_size(servers_.file(served_)));
        EXPECT_TRUE(test::read_file(updater_) == product);
        expect_fresh_update_succeeds("after a kill in the download");
    }

    // The elevated run, ended after each step in turn and finally at its end.
    const std::string self = test::read_file(test::own_path());
    const std::string event_name = "UpdaterKillTest-" + std::to_string(GetCurrentProcessId());
    utils::ScopedKernelHandle stopped(CreateEventA(nullptr, FALSE, FALSE, event_name.c_str()));
    ASSERT_TRUE(stopped);
    for (int step = 0; step <= kInstallStepCount; ++step) {
        const std::string after = "after a kill at step " + std::to_string(step);
        // This program in the updater's place, the checked installer in the update folder.
        fs::copy_file(test::own_path(), updater_, fs::copy_options::overwrite_existing);
        fs::copy_file(servers_.file(served_), installer_, fs::copy_options::overwrite_existing);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        std::wstring command = test::quoted(updater_.wstring()) + L" --child=install_until " +
                               std::to_wstring(step) + L" " + widen(event_name) + L" " +
                               test::quoted(kMarker) + L" " + test::quoted(widen(installer_)) +
                               L" " + widen(md5_);
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   app_.wstring().c_str(), &startup, &process));
        CloseHandle(process.hThread);
        utils::ScopedKernelHandle elevated(process.hProcess);
        const HANDLE waits[] = {stopped.get(), elevated.get()};
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kPatienceMs);
        TerminateProcess(elevated.get(), 1);
        WaitForSingleObject(elevated.get(), kPatienceMs);
        ASSERT_EQ(woken, WAIT_OBJECT_0) << after << ": the run did not stop there\n" << log();

        // Whole, and where the client application's vendor put it.
        EXPECT_TRUE(test::read_file(updater_) == self) << after;
        // The product's updater for the update that follows.
        fs::copy_file(test::sibling_path(L"updater.exe"), updater_,
                      fs::copy_options::overwrite_existing);
        expect_fresh_update_succeeds(after);
    }
    // A kill while the installer ran left a snapshot that no later run deleted.
    EXPECT_FALSE(kept_.empty());
    std::error_code ignored;
    for (const fs::path& folder : kept_) fs::remove_all(folder, ignored);
}

}  // namespace
