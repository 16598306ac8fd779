// updater.exe as a process under Wine, fed command lines, addresses, digests and paths
// that cannot give an update: every run must end with 0 or -1 and a log line that says
// why, without a crash or a hang, and without writing anywhere but its own folders.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>
#include <vector>

#include "status_lines.h"
#include "utils/paths.h"
#include "utils/text.h"
#include "version.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using test::count_lines;
using test::lines_of;

const char* const kClientBytes = "client application v1";
const DWORD kFailed = 0xffffffffu;

const std::regex kBuildLine(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d WARN  main\(\d+\): Build v)" UPDATER_VERSION R"( at .*\.)");

// Every file below `folder` with its size, or the names in it alone when `deep` is false.
std::map<std::string, uintmax_t> listing(const fs::path& folder, bool deep) {
    std::map<std::string, uintmax_t> entries;
    std::error_code error;
    if (!fs::exists(folder, error)) return entries;
    auto add = [&](const fs::directory_entry& entry) {
        std::error_code ignored;
        const uintmax_t size = entry.is_regular_file(ignored) ? entry.file_size(ignored) : 0;
        entries[entry.path().lexically_relative(folder).string()] = size;
    };
    if (deep) {
        for (auto it = fs::recursive_directory_iterator(folder, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error))
            add(*it);
    } else {
        for (auto it = fs::directory_iterator(folder, error);
             !error && it != fs::directory_iterator(); it.increment(error))
            add(*it);
    }
    // The files test::run_process_output captures output in: under Wine one is sometimes
    // still open when it deletes it, and stays behind. They are this program's own.
    for (auto it = entries.begin(); it != entries.end();) {
        const std::string& name = it->first;
        const bool capture = name.size() > 7 && name.compare(0, 3, "out") == 0 &&
                             name.compare(name.size() - 4, 4, ".tmp") == 0;
        it = capture ? entries.erase(it) : std::next(it);
    }
    return entries;
}

// Quotes one argument so that the C runtime gives it back unchanged.
std::string quote_argument(const std::string& text) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// A command line in the ANSI code page, as the system hands it to the program.
std::wstring from_ansi(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int units =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(units, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], units);
    return out;
}

class BadInput : public test::UpdaterProcessTest {
protected:
    void SetUp() override {
        UpdaterProcessTest::SetUp();
        test::write_file(app_ / "CorvaneApp.exe", kClientBytes);
        updater_bytes_ = test::read_file(updater_);
        valid_md5_ = have_servers_ ? md5_ : std::string(32, 'a');
    }

    // Runs the updater with `arguments` (ANSI text, appended after one space) in the
    // client application's folder.
    DWORD run(const std::string& arguments, DWORD timeout_ms = 60000) {
        // An elevated run that an earlier run asked for may hold the log for a moment yet.
        test::remove_update_logs(app_);
        return run_in_app(updater_command() + L" " + from_ansi(arguments), timeout_ms);
    }

    // In the updater's place, the one whose waits are a hundredth of the product's and whose
    // failed elevated run ends at once, without keeping its window up for 5 s: what a run
    // leads to is the same whatever it waits.
    void use_quick_waits() {
        fs::remove(updater_);
        fs::copy_file(test::sibling_path(L"updater-quick-waits.exe"), updater_);
        updater_bytes_ = test::read_file(updater_);
    }

    // The places a run must not write to: the folder around the test folder (the system's
    // temporary folder), the system drive's root and program-data folder, and the folder
    // above the update folder.
    using Snapshot = std::vector<std::map<std::string, uintmax_t>>;
    // The elevated run's own log folder, C:\ProgramData\Corvane, is left out: whether an
    // earlier test removed it depends on the order the tests run in.
    Snapshot outside() const {
        std::string vendor;
        utils::get_parent_path(update_folder_, vendor);
        std::map<std::string, uintmax_t> program_data = listing("C:\\ProgramData", false);
        program_data.erase("Corvane");
        return {listing(dir_.path().parent_path(), false), listing("C:\\", false), program_data,
                listing(vendor, false)};
    }

    // The previous installation: the client application and the updater, unchanged.
    void expect_installation_kept(const std::string& input) {
        EXPECT_EQ(test::read_file(app_ / "CorvaneApp.exe"), kClientBytes) << input;
        EXPECT_TRUE(test::read_file(updater_) == updater_bytes_) << input;
    }

    // The log of the last run: the build line first, then `line` somewhere.
    void expect_log(const std::string& line, const std::string& input) {
        const auto lines = lines_of(log());
        ASSERT_FALSE(lines.empty()) << input;
        EXPECT_TRUE(std::regex_match(lines[0], kBuildLine)) << lines[0];
        EXPECT_NE(log().find(line), std::string::npos) << input << "\n" << log();
    }

    std::string updater_bytes_;
    std::string valid_md5_;
};

// One random argument: empty, printable, quotes and backslashes, bytes of the upper half
// of the code page, long runs, near-digests, near-addresses, the marker with spaces.
std::string random_argument(std::mt19937& random) {
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto bytes = [&](size_t length, int low, int high) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>(low + pick(high - low + 1));
        return text;
    };
    switch (pick(9)) {
        case 0:
            return "";
        case 1:
            return bytes(1 + pick(40), 0x20, 0x7e);
        case 2:
            return bytes(1 + pick(6000), 0x20, 0x7e);
        case 3:
            return bytes(1 + pick(300), 0x80, 0xff);
        case 4:
            return bytes(1 + pick(4000), 0x01, 0xff);
        case 5:
            return bytes(31 + 2 * pick(2), '0', '9');  // 31 or 33 digits
        case 6:
            return "http://" + bytes(pick(80), 0x21, 0x7e);
        case 7:
            return std::string(test::kPhaseMarker) + std::string(1 + pick(3), ' ');
        default:
            return bytes(1 + pick(30), 0x20, 0x7e) + "\"\\" + bytes(pick(30), 0x20, 0x7e);
    }
}

TEST_F(BadInput, RandomCommandLinesEndWithARefusalOrNothingToDo) {
    std::mt19937 random(20261208u);
    const Snapshot before = outside();
    int refused = 0;
    for (int run_number = 0; run_number < 300; ++run_number) {
        // The first argument is always quoted, so that it is exactly what was generated
        // and never the marker; the later ones are sometimes left raw, stray quotes and all.
        std::string arguments;
        const int count = static_cast<int>(random() % 5);
        std::string first;
        for (int i = 0; i < count; ++i) {
            std::string argument = random_argument(random);
            if (i == 0) {
                first = argument;
                arguments += quote_argument(argument);
            } else {
                arguments += " " + (random() % 3 == 0 ? argument : quote_argument(argument));
            }
        }
        ASSERT_NE(first, test::kPhaseMarker);
        const std::string input = "run " + std::to_string(run_number);
        const DWORD code = run(arguments, 30000);
        ASSERT_TRUE(code == 0 || code == kFailed) << input << " ended with " << std::hex << code;
        const auto lines = lines_of(log());
        ASSERT_FALSE(lines.empty()) << input;
        EXPECT_TRUE(std::regex_match(lines[0], kBuildLine)) << input << ": " << lines[0];
        if (code == 0) {
            EXPECT_EQ(lines.size(), 1u) << input << "\n" << log();
            continue;
        }
        ++refused;
        ASSERT_GE(lines.size(), 2u) << input;
        EXPECT_NE(lines[1].find(" WARN  run_download_phase("), std::string::npos) << lines[1];
        EXPECT_TRUE(log().find(" is not an MD5 digest.\n") != std::string::npos ||
                    log().find(" is not an http or https URL.") != std::string::npos)
            << input << "\n"
            << log();
        EXPECT_FALSE(fs::exists(update_folder_)) << input;
    }
    EXPECT_GT(refused, 50);
    EXPECT_EQ(outside(), before);
    expect_installation_kept("random command lines");
}

TEST_F(BadInput, DigestsThatAreNotMd5AreRefusedBeforeAnythingIsMade) {
    const std::string url = "http://127.0.0.1:1/setup.exe";
    const std::string sha256(64, 'a');
    const std::string cases[] = {
        "",
        valid_md5_.substr(1),
        valid_md5_ + "f",
        valid_md5_.substr(0, 31) + "x",
        valid_md5_.substr(0, 16) + "-" + valid_md5_.substr(17),
        valid_md5_.substr(0, 31) + "\xe9",
        " " + valid_md5_,
        sha256,
        std::string(5000, 'f'),
    };
    const Snapshot before = outside();
    for (const std::string& digest : cases) {
        EXPECT_EQ(run(url + " " + quote_argument(digest)), kFailed) << digest;
        // Logged in the program's UTF-8, whatever code page the command line came in.
        expect_log("): The expected digest " + narrow(from_ansi(digest)) + " is not an MD5 digest.",
                   digest);
        EXPECT_EQ(out_, "1, Failed to download file with correct hash(md5/sha1).;");
        EXPECT_FALSE(fs::exists(update_folder_)) << digest;
    }
    EXPECT_EQ(outside(), before);
    expect_installation_kept("digests");
}

TEST_F(BadInput, AddressesEndWithARefusalOrSixFailedAttempts) {
    TEST_REQUIRES(have_servers_, "the http_servers fixture");
    const std::string small = servers_.url("http", "/small.bin");
    const std::string with_user = "http://user:secret@" + small.substr(7);
    struct Case {
        std::string url;
        DWORD code;
        std::string line;
    } cases[] = {
        {"file:///C:/windows/win.ini", kFailed, " is not an http or https URL."},
        {"FTP://127.0.0.1/setup.exe", kFailed, " is not an http or https URL."},
        {"gopher://127.0.0.1:70/setup.exe", kFailed, " is not an http or https URL."},
        {"http:/127.0.0.1/setup.exe", kFailed, " is not an http or https URL."},
        {"javascript:alert(1)", kFailed, " is not an http or https URL."},
        // Credentials go to the server, which ignores them: the file is accepted.
        {with_user, 0, "): file hash:" + update_folder_ + "\\small.bin.exe "},
        // Each of these reaches the transfer and fails six times, waits included.
        {"http://no-such-host.invalid/setup.exe", kFailed,
         "): Failed to download file with correct hash(md5/sha1)."},
        {"http://[::1]:1/setup.exe", kFailed,
         "): Failed to download file with correct hash(md5/sha1)."},
        {"http://127.0.0.1:70000/setup.exe", kFailed,
         "): Failed to download file with correct hash(md5/sha1)."},
        {small + "?q=" + std::string(8192, 'q'), kFailed,
         "): Failed to download file with correct hash(md5/sha1)."},
    };
    const Snapshot before = outside();
    // Four minutes saved on the six attempts' waits.
    use_quick_waits();
    for (const Case& c : cases) {
        const std::string input = c.url.substr(0, 80);
        EXPECT_EQ(run(quote_argument(c.url) + " " + valid_md5_, 150000), c.code) << input;
        expect_log(c.line, input);
        if (c.line.find("correct hash") != std::string::npos) {
            EXPECT_EQ(count_lines(log(), "): Failed to download " + update_folder_), 6u)
                << input << "\n"
                << log().substr(0, 2000);
        }
        if (c.code == 0) {
            // The elevated run this asked for ends without a client application to start.
            test::wait_until(
                [this] {
                    return count_lines(log(), "): The file ") != 0 ||
                           count_lines(log(), "hubra executable") != 0;
                },
                60000);
            // A failed elevated run keeps its window up for a while.
            EXPECT_TRUE(test::wait_for_processes_in(app_ / "upd", 60000)) << input;
        }
        // The folder above the update folder may be made; nothing beside it but the record
        // of the last update.
        std::map<std::string, uintmax_t> left = listing(update_folder_, true);
        left.erase("last-update.json");
        EXPECT_LE(left.size(), 1u) << input;
        fs::remove_all(update_folder_);
    }
    const Snapshot after = outside();
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[1]);
    EXPECT_EQ(after[2], before[2]);
}

TEST_F(BadInput, InstallerArgumentsThatAreNoInstaller) {
    // A folder, a missing file, a file outside the update folder on another drive letter
    // (Wine's Z:, the Linux root), a name far beyond any path length, a share, a device, a
    // stream and a bare name, with and without the digest.
    const fs::path folder = update_folder_ + "\\a folder.exe";
    fs::create_directories(folder);
    const fs::path other_drive =
        "Z:\\tmp\\updater-bad-input-" + std::to_string(GetCurrentProcessId());
    fs::create_directories(other_drive);
    const fs::path foreign = other_drive / "setup.exe";
    test::write_file(foreign, "not a program");
    const std::string foreign_md5 = test::md5_of(foreign);
    ASSERT_EQ(foreign_md5.size(), 32u);
    const std::string missing = update_folder_ + "\\missing.exe";
    const std::string huge(5000, 'i');
    // A document, which the shell would open hidden in its program and never return. It
    // holds CorvaneApp's version resource, so that it gets as far as being started.
    const std::string document = update_folder_ + "\\readme.txt";
    fs::copy_file(test::sibling_path(L"versioned_head.dll"), document,
                  fs::copy_options::overwrite_existing);
    const std::string not_local = " is not a file on a local disk: nothing is installed.\n";
    const std::string outside_the_update_folder = "): The installer " + foreign.string() +
                                                  " is not in the update folder " + update_folder_ +
                                                  ": it is not copied.\n";

    struct Case {
        std::string installer;
        std::string digest;  // empty: no third argument
        std::string line;
    } cases[] = {
        {folder.string(), valid_md5_, "): Failed to open the installer " + folder.string() + ": "},
        {missing, valid_md5_, "): Failed to open the installer " + missing},
        // Outside the user's update folder nothing is copied, whatever its digest.
        {foreign.string(), valid_md5_, outside_the_update_folder},
        {foreign.string(), foreign_md5, outside_the_update_folder},
        // The command line may not carry all of it.
        {huge, valid_md5_, "): The installer path iiii"},
        {huge, valid_md5_, "iiii" + not_local},
        // Nothing but a file on a disk of this machine is opened, by its full path.
        {"\\\\127.0.0.1\\share\\setup.exe", valid_md5_,
         "): The installer path \\\\127.0.0.1\\share\\setup.exe" + not_local},
        {"\\\\.\\C:", valid_md5_, "): The installer path \\\\.\\C:" + not_local},
        {missing + ":stream", valid_md5_,
         "): The installer path " + missing + ":stream" + not_local},
        {"setup.exe", valid_md5_, "): The installer path setup.exe" + not_local},
        // A line break in an argument starts no line of its own in the log.
        {update_folder_ + "\\a\r\n2026-12-09 10:00:00 INFO  main(1): forged.exe", valid_md5_,
         update_folder_ + "\\a\\x0D\\x0A2026-12-09 10:00:00 INFO  main(1): forged.exe"},
        // Without a digest nothing runs.
        {foreign.string(), "", "): No installer and digest were given: nothing is installed."},
        // A document checks out, but is no program to run.
        {document, test::md5_of(document), "\\readme.txt /S /D="},
    };
    // A minute saved on the refused runs' windows.
    use_quick_waits();
    const Snapshot before = outside();
    for (const Case& c : cases) {
        const std::string input = c.installer.substr(0, 80) + " " + c.digest;
        std::string arguments = std::string(test::kPhaseMarker) + " " + quote_argument(c.installer);
        if (!c.digest.empty()) arguments += " " + c.digest;
        EXPECT_EQ(run(arguments), kFailed) << input;
        expect_log(c.line, input);
        expect_installation_kept(input);
        EXPECT_TRUE(fs::is_directory(folder)) << input;
        EXPECT_EQ(test::read_file(foreign), "not a program") << input;
    }
    fs::remove_all(other_drive);
    EXPECT_EQ(outside(), before);
}

// The update folder under an application-data folder that the user's profile points
// elsewhere: 250 characters of path in all, and a name with Chinese that the ANSI code
// page (1252) lacks and a letter of it outside ASCII. Paths here are UTF-8.
TEST_F(BadInput, UpdateFoldersWithLongAndNonAsciiPaths) {
    const test::FailureWindowCloser closer;
    TEST_REQUIRES(have_servers_, "the http_servers fixture");
    ASSERT_EQ(GetACP(), 1252u) << "the non-ASCII case needs a code page without Chinese";
    const std::string suffix = utils::kUpdateFolderSuffix;
    const std::string base = (dir_.path() / "appdata-").string();
    const std::string long_folder = base + std::string(250 - suffix.size() - base.size(), 'l');
    const std::string foreign = narrow((dir_.path() / L"\u5b89\u88c5 Zo\u00eb").wstring());
    struct Case {
        std::string app_data;
        std::string url_path;
        DWORD code;
        std::string line;  // %s: the update folder
    } cases[] = {
        // The installer's name does not fit behind the 250 characters: refused at once.
        {long_folder, "/small.bin", kFailed, "): The installer path in %s is too long."},
        // A name of one character, "1.exe", fits (a redirect to the file): the update runs.
        {long_folder, "/r/1", 0, "): Checked copy of the installer %s\\1.exe at "},
        {foreign, "/small.bin", 0, "): Checked copy of the installer %s\\small.bin.exe at "},
    };
    const Snapshot before = outside();
    for (const Case& c : cases) {
        test::ScopedAppData redirect(widen(c.app_data));
        std::string update_folder;
        ASSERT_EQ(utils::get_app_data_path(suffix, update_folder), 0);
        ASSERT_EQ(update_folder, c.app_data + suffix) << "the profile was not redirected";
        std::string line = c.line;
        line.replace(line.find("%s"), 2, update_folder);
        EXPECT_EQ(run(servers_.url("http", c.url_path) + " " + valid_md5_), c.code) << line;
        if (c.code == 0) {
            // The elevated run ends without a client application that it can start, and
            // keeps its window up for a while after that.
            wait_for_lines("hubra executable", 1, 60000);
            EXPECT_TRUE(test::wait_for_processes_in(app_ / "upd", 60000)) << line;
        }
        expect_log(line, line);
        expect_installation_kept(line);
        fs::remove_all(fs::u8path(c.app_data));
    }
    EXPECT_EQ(outside(), before);
}

}  // namespace
