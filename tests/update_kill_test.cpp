// Updates ended by TerminateProcess, as by a logoff, a power cut or a user: the elevated
// run at each boundary between its steps, and the first run in the middle of the
// download. After each, the updater is still in its folder and a fresh update, started as
// the client application starts it, succeeds. Real Wine, nginx and registry; needs Xvfb.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "child_main.h"
#include "driver/phases.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "win_process.h"
// After win.h.
#include <shlobj.h>

namespace {

namespace fs = std::filesystem;

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
    return test::run_updater_main(arguments, 2);
}

class KilledUpdate : public test::UpdaterProcessTest {
protected:
    void SetUp() override {
        TEST_REQUIRES(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0, "a display (Xvfb)");
        UpdaterProcessTest::SetUp();
        TEST_REQUIRES(have_servers_, "the http_servers fixture");
        fs::copy_file(test::sibling_path(L"launch_probe.exe"), app_ / "CorvaneApp.exe");
        // An installer that installs nothing and ends with 0, made 1 MiB larger so that a
        // slow download of it takes a few seconds.
        served_ = "kill-" + std::to_string(GetCurrentProcessId()) + ".exe";
        test::write_file(servers_.file(served_),
                         test::read_file(test::sibling_path(L"installer_probe.exe")) +
                             std::string(1 << 20, '\0'));
        md5_ = test::md5_of(servers_.file(served_));
        ASSERT_EQ(md5_.size(), 32u);
        installer_ = update_folder_ + "\\" + served_;
    }

    void TearDown() override {
        std::error_code ignored;
        if (!served_.empty()) fs::remove(servers_.file(served_), ignored);
        UpdaterProcessTest::TearDown();
    }

    std::wstring download_command(const char* path_prefix) {
        return updater_command() + L" " + widen(servers_.url("http", path_prefix + served_)) +
               L" " + widen(md5_);
    }

    // The product's updater, started from its folder with the URL and the digest as the
    // client application starts it, must install (which alone deletes the downloaded
    // installer) and start the client application again.
    void expect_fresh_update_succeeds(const std::string& after) {
        fs::remove(app_ / "CorvaneApp.exe.started");
        EXPECT_EQ(run_in_app(download_command("/"), kPatienceMs), 0u) << after << "\n" << log();
        EXPECT_TRUE(test::wait_for_processes_in(app_ / "upd", kPatienceMs)) << after;
        EXPECT_FALSE(fs::exists(installer_)) << after << "\n" << log();
        EXPECT_TRUE(
            test::wait_until([this] { return fs::exists(app_ / "CorvaneApp.exe.started"); }, 20000))
            << after << "\n"
            << log();
        EXPECT_TRUE(fs::exists(updater_)) << after;
        // The protected folders of the killed runs are gone; any other would be one that
        // a later run names as kept.
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

    std::string served_;
    std::string installer_;
    std::set<fs::path> kept_;  // protected folders that later runs kept
};

TEST_F(KilledUpdate, AFreshUpdateSucceedsAfterEveryKill) {
    const std::string product = test::read_file(test::sibling_path(L"updater.exe"));
    {
        // The first run, in the middle of its download (200 KiB/s).
        const utils::ScopedKernelHandle first =
            test::start_process(download_command("/slow/"), app_.wstring().c_str());
        ASSERT_TRUE(first);
        const auto received = [this] {
            std::error_code missing;
            const auto bytes = fs::file_size(installer_, missing);
            return missing ? 0 : bytes;
        };
        test::wait_until([&] { return received() >= 65536; }, 30000, 50);
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
        const utils::ScopedKernelHandle elevated = test::start_process(
            updater_command() + L" --child=install_until " + std::to_wstring(step) + L" " +
                widen(event_name) + test::install_phase_arguments(installer_, md5_),
            app_.wstring().c_str());
        ASSERT_TRUE(elevated);
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
    // A kill while the installer ran (after it, after the client application was looked
    // for, and after the restore that followed it) left a snapshot that the next update put
    // back; nothing was kept.
    const std::string text = log();
    size_t put_back = 0;
    for (size_t at = text.find("): An install that did not finish left the snapshot ");
         at != std::string::npos;
         at = text.find("): An install that did not finish left the snapshot ", at + 1))
        ++put_back;
    EXPECT_EQ(put_back, 3u) << text;
    EXPECT_TRUE(kept_.empty());
    std::error_code ignored;
    for (const fs::path& folder : kept_) fs::remove_all(folder, ignored);
}

}  // namespace
