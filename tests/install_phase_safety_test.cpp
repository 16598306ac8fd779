// The elevated run against an installer that is replaced after the first run checked it:
// the updater as a process under Wine, stand-in installers that record where they ran
// from, and the whole update from the test servers with the file swapped at the worst
// moment.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "child_main.h"
#include "driver/phases.h"
#include "status_lines.h"
#include "system_call_override.h"
#include "utils/scoped_handle.h"
#include "utils/singleton_mutex.h"
#include "utils/text.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using test::lines_of;

using test::kUninstallKey;

std::wstring environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {0};
    return GetEnvironmentVariableW(name, value, MAX_PATH) > 0 ? value : L"";
}

// A running client application: holds its image as Windows would and idles until it is
// ended.
TEST_CHILD(idle) { return test::idle_as_client(); }

// The download phase in this process, with the elevated restart going to the updater in
// SAFETY_UPDATER. When SAFETY_SWAP_WITH names a file, that file replaces the checked
// installer first: what a program of the user could do between the check and the
// elevated run.
TEST_CHILD(download_then_swap) {
    test::SystemCallOverride<decltype(&ShellExecuteW)> restart(
        &utils::SystemCalls::shell_execute_w,
        [](HWND window, LPCWSTR verb, LPCWSTR, LPCWSTR parameters, LPCWSTR folder,
           INT show) -> HINSTANCE {
            const std::wstring swap_with = environment(L"SAFETY_SWAP_WITH");
            if (!swap_with.empty()) {
                // "marker" "installer path" "digest": the path is the second quoted text.
                const std::wstring text = parameters;
                const size_t start = text.find(L"\" \"") + 3;
                const std::wstring installer = text.substr(start, text.find(L'"', start) - start);
                if (!CopyFileW(swap_with.c_str(), installer.c_str(), FALSE))
                    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(2));
            }
            const std::wstring updater = environment(L"SAFETY_UPDATER");
            return ShellExecuteW(window, verb, updater.c_str(), parameters, folder, show);
        });
    return test::run_updater_main(arguments);
}

// The whole line of `text` that holds `part`, or empty text.
std::string line_with(const std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    if (at == std::string::npos) return std::string();
    const size_t start = text.rfind('\n', at);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       text.find('\n', at + 1) - (start == std::string::npos ? 0 : start + 1));
}

class InstallPhaseSafety : public test::UpdaterProcessTest {
protected:
    void SetUp() override {
        UpdaterProcessTest::SetUp();
        fs::create_directories(update_folder_);
        installer_ = update_folder_ + "\\setup.exe";
        probe_ = test::sibling_path(L"installer_probe.exe");
        other_ = test::sibling_path(L"launch_probe.exe");
        record_ = dir_.path() / "probe-runs.txt";
        before_ = test::copy_folders();
    }

    DWORD run_install_phase(const std::string& digest) {
        return run_in_app(updater_command() + test::install_phase_arguments(installer_, digest),
                          60000);
    }
    // The build's program in the updater's place, beside the test programs.
    const wchar_t* placed_ = L"updater.exe";

    // The paths that installer probes were started from, in order.
    std::vector<std::string> probe_runs() { return lines_of(test::read_file(record_)); }

    void expect_nothing_changed(const std::string& name) {
        EXPECT_TRUE(probe_runs().empty()) << name;
        EXPECT_FALSE(fs::exists(app_ / "upd" / "updater.old.exe")) << name;
        EXPECT_TRUE(test::read_file(updater_) == test::read_file(test::sibling_path(placed_)))
            << name;
        EXPECT_EQ(test::copy_folders(), before_) << name;
        const std::string text = log();
        EXPECT_EQ(text.find("process image name"), std::string::npos) << name << "\n" << text;
        EXPECT_EQ(text.find("Maybe failed"), std::string::npos) << name;
        EXPECT_EQ(text.find("Checked copy"), std::string::npos) << name;
    }

    std::string installer_;
    fs::path probe_;
    fs::path other_;
    fs::path record_;
    std::set<fs::path> before_;
};

TEST_F(InstallPhaseSafety, AnInstallerThatIsNotTheCheckedOneChangesNothing) {
    const test::FailureWindowCloser closer;
    // A client application that must survive: the phase may not get as far as ending it.
    fs::copy_file(test::own_path(), app_ / "CorvaneApp.exe");
    const utils::ScopedKernelHandle client_process =
        test::start_process(test::quoted((app_ / "CorvaneApp.exe").wstring()) + L" --child=idle",
                            app_.wstring().c_str());
    ASSERT_TRUE(client_process);

    const test::ScopedSystemVariable record(L"INSTALLER_PROBE_RECORD", record_.wstring());
    const std::string checked_md5 = test::md5_of(other_);
    const std::string probe_md5 = test::md5_of(probe_);
    struct Case {
        const char* name;
        bool present;
        bool held_for_writing;
        std::string digest;
        std::string expected_line;
    } cases[] = {
        {"replaced after the check", true, false, checked_md5,
         "): The installer " + installer_ + " does not match its digest " + checked_md5 + ".\n"},
        {"held open for writing", true, true, probe_md5,
         "): Failed to open the installer " + installer_ + ": "},
        {"removed after the check", false, false, checked_md5,
         "): Failed to open the installer " + installer_ + ": "},
    };
    for (const Case& c : cases) {
        test::remove_update_logs(app_);
        fs::remove(installer_);
        if (c.present) fs::copy_file(probe_, installer_);
        utils::ScopedKernelHandle writer;
        if (c.held_for_writing) {
            writer.reset(CreateFileW(widen(installer_).c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
            ASSERT_TRUE(writer) << c.name;
        }
        EXPECT_EQ(run_install_phase(c.digest), 0xffffffffu) << c.name << "\n" << log();
        writer.reset();

        const std::string text = log();
        const std::string line = line_with(text, c.expected_line);
        EXPECT_NE(line.find(" WARN  trust::copy_to_protected_folder("), std::string::npos)
            << c.name << "\n"
            << text;
        EXPECT_NE(
            text.find("): path changed (corvane_auto_installer.exe -> " + installer_ + ").\n"),
            std::string::npos)
            << c.name;
        expect_nothing_changed(c.name);
        EXPECT_EQ(fs::exists(installer_), c.present) << c.name;
        EXPECT_EQ(WaitForSingleObject(client_process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << c.name;
        // No notice: the elevated run's output reaches nobody, and front ends see what
        // they saw before.
        EXPECT_EQ(out_.find("1, "), std::string::npos) << c.name << ": " << out_;
    }
    TerminateProcess(client_process.get(), 0);
    WaitForSingleObject(client_process.get(), 10000);
}

TEST_F(InstallPhaseSafety, WithADigestTheCheckedCopyRunsAndIsRemovedAfterwards) {
    const test::ScopedSystemVariable record(L"INSTALLER_PROBE_RECORD", record_.wstring());
    fs::copy_file(probe_, installer_);
    // No client application beside the updater: the phase ends after the installer.
    EXPECT_EQ(run_install_phase(test::lower(test::md5_of(probe_))), 0xffffffffu);
    const std::string text = log();
    EXPECT_NE(text.find("): The file "), std::string::npos) << text;

    const std::vector<std::string> runs = probe_runs();
    ASSERT_EQ(runs.size(), 1u) << text;
    const fs::path ran(runs[0]);
    EXPECT_EQ(ran.filename(), "setup.exe");
    EXPECT_EQ(ran.parent_path().parent_path(), test::program_data()) << runs[0];
    EXPECT_EQ(ran.parent_path().filename().wstring().rfind(L"CorvaneUpdate-", 0), 0u) << runs[0];
    EXPECT_NE(
        text.find("): Checked copy of the installer " + installer_ + " at " + runs[0] + ".\n"),
        std::string::npos)
        << text;
    EXPECT_FALSE(fs::exists(ran.parent_path()));
    EXPECT_EQ(test::copy_folders(), before_);
    // A failed phase keeps the downloaded installer for the next try, as before.
    EXPECT_TRUE(fs::exists(installer_));
}

// The elevated run ends at once, changing nothing, without a digest to hold the installer
// to, and when someone else holds the update lock (anyone may create it).
TEST_F(InstallPhaseSafety, TheElevatedRunRefusesWithoutADigestOrTheLock) {
    const test::ScopedSystemVariable record(L"INSTALLER_PROBE_RECORD", record_.wstring());
    fs::copy_file(probe_, installer_);
    const std::wstring marker = L" " + test::quoted(kPhaseMarker);
    const std::string no_digest = "): No installer and digest were given: nothing is installed.\n";
    // The application registered in another folder, with an updater of its own there.
    const fs::path registered = dir_.path() / "registered";
    test::place_updater(registered);
    struct Case {
        const char* name;
        std::wstring arguments;
        bool hold_lock;
        bool register_elsewhere;
        std::string line;
    } cases[] = {
        {"no digest", test::install_phase_arguments(installer_), false, false, no_digest},
        {"no installer", marker, false, false, no_digest},
        {"the lock held by another process",
         test::install_phase_arguments(installer_, test::md5_of(probe_)), true, false,
         std::string("): The update lock Global\\") + kLockBaseName +
             " is held by another process: nothing is installed.\n"},
        {"an updater outside the registered folder",
         test::install_phase_arguments(installer_, test::md5_of(probe_)), false, true,
         "): The updater does not run from the application's folder: nothing is installed.\n"},
    };
    // The run gives up on a held lock after 2 s rather than the product's 60 s.
    placed_ = L"updater-quick-waits.exe";
    fs::remove(updater_);
    fs::copy_file(test::sibling_path(placed_), updater_);
    for (const Case& c : cases) {
        test::remove_update_logs(app_);
        SingletonMutex lock(kLockBaseName, true);
        if (c.hold_lock) {
            ASSERT_TRUE(lock.acquire()) << c.name;
        }
        const std::wstring location = registered.wstring();
        if (c.register_elsewhere) {
            ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation", REG_SZ,
                                      location.c_str(),
                                      static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t))),
                      ERROR_SUCCESS);
        }
        EXPECT_EQ(run_in_app(updater_command() + c.arguments, 120000), 0xffffffffu) << c.name;
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        EXPECT_NE(log().find(c.line), std::string::npos) << c.name << "\n" << log();
        expect_nothing_changed(c.name);
        EXPECT_TRUE(fs::exists(installer_)) << c.name;
        // Nothing written beside the updater that ran, nor beside the registered one.
        for (const fs::path& upd : {app_ / "upd", registered / "upd"})
            EXPECT_EQ(std::distance(fs::directory_iterator(upd), fs::directory_iterator()), 1)
                << c.name << ": " << upd;
    }
}

TEST_F(InstallPhaseSafety, ASuccessfulUpdateDeletesTheCheckedInstaller) {
    TEST_REQUIRES(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0,
                  "a display (Xvfb) for the desktop-user launch");
    const test::ScopedSystemVariable record(L"INSTALLER_PROBE_RECORD", record_.wstring());
    fs::copy_file(other_, app_ / "CorvaneApp.exe");
    fs::copy_file(probe_, installer_);
    // A folder under one of the updater's names, made as any user can make one there: the
    // run that clears abandoned folders leaves it and what it holds alone.
    const fs::path planted =
        test::program_data() / ("CorvaneUpdate-planted-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(planted);
    test::write_file(planted / "keep.txt", "the user's");
    EXPECT_EQ(run_install_phase(test::md5_of(probe_)), 0u) << log();
    const std::vector<std::string> runs = probe_runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(fs::path(runs[0]).parent_path().parent_path(), test::program_data());
    EXPECT_FALSE(fs::exists(installer_));
    EXPECT_EQ(test::read_file(planted / "keep.txt"), "the user's");
    EXPECT_NE(log().find("): Left " + planted.string() + " alone: this program did not make it.\n"),
              std::string::npos)
        << log();
    fs::remove_all(planted);
    EXPECT_EQ(test::copy_folders(), before_);
}

// The whole update: the first run downloads and checks the installer and restarts the
// updater elevated; in between, the file in the user's folder is replaced.
class SwapAfterTheCheck : public InstallPhaseSafety {
protected:
    void SetUp() override {
        InstallPhaseSafety::SetUp();
        TEST_REQUIRES(have_servers_, "the http_servers fixture");
        // Served under names of this test's own, removed again afterwards.
        const std::string tag = std::to_string(GetCurrentProcessId());
        for (const auto& [local, served] : {std::pair<fs::path, std::string>{probe_, "probe"},
                                            std::pair<fs::path, std::string>{other_, "other"}}) {
            const std::string name = "safety-" + served + "-" + tag + ".exe";
            fs::copy_file(local, servers_.file(name), fs::copy_options::overwrite_existing);
            served_.push_back(name);
        }
    }
    void TearDown() override {
        std::error_code ignored;
        for (const std::string& name : served_) fs::remove(servers_.file(name), ignored);
        InstallPhaseSafety::TearDown();
    }

    std::vector<std::string> served_;  // probe, other
};

TEST_F(SwapAfterTheCheck, TheElevatedRunRunsOnlyTheFileThatWasChecked) {
    const test::FailureWindowCloser closer;
    const test::ScopedSystemVariable record(L"INSTALLER_PROBE_RECORD", record_.wstring());
    const test::ScopedVariable updater(L"SAFETY_UPDATER", updater_.wstring());
    struct Case {
        const char* name;
        size_t served;       // index into served_
        fs::path swap_with;  // empty: nobody interferes
        size_t probe_runs;   // how often the installer probe must have run
    } cases[] = {
        {"swapped", 1, probe_, 0},
        {"left alone", 0, fs::path(), 1},
    };
    for (const Case& c : cases) {
        test::remove_update_logs(app_);
        fs::remove(record_);
        const test::ScopedVariable swap(L"SAFETY_SWAP_WITH", c.swap_with.wstring());
        const std::string url = servers_.url("http", "/" + served_[c.served]);
        const fs::path served = servers_.file(served_[c.served]);
        const std::string digest = test::md5_of(served);
        const std::string installer = update_folder_ + "\\" + served_[c.served];
        const DWORD code =
            test::run_process(test::quoted(test::own_path()) + L" --child=download_then_swap " +
                                  widen(url) + L" " + widen(digest),
                              0, app_.wstring().c_str(), 90000);
        EXPECT_EQ(code, 0u) << c.name << "\n" << log();
        EXPECT_TRUE(test::wait_for_processes_in(app_ / "upd", 60000)) << c.name;

        const std::string text = log();
        EXPECT_NE(text.find("): path changed (corvane_auto_installer.exe -> " + installer + ").\n"),
                  std::string::npos)
            << c.name << "\n"
            << text;
        EXPECT_EQ(probe_runs().size(), c.probe_runs) << c.name << "\n" << text;
        EXPECT_EQ(test::copy_folders(), before_) << c.name;
        if (!c.swap_with.empty()) {
            EXPECT_NE(text.find("): The installer " + installer + " does not match its digest " +
                                digest + ".\n"),
                      std::string::npos)
                << c.name << "\n"
                << text;
            expect_nothing_changed(c.name);
        } else {
            EXPECT_NE(text.find("): Checked copy of the installer " + installer + " at " +
                                probe_runs()[0] + ".\n"),
                      std::string::npos)
                << text;
        }
    }
}

}  // namespace
