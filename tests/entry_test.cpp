// Runs updater.exe as a process, the way a client application starts it.
#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "test_support.h"
#include "utils/text.h"
#include "utils/win.h"
#include "version.h"
#include "win_process.h"

namespace {

std::wstring updater_path() { return test::sibling_path(L"updater.exe"); }

// Starts the updater with `arguments` in the working folder `folder`; its exit code.
DWORD run_updater(const std::wstring& arguments, const std::filesystem::path& folder) {
    return test::run_process(test::quoted(updater_path()) + arguments, 0, folder.wstring().c_str());
}

// The lines of `folder`'s log, then those of the elevated run's.
std::vector<std::string> log_lines(const std::filesystem::path& folder) {
    std::vector<std::string> lines;
    std::string text = test::update_logs(folder);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

const std::regex kBuildLine(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d WARN  main\(\d+\): Build v)" UPDATER_VERSION
    R"( at [A-Z][a-z]{2} [ 123]\d \d{4} \d\d:\d\d:\d\d\.)");

class Entry : public ::testing::Test {
protected:
    void SetUp() override { test::remove_once_let_go(test::elevated_log(), 20000); }

    test::ScopedWorkDir dir_;
};

TEST_F(Entry, NothingToDoLogsOnlyTheBuildLine) {
    for (const wchar_t* arguments : {L"", L" https://example.invalid/setup.exe"}) {
        std::filesystem::remove(dir_.path() / "update.log");
        EXPECT_EQ(run_updater(arguments, dir_.path()), 0u) << narrow(arguments);
        const auto lines = log_lines(dir_.path());
        ASSERT_EQ(lines.size(), 1u) << narrow(arguments);
        EXPECT_TRUE(std::regex_match(lines[0], kBuildLine)) << lines[0];
    }
}

TEST_F(Entry, TheLogIsAppendedToByEveryRun) {
    EXPECT_EQ(run_updater(L"", dir_.path()), 0u);
    EXPECT_EQ(run_updater(L"", dir_.path()), 0u);
    EXPECT_EQ(log_lines(dir_.path()).size(), 2u);
}

TEST_F(Entry, MarkerIsMatchedExactly) {
    // The install phase renames its own image: it runs from a copy in the test folder,
    // in a sub-folder as beside a client application (there is none here, so the phase
    // ends after running the missing installer). A download phase refuses the marker
    // as an address at once.
    const std::filesystem::path app = dir_.path() / "app";
    test::place_updater(app);
    const std::wstring updater = test::quoted((app / "upd" / "updater.exe").wstring());

    const std::string marker = test::kPhaseMarker;
    const std::string lower = test::lower(marker);
    const std::string shorter = marker.substr(0, marker.size() - 1);
    const std::string digest = " 0123456789abcdef0123456789ABCDEF";
    const std::string not_an_address = " is not an http or https URL.";
    struct Case {
        std::string arguments;
        std::string phase_line;  // empty: nothing to do
    } cases[] = {
        {" " + marker, "run_install_phase("},
        {" " + marker + " C:\\x.exe",
         "): No installer and digest were given: nothing is installed."},
        {" " + lower + digest, "): The address " + lower + not_an_address},
        {" \"" + marker + " \"" + digest, "): The address " + marker + " " + not_an_address},
        {" " + shorter + digest, "): The address " + shorter + not_an_address},
        {" " + lower, ""},
    };
    for (const Case& c : cases) {
        test::remove_update_logs(app);
        const bool download = c.phase_line.find("address") != std::string::npos;
        const DWORD code =
            test::run_process(updater + widen(c.arguments), 0, app.wstring().c_str(), 60000);
        // The install phase writes its log in the program-data folder, none in the working one.
        EXPECT_EQ(std::filesystem::exists(app / "update.log"), download || c.phase_line.empty())
            << c.arguments;
        const auto lines = log_lines(app);
        ASSERT_GE(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], kBuildLine)) << lines[0];
        if (c.phase_line.empty()) {
            EXPECT_EQ(code, 0u) << c.arguments;
            EXPECT_EQ(lines.size(), 1u) << c.arguments;
            continue;
        }
        EXPECT_EQ(code, 0xffffffffu) << c.arguments;
        // The install phase checks the installer's publisher first, and this unsigned
        // updater says that it has none.
        const size_t first =
            lines[1].find("trust::read_own_publisher(") == std::string::npos ? 1 : 2;
        ASSERT_GE(lines.size(), first + 1) << c.arguments;
        EXPECT_NE(lines[first].find(c.phase_line), std::string::npos) << lines[first];
        EXPECT_NE(lines[first].find(download ? " WARN  run_download_phase(" : "_install_phase("),
                  std::string::npos)
            << lines[first];
    }
}

TEST_F(Entry, ManifestAndVersion) {
    const std::wstring path = updater_path();
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(bytes, SizeofResource(image, found));
    FreeLibrary(image);
    EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
    EXPECT_NE(manifest.find(R"(uiAccess="false")"), std::string::npos);
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD{UPDATER_VERSION_MAJOR} << 16 | UPDATER_VERSION_MINOR);
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD{UPDATER_VERSION_PATCH} << 16);
}

}  // namespace
