// The Win32 side of the path operations, with the real shell and file functions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "child_main.h"
#include "log/log.h"
#include "system_call_override.h"
#include "test_support.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using utils::ScopedKernelHandle;

const std::string kUntouched = "untouched";
const char* const kDefaultName = "corvane_auto_installer.exe";

// The backup steps of the install phase, run by a copy of this program on its own
// image: rename to the backup name, copy back. Writes the two paths to "sequence.txt" in
// the working folder. Exit code 0, or the number of the step that failed.
TEST_CHILD(self_rename) {
    log_open();
    std::string own, backup;
    if (utils::get_current_image_path(own) < 0) return 1;
    if (utils::gen_backup_name(own, utils::kBackupSuffix, backup) < 0) return 2;
    test::write_file("sequence.txt", own + "\n" + backup + "\n");
    if (utils::try_change_current_image_name(backup) < 0) return 3;
    if (utils::copy_file(backup, own) < 0) return 4;
    return 0;
}

// Moves its own image to argument 0. Exit code 0, or 3 when the move failed.
TEST_CHILD(rename_self_to) {
    log_open();
    return utils::try_change_current_image_name(arguments.at(0)) < 0 ? 3 : 0;
}

// Sets the event named by argument 0, then idles until the one named by argument 1 is set.
TEST_CHILD(idle) {
    ScopedKernelHandle started(OpenEventA(EVENT_MODIFY_STATE, FALSE, arguments.at(0).c_str()));
    ScopedKernelHandle quit(OpenEventA(SYNCHRONIZE, FALSE, arguments.at(1).c_str()));
    if (!started.valid() || !quit.valid()) return 90;
    SetEvent(started.get());
    return WaitForSingleObject(quit.get(), 60000) == WAIT_OBJECT_0 ? 0 : 91;
}

class PathsWin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log_open(), 0); }
    std::string log() { return test::log_without_stamps(dir_.path()); }
    test::ScopedWorkDir dir_;
};

TEST_F(PathsWin, JoinPath) {
    const std::string folder253 = "C:\\" + std::string(250, 'f');
    const struct {
        std::string folder, name, joined;
    } cases[] = {
        {"C:\\dir", "name", "C:\\dir\\name"},
        {"C:\\dir\\", "name", "C:\\dir\\name"},
        {"C:\\dir", "\\name", "C:\\dir\\name"},
        {"C:\\", "name", "C:\\name"},
        {"C:\\dir", "D:\\x\\setup.exe", "D:\\x\\setup.exe"},
        {"C:\\dir", "", "C:\\dir"},
        {folder253, "12345", folder253 + "\\12345"},  // 259 characters: fits
        {folder253, "123456", ""},
        {"C:\\" + std::string(257, 'f'), "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utils::join_path(c.folder, c.name), c.joined) << c.folder << " + " << c.name;
    EXPECT_EQ(log(), "");
}

TEST_F(PathsWin, AppDataPathWithUpdateSuffix) {
    const char* roaming = std::getenv("APPDATA");
    ASSERT_NE(roaming, nullptr);
    const std::string expected = std::string(roaming) + "\\CorvaneApp\\update";
    const bool existed = fs::exists(expected);

    std::string out;
    EXPECT_EQ(utils::get_app_data_path(utils::kUpdateFolderSuffix, out), 0);
    EXPECT_EQ(out, expected);
    // Creating the update folder is the caller's business.
    if (!existed) {
        EXPECT_FALSE(fs::exists(expected));
    }

    // Too long to fit: a failure without a log line.
    EXPECT_EQ(utils::get_app_data_path("\\" + std::string(300, 's'), out), -1);
    EXPECT_EQ(log(), "");
}

TEST_F(PathsWin, ClientExePath) {
    const std::string deep = "C:\\" + std::string(250, 'd') + "\\u\\updater.exe";
    const struct {
        std::string exe;
        int result;
        std::string out;
        std::string log;
    } cases[] = {
        {"C:\\Tools\\upd\\updater.exe", 0, "C:\\Tools\\CorvaneApp.exe", ""},
        {"C:\\upd\\updater.exe", 0, "C:\\CorvaneApp.exe", ""},
        {"\\\\srv\\share\\upd\\updater.exe", 0, "\\\\srv\\share\\CorvaneApp.exe", ""},
        {"C:\\updater.exe", -1, kUntouched,
         " WARN  gen_hubra_exe_path(N): Failed to get parent path from C:\n"},
        {"updater.exe", -1, kUntouched,
         " WARN  gen_hubra_exe_path(N): Failed to get parent path from updater.exe\n"},
        // The join does not fit: success with empty text; the caller's existence test
        // catches it.
        {deep, 0, "", ""},
    };
    std::string expected_log;
    for (const auto& c : cases) {
        std::string out = kUntouched;
        EXPECT_EQ(gen_hubra_exe_path(c.exe, out), c.result) << c.exe;
        EXPECT_EQ(out, c.out) << c.exe;
        expected_log += c.log;
    }
    EXPECT_EQ(log(), expected_log);
}

// Each URL's installer name, joined onto a real folder, names a plain file in that folder.
TEST_F(PathsWin, InstallerPathFromUrl) {
    const std::string folder = dir_.path().string();
    const struct {
        const char* url;
        const char* name;
    } cases[] = {
        {"https://dl.example.com/rel/setup.exe", "setup.exe"},
        {"https://dl.example.com/setup.exe?token=a/b&sig=x:y", "setup.exe"},
        {"https://dl.example.com/setup.exe#top", "setup.exe"},
        {"https://dl.example.com/rel/", kDefaultName},
        {"https://dl.example.com/rel/..", kDefaultName},
        {"https://dl.example.com/setup.exe:hidden", kDefaultName},
        {"https://dl.example.com/rel\\..\\setup.exe", kDefaultName},
        {"https://dl.example.com/nul.exe", kDefaultName},
        {"https://dl.example.com/a%2F..%2Fsetup%20b.exe", "a%2F..%2Fsetup%20b.exe"},
    };
    for (const auto& c : cases) {
        const std::string path =
            utils::join_path(folder, utils::installer_name_from_url(c.url, kDefaultName));
        EXPECT_EQ(path, folder + "\\" + c.name) << c.url;
        test::write_file(path, "installer");
        EXPECT_EQ(test::read_file(dir_.path() / c.name), "installer") << c.url;
        fs::remove(dir_.path() / c.name);
    }
    // Nothing landed anywhere else in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1)
        << "only update.log expected";
}

// The move is made through the system-call table, on the image the system reports, with
// only the replace flag; its failure is logged with the system's error text.
TEST_F(PathsWin, RenameFailureIsLogged) {
    static std::string from, to;
    static DWORD flags;
    test::SystemCallOverride<decltype(&::MoveFileExW)> fail(
        &utils::SystemCalls::move_file_ex_w, [](LPCWSTR source, LPCWSTR target, DWORD how) -> BOOL {
            from = narrow(source);
            to = narrow(target);
            flags = how;
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
    const std::string target = (dir_.path() / "updater.old.exe").string();
    EXPECT_EQ(utils::try_change_current_image_name(target), -1);
    EXPECT_EQ(from, narrow(test::own_path()));
    EXPECT_EQ(to, target);
    EXPECT_EQ(flags, static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(log(), " WARN  utils::try_change_current_image_name(N): Failed to rename file: " +
                         test::error_text(ERROR_ACCESS_DENIED));
}

// A copy of this program, started from a scratch folder, backs itself up as the install
// phase does: its file moves to the ".old" name, replacing an earlier backup, and a copy
// comes back under the original name.
TEST_F(PathsWin, SelfRenameSequence) {
    const std::string program = test::read_file(test::own_path());
    ASSERT_FALSE(program.empty());
    for (const bool earlier_backup : {false, true}) {
        SCOPED_TRACE(earlier_backup ? "earlier backup present" : "no earlier backup");
        const fs::path folder = dir_.path() / (earlier_backup ? "second" : "first");
        fs::create_directory(folder);
        const fs::path own = folder / "upd-copy.exe";
        const fs::path backup = folder / "upd-copy.old.exe";
        fs::copy_file(test::own_path(), own);
        if (earlier_backup) test::write_file(backup, "earlier backup");

        EXPECT_EQ(test::run_process(test::quoted(own.wstring()) + L" --child=self_rename", 0,
                                    folder.wstring().c_str()),
                  0u);
        EXPECT_EQ(test::read_file(folder / "sequence.txt"),
                  own.string() + "\n" + backup.string() + "\n");
        EXPECT_EQ(test::read_file(backup), program);
        EXPECT_EQ(test::read_file(own), program);
        EXPECT_EQ(test::log_without_stamps(folder), "");
    }
}

// The image of another running process cannot be replaced: the move fails and says so.
TEST_F(PathsWin, RenameOntoRunningImageFails) {
    const fs::path mover = dir_.path() / "mover.exe";
    const fs::path busy = dir_.path() / "busy.exe";
    fs::copy_file(test::own_path(), mover);
    fs::copy_file(test::own_path(), busy);
    const std::string prefix = "UpdaterPathsTest-" + std::to_string(GetCurrentProcessId());
    ScopedKernelHandle started(CreateEventA(nullptr, TRUE, FALSE, (prefix + "-started").c_str()));
    ScopedKernelHandle quit(CreateEventA(nullptr, TRUE, FALSE, (prefix + "-quit").c_str()));

    const ScopedKernelHandle process =
        test::start_process(test::quoted(busy.wstring()) + L" --child=idle " +
                            widen(prefix + "-started") + L" " + widen(prefix + "-quit"));
    ASSERT_TRUE(process);
    const HANDLE waits[] = {started.get(), process.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0);

    EXPECT_EQ(test::run_process(test::quoted(mover.wstring()) + L" --child=rename_self_to " +
                                    test::quoted(busy.wstring()),
                                0, dir_.path().wstring().c_str()),
              3u);
    SetEvent(quit.get());
    EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);

    // Wine and Windows both refuse with "access denied".
    EXPECT_EQ(log(), " WARN  utils::try_change_current_image_name(N): Failed to rename file: " +
                         test::error_text(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(fs::exists(mover));
    EXPECT_EQ(test::read_file(busy), test::read_file(test::own_path()));
}

}  // namespace
