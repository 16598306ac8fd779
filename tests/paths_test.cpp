#include "utils/paths.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const std::string kUntouched = "untouched";

struct CutCase {
    std::string path;
    int result;
    std::string out;  // kUntouched: out must keep what it had
};

TEST(Paths, ParentPath) {
    const CutCase cases[] = {
        {"C:\\Tools\\upd\\updater.exe", 0, "C:\\Tools\\upd"},
        {"C:\\dir\\", 0, "C:\\dir"},
        {"C:\\", 0, "C:"},
        {"C:", -1, kUntouched},
        {"\\x", 0, ""},
        {"a/b", 0, "a"},
        {"a\\b/c", 0, "a\\b"},
        {"a/b\\c", 0, "a/b"},
        {"updater.exe", -1, kUntouched},
        {"", -1, kUntouched},
    };
    for (const CutCase& c : cases) {
        std::string out = kUntouched;
        EXPECT_EQ(utils::get_parent_path(c.path, out), c.result) << c.path;
        EXPECT_EQ(out, c.out) << c.path;
    }
}

TEST(Paths, ParentPathInPlace) {
    std::string path = "C:\\Tools\\upd\\updater.exe";
    ASSERT_EQ(utils::get_parent_path(path, path), 0);
    ASSERT_EQ(utils::get_parent_path(path, path), 0);
    EXPECT_EQ(path, "C:\\Tools");
    EXPECT_EQ(utils::get_parent_path(path, path), 0);
    EXPECT_EQ(path, "C:");
    EXPECT_EQ(utils::get_parent_path(path, path), -1);
    EXPECT_EQ(path, "C:");
}

TEST(Paths, BackupName) {
    const CutCase cases[] = {
        {"C:\\Tools\\upd\\updater.exe", 20, "C:\\Tools\\upd\\updater.old.exe"},
        {"a.b.exe", 3, "a.b.old.exe"},
        // The scan does not stop at the last element: a dot in a folder name is taken.
        {"C:\\Data.bak\\tool", 7, "C:\\Data.old.bak\\tool"},
        {".exe", 0, ".old.exe"},
        {"tool.", 4, "tool.old."},
        {"C:\\Tools\\tool", -1, kUntouched},
        {"", -1, kUntouched},
    };
    for (const CutCase& c : cases) {
        std::string out = kUntouched;
        EXPECT_EQ(utils::gen_backup_name(c.path, ".old", out), c.result) << c.path;
        EXPECT_EQ(out, c.out) << c.path;
    }
}

TEST(Paths, BackupNameInPlace) {
    std::string path = "C:\\upd\\updater.exe";
    EXPECT_EQ(utils::gen_backup_name(path, utils::kBackupSuffix, path), 14);
    EXPECT_EQ(path, "C:\\upd\\updater.old.exe");
}

TEST(Paths, InstallerNameFromUrl) {
    const std::string fallback = "corvane_auto_installer.exe";
    const std::pair<std::string, std::string> cases[] = {
        {"https://dl.example.com/releases/setup-1.2.exe", "setup-1.2.exe"},
        {"http://127.0.0.1:8080/setup.exe", "setup.exe"},
        {"https://dl.example.com/setup.exe?token=a/b&x=1", "setup.exe"},
        {"https://dl.example.com/setup.exe#part", "setup.exe"},
        {"https://dl.example.com/setup.exe#frag?x=1", "setup.exe"},
        {"https://dl.example.com/dir/?name=setup.exe", fallback},
        // The shell starts nothing without ".exe".
        {"https://dl.example.com/releases/latest/setup", "setup.exe"},
        {"https://dl.example.com/SETUP.EXE", "SETUP.EXE"},
        {"https://dl.example.com/setup.Exe?x=1", "setup.Exe"},
        {"https://dl.example.com/setup.msi", "setup.msi.exe"},
        {"https://dl.example.com/setup.exe.", "setup.exe..exe"},
        {"https://dl.example.com/releases/", fallback},
        {"https://dl.example.com", fallback},
        {"https://dl.example.com?file=/setup.exe", fallback},
        {"https://dl.example.com/a/..", fallback},
        {"https://dl.example.com/a/.", fallback},
        {"https://dl.example.com/setup.exe:stream", fallback},
        {"https://dl.example.com/dir\\setup.exe", fallback},
        {"https://dl.example.com/set\"up.exe", fallback},
        {"https://dl.example.com/set<up>.exe", fallback},
        {"https://dl.example.com/set|up.exe", fallback},
        {"https://dl.example.com/set*up.exe", fallback},
        {"https://dl.example.com/set\tup.exe", fallback},
        {"https://dl.example.com/set\x7fup.exe", fallback},
        {"https://dl.example.com/NUL.exe", fallback},
        {"https://dl.example.com/com1", fallback},
        {"https://dl.example.com/con%2Eexe", "con%2Eexe.exe"},
        {"https://dl.example.com/console.exe", "console.exe"},
        {"https://dl.example.com/com10.exe", "com10.exe"},
        {"https://dl.example.com/setup%20v2%3F.exe", "setup%20v2%3F.exe"},
        {"https://dl.example.com/%2e%2e", "%2e%2e.exe"},
        {"https://dl.example.com/..setup.exe", "..setup.exe"},
        {"https://dl.example.com/\xe5\x8d\x87\xe7\xba\xa7.exe", "\xe5\x8d\x87\xe7\xba\xa7.exe"},
        {"https://dl.example.com/" + std::string(251, 'n') + ".exe",
         std::string(251, 'n') + ".exe"},
        {"https://dl.example.com/" + std::string(252, 'n') + ".exe", fallback},
        {"https://dl.example.com/" + std::string(251, 'n'), std::string(251, 'n') + ".exe"},
        {"https://dl.example.com/" + std::string(252, 'n'), fallback},
        {"dl.example.com/setup.exe", "setup.exe"},
        {"file:///C:/dl/setup.exe", "setup.exe"},
        {test::kPhaseMarker, fallback},
        {"", fallback},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utils::installer_name_from_url(c.first, fallback), c.second) << c.first;
}

TEST(Paths, InstallFolderText) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Program Files (x86)\\CorvaneApp", "C:\\Program Files (x86)\\CorvaneApp"},
        {"C:\\Program Files (x86)\\CorvaneApp\\", "C:\\Program Files (x86)\\CorvaneApp"},
        {"\"C:\\Corvane App\\\"", "C:\\Corvane App"},
        {" \"C:\\Quoted\" \t", "C:\\Quoted"},
        {"D:/apps//", "D:/apps"},
        {"C:\\", "C:\\"},
        {"\"C:\\\\\"", "C:\\"},
        {"\\\\server\\share\\", "\\\\server\\share"},
        {"\"\"", ""},
        {"\"", "\""},
        {"  ", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(utils::install_folder_text(c.first), c.second) << c.first;
}

// The installer paths the elevated run opens at all: full paths from a drive letter.
TEST(Paths, LocalDrivePath) {
    const std::pair<std::string, bool> cases[] = {
        {"C:\\Users\\Zoë\\AppData\\Roaming\\CorvaneApp\\update\\setup.exe", true},
        {"c:/update/setup.exe", true},
        {"Z:\\a b\\1.exe", true},
        {"setup.exe", false},
        {"update\\setup.exe", false},
        {"C:setup.exe", false},
        {"\\setup.exe", false},
        {"\\\\server\\share\\setup.exe", false},
        {"//server/share/setup.exe", false},
        {"\\\\?\\C:\\update\\setup.exe", false},
        {"\\\\.\\PhysicalDrive0", false},
        {"\\\\.\\C:", false},
        {"C:\\update\\setup.exe:hidden", false},
        {"C:\\update\\setup.exe::$DATA", false},
        {"C:\\update\\..\\Windows\\setup.exe", false},
        {"C:\\update\\.\\setup.exe", false},
        {"C:\\update\\\\setup.exe", false},
        {"C:\\update\\", false},
        {"C:\\", false},
        {"1:\\setup.exe", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(utils::is_local_drive_path(c.first), c.second) << c.first;
}

}  // namespace
