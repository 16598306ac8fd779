// The stand-in client application's NSIS installers, run silently the way the install
// phase runs them ("/S /D=<folder>"): the files, the uninstall registration where the
// install-location lookup reads it, the stand-in's record of each start, the switches
// for failing installs, and the uninstaller. Real installers and registry under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"
#include "utils/install_location.h"
#include "utils/text.h"
#include "utils/win.h"
#include "win_process.h"

// After win.h, which it needs.
#include <shellapi.h>

namespace {

namespace fs = std::filesystem;

const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CorvaneApp";
// The same registration in the 64-bit view, where a 64-bit installer would write
// without SetRegView 32.
const wchar_t kUninstallKey64[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CorvaneApp";
const DWORD kInstallLimitMs = 120000;

fs::path built(const std::wstring& name) { return test::sibling_path((L"e2e\\" + name).c_str()); }

fs::path installer(int version) {
    return built(L"CorvaneApp-v" + std::to_wstring(version) + L"-setup.exe");
}

bool key_exists(const wchar_t* path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring read_string(const wchar_t* name) {
    wchar_t value[512] = {0};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kUninstallKey, name, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return L"<missing>";
    return value;
}

// A registration that was there before the test (another run in this prefix left it)
// is put back afterwards, value by value.
class SavedRegistration {
public:
    SavedRegistration() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return;
        present_ = true;
        for (DWORD index = 0;; ++index) {
            wchar_t name[256] = {0};
            DWORD name_size = 256;
            BYTE data[2048];
            DWORD data_size = sizeof data;
            DWORD type = 0;
            if (RegEnumValueW(key, index, name, &name_size, nullptr, &type, data, &data_size) !=
                ERROR_SUCCESS)
                break;
            values_.push_back({name, type, std::string(reinterpret_cast<char*>(data), data_size)});
        }
        RegCloseKey(key);
    }
    void restore() const {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        if (!present_) return;
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return;
        for (const Value& value : values_)
            RegSetValueExW(key, value.name.c_str(), 0, value.type,
                           reinterpret_cast<const BYTE*>(value.data.data()),
                           static_cast<DWORD>(value.data.size()));
        RegCloseKey(key);
    }

private:
    struct Value {
        std::wstring name;
        DWORD type;
        std::string data;
    };
    bool present_ = false;
    std::vector<Value> values_;
};

using StateBlock = std::map<std::string, std::string>;

// The blocks of CorvaneApp.state that are complete (ended by an empty line).
std::vector<StateBlock> read_state(const fs::path& file) {
    std::vector<StateBlock> blocks;
    const std::string text = test::read_file(file);
    size_t start = 0;
    for (size_t end; (end = text.find("\n\n", start)) != std::string::npos; start = end + 2) {
        StateBlock block;
        size_t line_start = start;
        while (line_start <= end) {
            size_t line_end = text.find('\n', line_start);
            const std::string line = text.substr(line_start, line_end - line_start);
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                block[line.substr(0, equals)] = line.substr(equals + 1);
            line_start = line_end + 1;
        }
        blocks.push_back(block);
    }
    return blocks;
}

struct Started {
    HWND window = nullptr;
    DWORD pid = 0;
};

BOOL CALLBACK find_stand_in_window(HWND window, LPARAM context) {
    Started* started = reinterpret_cast<Started*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t class_name[64] = {0};
    GetClassNameW(window, class_name, 64);
    if (pid != started->pid || std::wstring(class_name) != L"CorvaneAppStandIn") return TRUE;
    started->window = window;
    return FALSE;
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(installer(1))) << installer(1);
        ASSERT_TRUE(fs::exists(installer(2))) << installer(2);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        // A space in the folder: /D= takes the rest of the line, unquoted.
        folder_ = dir_.path() / "Corvane App";
    }
    void TearDown() override {
        for (HANDLE process : processes_) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
        saved_.restore();
    }

    DWORD install(int version, const std::wstring& switches = L"") {
        return test::run_process(test::quoted(installer(version).wstring()) + L" /S" + switches +
                                     L" /D=" + folder_.wstring(),
                                 0, nullptr, kInstallLimitMs);
    }

    // Starts the installed CorvaneApp.exe from another working folder; its process handle
    // is kept and the process ended at the end of the test.
    HANDLE start_app(DWORD* pid) {
        utils::ScopedKernelHandle process = test::start_process(
            test::quoted((folder_ / "CorvaneApp.exe").wstring()), dir_.path().wstring().c_str());
        if (!process) return nullptr;
        *pid = GetProcessId(process.get());
        processes_.push_back(process.release());
        return processes_.back();
    }

    // Waits (with a generous bound against hangs) until the state file holds `count`
    // complete blocks.
    std::vector<StateBlock> wait_for_state(size_t count) {
        std::vector<StateBlock> blocks;
        test::wait_until(
            [&] {
                blocks = read_state(folder_ / "CorvaneApp.state");
                return blocks.size() >= count;
            },
            30000, 50);
        return blocks;
    }

    void forget(HANDLE process) {
        for (auto it = processes_.begin(); it != processes_.end(); ++it) {
            if (*it != process) continue;
            CloseHandle(process);
            processes_.erase(it);
            return;
        }
    }

    SavedRegistration saved_;
    test::ScopedWorkDir dir_;
    fs::path folder_;
    std::vector<HANDLE> processes_;
};

TEST_F(Installer, SilentInstallRegistersTheFolderWhereTheLookupReadsIt) {
    ASSERT_EQ(install(1), 0u);

    EXPECT_EQ(test::read_file(folder_ / "CorvaneApp.exe"),
              test::read_file(built(L"v1\\CorvaneApp.exe")));
    EXPECT_EQ(test::read_file(folder_ / "CorvaneHelper.exe"),
              test::read_file(built(L"v1\\CorvaneApp.exe")));
    const std::string payload = test::read_file(folder_ / "payload.bin");
    EXPECT_GE(payload.size(), 10u << 20);
    EXPECT_TRUE(payload == test::read_file(built(L"payload-v1.bin")));
    EXPECT_TRUE(fs::exists(folder_ / "uninstall.exe"));
    // NSIS takes /D= off the parameters it hands to the script.
    EXPECT_EQ(test::read_text_file(folder_ / "CorvaneApp-setup.log"),
              "version=1\nparameters=/S\ninstdir=" + narrow(folder_.wstring()) +
                  "\nclient_window=0\nclient_saved=0\n\n");

    EXPECT_EQ(read_string(L"InstallLocation"), folder_.wstring());
    EXPECT_EQ(read_string(L"DisplayName"), L"CorvaneApp");
    EXPECT_EQ(read_string(L"DisplayVersion"), L"1.0.0");
    EXPECT_FALSE(key_exists(kUninstallKey64, KEY_WOW64_64KEY));
    EXPECT_EQ(find_install_location("CorvaneApp"), narrow(folder_.wstring()));

    // In place (_?=), so that the uninstaller is awaited rather than copied and left.
    const std::wstring uninstaller = (folder_ / "uninstall.exe").wstring();
    EXPECT_EQ(test::run_process(test::quoted(uninstaller) + L" /S _?=" + folder_.wstring(), 0,
                                nullptr, kInstallLimitMs),
              0u);
    EXPECT_FALSE(key_exists(kUninstallKey));
    EXPECT_FALSE(fs::exists(folder_ / "CorvaneApp.exe"));
    EXPECT_FALSE(fs::exists(folder_ / "payload.bin"));
    EXPECT_FALSE(fs::exists(folder_ / "CorvaneHelper.exe"));
    EXPECT_EQ(find_install_location("CorvaneApp"), "");
}

TEST_F(Installer, StandInRecordsEveryStartAndRunsUntilEnded) {
    ASSERT_EQ(install(1), 0u);
    const bool display = test::taskbar_ready();

    DWORD first_pid = 0;
    HANDLE first = start_app(&first_pid);
    ASSERT_NE(first, nullptr);
    std::vector<StateBlock> blocks = wait_for_state(1);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0]["version"], "1");
    EXPECT_EQ(blocks[0]["pid"], std::to_string(first_pid));
    EXPECT_EQ(blocks[0]["path"], narrow((folder_ / "CorvaneApp.exe").wstring()));
    EXPECT_TRUE(std::regex_match(blocks[0]["elevated"], std::regex("[01]")))
        << blocks[0]["elevated"];
    EXPECT_TRUE(std::regex_match(blocks[0]["elevation"], std::regex("default|full|limited")))
        << blocks[0]["elevation"];
    EXPECT_TRUE(std::regex_match(blocks[0]["time"],
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << blocks[0]["time"];
    EXPECT_EQ(WaitForSingleObject(first, 1000), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the stand-in ended on its own";

    if (display) {
        // Its window closes it, with exit code 0.
        Started started;
        started.pid = first_pid;
        for (int i = 0; i < 600 && started.window == nullptr; ++i) {
            EnumWindows(find_stand_in_window, reinterpret_cast<LPARAM>(&started));
            if (started.window == nullptr) Sleep(50);
        }
        ASSERT_NE(started.window, nullptr) << "no window with a display";
        PostMessageW(started.window, WM_CLOSE, 0, 0);
        ASSERT_EQ(WaitForSingleObject(first, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 1;
        GetExitCodeProcess(first, &code);
        EXPECT_EQ(code, 0u);
        forget(first);
    }

    DWORD second_pid = 0;
    ASSERT_NE(start_app(&second_pid), nullptr);
    blocks = wait_for_state(2);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0]["pid"], std::to_string(first_pid));
    EXPECT_EQ(blocks[1]["pid"], std::to_string(second_pid));
    EXPECT_EQ(blocks[1]["version"], "1");
}

// What the install phase meets: the old version must have ended before its installer
// can replace it. A running CorvaneApp.exe makes the installer fail with 3 and leave
// both the folder and the registration as they were.
TEST_F(Installer, UpgradeWaitsForTheRunningVersionToEnd) {
    ASSERT_EQ(install(1), 0u);
    DWORD pid = 0;
    HANDLE running = start_app(&pid);
    ASSERT_NE(running, nullptr);
    ASSERT_EQ(wait_for_state(1).size(), 1u);

    EXPECT_EQ(install(2), 3u);
    EXPECT_EQ(read_string(L"DisplayVersion"), L"1.0.0");
    EXPECT_EQ(test::read_file(folder_ / "CorvaneApp.exe"),
              test::read_file(built(L"v1\\CorvaneApp.exe")));
    EXPECT_TRUE(test::read_file(folder_ / "payload.bin") ==
                test::read_file(built(L"payload-v1.bin")));

    TerminateProcess(running, 1);
    WaitForSingleObject(running, 10000);
    forget(running);
    ASSERT_EQ(install(2), 0u);
    EXPECT_EQ(read_string(L"DisplayVersion"), L"2.0.0");
    EXPECT_EQ(read_string(L"InstallLocation"), folder_.wstring());
    EXPECT_TRUE(test::read_file(folder_ / "payload.bin") ==
                test::read_file(built(L"payload-v2.bin")));
    ASSERT_NE(start_app(&pid), nullptr);
    std::vector<StateBlock> blocks = wait_for_state(2);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1]["version"], "2");
}

// A failing installer for the tests: the exit code comes from /FAIL= or, since the
// updater passes nothing but "/S /D=", from the environment it hands down through
// ShellExecuteEx; nothing is installed either way.
TEST_F(Installer, FailSwitchExitsWithItsCodeAndInstallsNothing) {
    struct Case {
        const wchar_t* switches;
        const wchar_t* environment;  // CORVANE_SETUP_FAIL, or null
        DWORD code;
    };
    const Case cases[] = {
        {L" /FAIL=7", nullptr, 7},
        {L"", L"9", 9},
        {L" /FAIL=5", L"9", 5},
    };
    for (const Case& test : cases) {
        SetEnvironmentVariableW(L"CORVANE_SETUP_FAIL", test.environment);
        const std::wstring parameters =
            L"/S" + std::wstring(test.switches) + L" /D=" + folder_.wstring();
        const std::wstring file = installer(2).wstring();
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
        info.lpFile = file.c_str();
        info.lpParameters = parameters.c_str();
        info.nShow = SW_HIDE;
        ASSERT_TRUE(ShellExecuteExW(&info)) << narrow(parameters);
        ASSERT_NE(info.hProcess, nullptr);
        processes_.push_back(info.hProcess);
        ASSERT_EQ(WaitForSingleObject(info.hProcess, kInstallLimitMs),
                  static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        forget(info.hProcess);
        EXPECT_EQ(code, test.code) << narrow(parameters);
        EXPECT_FALSE(fs::exists(folder_)) << narrow(parameters);
        EXPECT_FALSE(key_exists(kUninstallKey)) << narrow(parameters);
    }
    SetEnvironmentVariableW(L"CORVANE_SETUP_FAIL", nullptr);
}

}  // namespace
