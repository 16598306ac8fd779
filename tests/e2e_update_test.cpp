// Whole updates as a client application's vendor sets them up: CorvaneApp v1 installed by
// its real installer, the updater in a sub-folder of the install folder, v1 running, the
// v2 installer served by the test servers, and upgrade-watch starting the updater as the
// client application would. Real Wine, nginx, NSIS and registry; needs Xvfb.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "brand.h"
#include "integrity/file_digest.h"
#include "outcome/last_update_file.h"
#include "service/service.h"
#include "test_servers.h"
#include "test_support.h"
#include "ui/window_texts.h"
#include "utils/install_location.h"
#include "utils/paths.h"
#include "utils/text.h"
#include "win_process.h"

// After win.h (through win_process.h), which they need.
#include <tlhelp32.h>
#include <wincrypt.h>

namespace {

namespace fs = std::filesystem;

using test::kUninstallKey;
const wchar_t* const kPolicyKey = BRAND_POLICY_KEY_W;
// The stand-in client application, named as the brand names the application.
const wchar_t* const kAppExe = BRAND_APPLICATION_EXE_W;
const char* const kSetupName = "CorvaneApp-v2-setup.exe";

// The progress window's texts the updater must show: the brand's own, or those of
// UPDATER_TEST_LANGUAGE when a run gives the updater another UI language (CMakeLists.txt).
const WindowTexts& expected_texts() {
    static const WindowTexts tables[] = {BRAND_WINDOW_TEXTS};
    const char* const language = std::getenv("UPDATER_TEST_LANGUAGE");
    if (language == nullptr) return tables[0];
    for (const WindowTexts& texts : tables) {
        if (narrow(texts.language) == language) return texts;
    }
    ADD_FAILURE() << "The brand has no texts in " << language;
    return tables[0];
}

// The subjects the brand lists, as a refusal names them after the updater's own publisher.
std::string brand_listed() {
    const char* const listed[] = {BRAND_LISTED_PUBLISHERS nullptr};
    std::string text;
    for (const char* const* subject = listed; *subject != nullptr; ++subject)
        text += std::string(" or \"") + *subject + "\"";
    return text;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The lines of a list, empty ones left out.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The marks of planted files that were loaded or run: "<file> loaded by <program>" each.
std::string fired_marks(const std::vector<fs::path>& folders) {
    std::string marks;
    for (const fs::path& folder : folders) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".fired") continue;
            const std::string host = test::read_file(entry.path());
            marks += entry.path().string() + " loaded by " +
                     narrow(std::wstring(reinterpret_cast<const wchar_t*>(host.data()),
                                         host.size() / sizeof(wchar_t))) +
                     "\n";
        }
    }
    return marks;
}

// Versions of the stand-in's starts, in order, from its state file.
std::vector<std::string> started_versions(const fs::path& app) {
    std::vector<std::string> versions;
    const std::string state = test::read_file(app / fs::path(kAppExe).replace_extension(".state"));
    for (size_t at = state.find("version="); at != std::string::npos;
         at = state.find("version=", at + 1))
        versions.push_back(state.substr(at + 8, state.find('\n', at) - at - 8));
    return versions;
}

// The CA certificate in `pem` (a PEM file beside the test programs) among the current
// user's root certificates while this lives, as a user can add one to their own store
// (Windows asks them first, Wine does not; Wine keeps it in the user's registry, where the
// user's chain engine finds it and the machine's does not). Removed at the end.
class UserRoot {
public:
    explicit UserRoot(const wchar_t* pem) {
        const std::string text = test::read_file(test::sibling_path(pem));
        DWORD size = 0;
        if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
            return;
        der_.resize(size);
        CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()),
                             CRYPT_STRING_BASE64HEADER, der_.data(), &size, nullptr, nullptr);
        // The store writes its changes to the registry, where other processes see them,
        // when it is closed.
        HCERTSTORE store = open();
        if (store == nullptr) return;
        added_ = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der_.data(), size,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        CertCloseStore(store, 0);
    }
    ~UserRoot() {
        HCERTSTORE store = added_ ? open() : nullptr;
        if (store == nullptr) return;
        PCCERT_CONTEXT ours = CertCreateCertificateContext(X509_ASN_ENCODING, der_.data(),
                                                           static_cast<DWORD>(der_.size()));
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, ours, nullptr);
        if (found != nullptr) CertDeleteCertificateFromStore(found);  // frees it as well
        CertFreeCertificateContext(ours);
        CertCloseStore(store, 0);
    }
    UserRoot(const UserRoot&) = delete;
    UserRoot& operator=(const UserRoot&) = delete;

    bool added() const { return added_; }

private:
    static HCERTSTORE open() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                             L"Root");
    }

    std::vector<BYTE> der_;
    bool added_ = false;
};

class WholeUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_REQUIRES(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0, "a display (Xvfb)");
        TEST_REQUIRES(servers_.load(), "the http_servers fixture");
        serve(L"e2e\\CorvaneApp-v2-setup.exe");
        // The user's profile under a name that the ANSI code page (1252 here) cannot hold,
        // as a Chinese user name on a Windows set to English: every whole update passes its
        // installer's path from the first run to the elevated one through it.
        app_data_ = std::make_unique<test::ScopedAppData>(
            (dir_.path() / L"\u7528\u6237 \u5b89\u88c5 Zo\u00eb").wstring());
        ASSERT_EQ(utils::get_app_data_path(utils::kUpdateFolderSuffix, update_folder_), 0);
        ASSERT_NE(update_folder_.find("\xe5\xae\x89\xe8\xa3\x85 Zo\xc3\xab"), std::string::npos)
            << "the profile was not redirected";
        downloaded_ = fs::u8path(update_folder_) / kSetupName;
        fs::remove_all(downloaded_.parent_path());

        // v1, installed by its own installer, with the updater beside it.
        app_ = install_folder();
        ASSERT_EQ(
            test::run_process(test::quoted(test::sibling_path(L"e2e\\CorvaneApp-v1-setup.exe")) +
                                  L" /S /D=" + app_.wstring(),
                              0, nullptr, 120000),
            0u);
        ASSERT_TRUE(fs::exists(app_ / kAppExe));
        test::place_updater(app_);
        test::remove_once_let_go(test::elevated_log(), 20000);
        start_v1();
    }

    void TearDown() override {
        if (v1_ != nullptr) {
            TerminateProcess(v1_, 0);
            CloseHandle(v1_);
        }
        // Whatever runs from the folder now goes too, so that the folder can be removed;
        // after the elevated run, which nobody waits for and which may still start one.
        test::wait_for_processes_in(app_ / "upd", 60000);
        EXPECT_TRUE(test::end_processes_in(app_));
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyKey);
        std::error_code ignored;
        fs::remove_all(downloaded_.parent_path(), ignored);
        fs::remove(servers_.file(kSetupName), ignored);
        fs::remove(servers_.file("feed.p7m"), ignored);
    }

    // Where v1 is installed.
    virtual fs::path install_folder() { return dir_.path() / "app"; }

    // Offers `installer` (beside the test programs) as the one to fetch; md5_ is its digest.
    // (Removed first: the C++ runtime's overwrite_existing takes any two files on Windows
    // for the same file.)
    void serve(const wchar_t* installer) {
        fs::remove(servers_.file(kSetupName));
        fs::copy_file(test::sibling_path(installer), servers_.file(kSetupName));
        md5_ = test::md5_of(servers_.file(kSetupName));
    }

    // The updater and the installers signed by our test publisher, made by the servers'
    // fixture (fixtures/code_signers.py); `updater` (beside the test programs) in place of
    // the build's.
    void use_updater(const wchar_t* updater = L"signing\\updater.exe") {
        fs::remove(app_ / "upd" / "updater.exe");
        fs::copy_file(test::sibling_path(updater), app_ / "upd" / "updater.exe");
    }
    // Whether scripts/with-wine made the signers' CA a machine root for this run.
    static bool test_ca_trusted() { return std::getenv("UPDATER_TEST_ROOT_CA") != nullptr; }

    // `installer`, served, is accepted by both runs and installs v2 over v1; the log of that
    // update is returned.
    std::string expect_installed(const std::string& name, const wchar_t* installer) {
        serve(installer);
        test::remove_update_logs(app_);
        EXPECT_EQ(watch(servers_.url("https", std::string("/") + kSetupName), md5_), 0u)
            << name << "\n"
            << watch_output_;
        EXPECT_TRUE(
            wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000))
            << log();
        EXPECT_TRUE(install_phase_ended()) << log();
        const std::string text = log();
        EXPECT_EQ(count_of(text, " is signed by the publisher.\n"), 2u) << name << "\n" << text;
        EXPECT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 30000));
        EXPECT_EQ(started_versions(app_), (std::vector<std::string>{"1", "2"})) << name;
        return text;
    }

    // `installer` is refused, with the WARN line "The installer <path> <cause>", by the
    // first run before it asks for elevation, and by an elevated run started directly with
    // the installer and its digest, on its checked copy, before anything changes.
    void expect_refused(const std::string& name, const wchar_t* installer,
                        const std::string& cause) {
        const std::string downloaded = update_folder_ + "\\" + kSetupName;  // as logged
        const std::map<fs::path, std::string> app_before = app_files();
        const std::set<fs::path> copies_before = test::copy_folders();
        serve(installer);
        test::remove_update_logs(app_);
        const DWORD first = watch(servers_.url("https", std::string("/") + kSetupName), md5_);
        EXPECT_EQ(first, 0xffffffffu) << name << "\n" << watch_output_;
        // An installer accepted by mistake: its elevated run ends before the next step.
        if (first == 0) install_phase_ended();
        EXPECT_NE(watch_output_.find("notice: Failed to verify the installer's publisher."),
                  std::string::npos)
            << name << "\n"
            << watch_output_;
        std::string text = log();
        // The build line, and one line that names the cause.
        EXPECT_EQ(count_of(text, " WARN  "), 2u) << name << "\n" << text;
        EXPECT_EQ(count_of(text, " WARN  run_download_phase("), 1u) << name << "\n" << text;
        EXPECT_EQ(count_of(text, "): The installer " + downloaded + " " + cause), 1u)
            << name << "\n"
            << text;
        // No elevation was asked for: nothing but the first run wrote to the log.
        EXPECT_EQ(count_of(text, "): Build "), 1u) << name << "\n" << text;
        EXPECT_FALSE(fs::exists(downloaded_)) << name;

        test::remove_update_logs(app_);
        fs::remove(downloaded_);
        fs::copy_file(test::sibling_path(installer), downloaded_);
        std::string out;
        EXPECT_EQ(test::run_process_output(test::quoted((app_ / "upd" / "updater.exe").wstring()) +
                                               test::install_phase_arguments(downloaded, md5_),
                                           app_.wstring().c_str(), out, 60000),
                  0xffffffffu)
            << name;
        text = log();
        EXPECT_EQ(count_of(text, " WARN  run_install_phase("), 2u) << name << "\n" << text;
        EXPECT_EQ(
            count_of(text, "): The installer C:\\ProgramData\\" BRAND_PROTECTED_FOLDER_PREFIX), 1u)
            << name << "\n"
            << text;
        EXPECT_EQ(count_of(text, "\\" + std::string(kSetupName) + " " + cause), 1u) << name << "\n"
                                                                                    << text;
        EXPECT_EQ(text.find("process image name"), std::string::npos) << name << "\n" << text;
        EXPECT_TRUE(v1_running()) << name;
        EXPECT_EQ(test::copy_folders(), copies_before) << name;
        EXPECT_EQ(app_files(), app_before) << name;
        fs::remove(downloaded_);
    }

    void start_v1() {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        std::wstring command = test::quoted((app_ / kAppExe).wstring());
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   app_.wstring().c_str(), &startup, &process));
        CloseHandle(process.hThread);
        v1_ = process.hProcess;
        ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 1; }, 20000));
    }

    // upgrade-watch -- updater.exe URL MD5, from the install folder as the client would.
    DWORD watch(const std::string& url, const std::string& digest) {
        return watch_updater(widen(url) + L" " + widen(digest));
    }
    // upgrade-watch -- updater.exe <arguments>, its output in watch_output_. Wine now and
    // then fails to start a process (error 1359, the new process gone during its start):
    // the updater never ran then, and is started again, as run_process_output does.
    DWORD watch_updater(const std::wstring& arguments) {
        DWORD code = 0;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            code = test::run_process_output(
                test::quoted(test::sibling_path(L"upgrade-watch.exe")) + L" -- " +
                    test::quoted((app_ / "upd" / "updater.exe").wstring()) + L" " + arguments,
                app_.wstring().c_str(), watch_output_, 180000);
            if (watch_output_.find("upgrade-watch: cannot start ") == std::string::npos) break;
            std::fprintf(stderr, "attempt %d: %s", attempt, watch_output_.c_str());
        }
        return code;
    }

    // Serves the release feed signing\feeds\<file> as /feed.p7m.
    void serve_feed(const wchar_t* file) {
        fs::remove(servers_.file("feed.p7m"));
        fs::copy_file(test::sibling_path((std::wstring(L"signing\\feeds\\") + file).c_str()),
                      servers_.file("feed.p7m"));
    }
    std::wstring feed_url() { return widen(servers_.url("https", "/feed.p7m")); }
    // upgrade-watch -- updater.exe VERB <feed>, as a client application would.
    DWORD watch_feed(const wchar_t* verb) { return watch_updater(verb + (L" " + feed_url())); }
    // updater.exe VERB <feed> by itself; its output in `out`.
    DWORD check_feed(const wchar_t* verb, std::string& out) {
        return test::run_process_output(test::quoted((app_ / "upd" / "updater.exe").wstring()) +
                                            L" " + verb + L" " + feed_url(),
                                        app_.wstring().c_str(), out, 120000);
    }

    template <typename Condition>
    static bool wait_for(Condition condition, int timeout_ms) {
        for (int waited = 0; waited < timeout_ms; waited += 100) {
            if (condition()) return true;
            Sleep(100);
        }
        return condition();
    }

    // The elevated run is started by the first one and waited for by nobody: its end is
    // the end of every updater process.
    bool install_phase_ended(int timeout_ms = 120000) {
        return wait_for([] { return !process_running(L"updater.exe"); }, timeout_ms);
    }

    static bool process_running(const wchar_t* image) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return true;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        bool found = false;
        for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
             more = Process32NextW(snapshot, &entry))
            found = lstrcmpiW(entry.szExeFile, image) == 0;
        CloseHandle(snapshot);
        return found;
    }

    bool v1_running() { return v1_ != nullptr && WaitForSingleObject(v1_, 0) == WAIT_TIMEOUT; }
    // Asked by the updater, v1 closes its window and ends with 0 (ended by force, it would
    // end with the updater's -1); dying because its image was overwritten (Wine allows that,
    // Windows does not) gives another code.
    DWORD v1_exit_code() {
        DWORD code = 0;
        GetExitCodeProcess(v1_, &code);
        return code;
    }
    std::string log() { return test::update_logs(app_); }

    // The record of the last update in the update folder; its result is empty when there
    // is none.
    outcome::LastUpdate last_update() {
        outcome::LastUpdate record;
        outcome::read_last_update(widen(update_folder_), record);
        return record;
    }
    // upgrade-watch --last: its exit code, its output in `out`.
    DWORD watch_last(std::string& out) {
        return test::run_process_output(
            test::quoted(test::sibling_path(L"upgrade-watch.exe")) + L" --last",
            app_.wstring().c_str(), out, 60000);
    }
    // The requests for the installer that reached nginx so far.
    size_t installer_requests() {
        return count_of(test::read_file(servers_.fixture_file("nginx-access.log")),
                        std::string("/") + kSetupName + " HTTP/");
    }
    // The status text of the updater's progress window; empty when there is no window.
    static std::wstring window_status() {
        return test::progress_window_status(expected_texts().title);
    }

    // Every file of the install folder but the log, with its size and contents' digest.
    std::map<fs::path, std::string> app_files() {
        std::map<fs::path, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(app_)) {
            if (entry.is_regular_file() && entry.path().filename() != "update.log")
                files[entry.path()] = test::md5_of(entry.path());
        }
        return files;
    }

    test::ScopedWorkDir dir_;
    test::Servers servers_;
    fs::path app_;
    std::unique_ptr<test::ScopedAppData> app_data_;
    std::string update_folder_;  // the program's text: UTF-8
    fs::path downloaded_;        // the installer in it
    std::string md5_;
    std::string watch_output_;
    HANDLE v1_ = nullptr;
};

TEST_F(WholeUpdate, ReplacesV1WithV2) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    // Updater and installer from the same publisher, under a CA the machine trusts.
    use_updater();
    serve(L"signing\\setup-publisher.exe");
    EXPECT_EQ(watch(servers_.url("https", std::string("/") + kSetupName), md5_), 0u)
        << watch_output_;
    // Give the elevated run time to start and take the lock, then wait for its end.
    ASSERT_TRUE(wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000))
        << log();
    ASSERT_TRUE(install_phase_ended()) << log();
    EXPECT_FALSE(v1_running());
    EXPECT_EQ(v1_exit_code(), 0u);
    ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 30000));
    EXPECT_EQ(started_versions(app_), (std::vector<std::string>{"1", "2"}));
    // v1's own install and the update's, neither with a client window open at its start;
    // v1 had saved its work by the update's.
    const std::string setup_log = test::read_file(app_ / "CorvaneApp-setup.log");
    EXPECT_EQ(count_of(setup_log, "client_window=0\n"), 2u) << setup_log;
    EXPECT_EQ(count_of(setup_log, "client_saved=1\n"), 1u) << setup_log;
    EXPECT_TRUE(fs::exists(app_ / "upd" / "updater.old.exe"));
    EXPECT_TRUE(fs::exists(app_ / "upd" / "updater.exe"));
    EXPECT_FALSE(fs::exists(downloaded_));
    // The front end saw the progress and no failure, and the pipe carried progress.
    EXPECT_NE(watch_output_.find("summary: status lines "), std::string::npos) << watch_output_;
    EXPECT_EQ(watch_output_.find("notice: "), std::string::npos) << watch_output_;
    EXPECT_NE(watch_output_.find("updater exit code 0"), std::string::npos) << watch_output_;
    const std::string text = log();
    EXPECT_EQ(count_of(text, " WARN  "), 3u) << text;  // two build lines, "path changed"
    EXPECT_EQ(count_of(text, "): file hash:"), 1u) << text;
    // Each run read the publisher, and both held the installer to it.
    EXPECT_EQ(count_of(text,
                       "): Publisher: CN=Corvane Test Publisher, O=Corvane Test; "
                       "installers must be signed by it.\n"),
              2u)
        << text;
    EXPECT_EQ(count_of(text, " is signed by the publisher.\n"), 2u) << text;
    const outcome::LastUpdate record = last_update();
    EXPECT_EQ(record.result, "installed");
    EXPECT_EQ(record.reason, "");
    EXPECT_EQ(record.installer_exit_code, std::optional<long long>(0));
    EXPECT_EQ(record.previous_version, std::optional<std::string>("1.0.0"));
    EXPECT_EQ(record.version, std::optional<std::string>("2.0.0"));
    EXPECT_EQ(record.message, narrow(expected_texts().done));
    std::string last;
    EXPECT_EQ(watch_last(last), 0u) << last;
    EXPECT_NE(last.find("The last update installed CorvaneApp-v2-setup.exe.\nFinished: " +
                        record.finished_at + "\nVersion: 1.0.0 -> 2.0.0\n"),
              std::string::npos)
        << last;
}

// The publisher's signed release feed names the installer: `--feed` installs the release
// it chooses, and a check afterwards finds the machine up to date.
TEST_F(WholeUpdate, ASignedReleaseFeedNamesTheInstallerToInstall) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    use_updater();
    serve(L"signing\\setup-publisher.exe");
    serve_feed(L"good.json.p7m");
    EXPECT_EQ(watch_feed(L"--feed"), 0u) << watch_output_;
    ASSERT_TRUE(wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000))
        << log();
    ASSERT_TRUE(install_phase_ended()) << log();
    ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 30000));
    EXPECT_EQ(started_versions(app_), (std::vector<std::string>{"1", "2"}));
    EXPECT_NE(watch_output_.find("notice: Update available: 2.0.0.0"), std::string::npos)
        << watch_output_;
    const std::string text = log();
    EXPECT_EQ(count_of(text, "): The release feed 10 of "), 1u) << text;
    // The notes reach the log with their line break escaped.
    EXPECT_EQ(count_of(text, "its notes: \"Fixes the crash on start.\\x0AAnd more.\".\n"), 1u)
        << text;
    // The first run read its own signature once, for the feed and the installer.
    EXPECT_EQ(count_of(text, "): Publisher: CN=Corvane Test Publisher, O=Corvane Test; "), 2u)
        << text;
    EXPECT_EQ(count_of(text, " is signed by the publisher.\n"), 2u) << text;
    EXPECT_EQ(last_update().result, "installed");

    std::string out;
    EXPECT_EQ(check_feed(L"--check", out), 0u) << out;
    EXPECT_NE(out.find("Up to date: 2.0.0"), std::string::npos) << out;
}

// Feeds that do not hold are refused before anything is fetched by their word, each with
// the exit code -1 and a notice that says why; a feed whose installer is not what it lists
// installs nothing.
TEST_F(WholeUpdate, AReleaseFeedThatDoesNotHoldIsRefused) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    use_updater();
    serve(L"signing\\setup-publisher.exe");
    const std::string refused = "The release feed is refused: ";
    const struct {
        const wchar_t* feed;  // signing\feeds\<feed>.json.p7m, or the file named
        const wchar_t* verb;
        DWORD code;
        std::string said;                  // in the output
        size_t downloads;                  // of the installer
        const wchar_t* updater = nullptr;  // from this row on, in place of the signed one
    } cases[] = {
        {L"good", L"--check", 1, "Update available: 2.0.0.0", 0},
        {L"flipped", L"--check", 0xffffffffu,
         refused + "its content is not what its signer signed.", 0},
        {L"other-content", L"--check", 0xffffffffu,
         refused + "its content is not what its signer signed.", 0},
        {L"untrusted", L"--check", 0xffffffffu,
         refused + "its certificate chain does not hold on this machine", 0},
        {L"other", L"--check", 0xffffffffu,
         refused +
             "it is signed by \"CN=Another Publisher, O=Elsewhere\", not by the updater's "
             "publisher \"CN=Corvane Test Publisher, O=Corvane Test\"" +
             brand_listed() + ".",
         0},
        {L"two-signers", L"--check", 0xffffffffu, refused + "it has 2 signers, not one.", 0},
        {L"expired", L"--feed", 0xffffffffu, "The release feed expired at ", 0},
        {L"lower", L"--feed", 0xffffffffu,
         "The release feed's serial 5 is older than the serial 10 seen before.", 0},
        {L"large", L"--feed", 0xffffffffu, refused + "it is larger than 1048576 bytes.", 0},
        {L"http", L"--feed", 0xffffffffu,
         refused + "the member \"releases[0].installer.url\" is not an https address.", 0},
        // A release build without a valid signature of its own trusts no feed; an unsigned
        // development build reads the unsigned JSON.
        {L"good", L"--check", 0xffffffffu,
         refused + "this updater is not signed, and a release build runs only installers of "
                   "its own publisher.",
         0, L"updater-signature-required.exe"},
        {L"good.json", L"--check", 1, "Update available: 2.0.0.0", 0, L"updater.exe"},
        {L"size", L"--feed", 0xffffffffu, "Failed to download file with correct hash(md5/sha1).", 6,
         L"signing\\updater.exe"},
        {L"sha256", L"--feed", 0xffffffffu, "Failed to download file with correct hash(md5/sha1).",
         6},
    };
    for (const auto& c : cases) {
        const std::string name = narrow(c.feed);
        if (c.updater != nullptr) use_updater(c.updater);
        const std::wstring file(c.feed);
        serve_feed(file.find(L'.') != std::wstring::npos ? c.feed : (file + L".json.p7m").c_str());
        const size_t requests_before = installer_requests();
        std::string out;
        EXPECT_EQ(check_feed(c.verb, out), c.code) << name << "\n" << out << log();
        EXPECT_NE(out.find(c.said), std::string::npos) << name << "\n" << out;
        EXPECT_EQ(installer_requests() - requests_before, c.downloads) << name;
        EXPECT_TRUE(v1_running()) << name;
    }
    EXPECT_EQ(count_of(log(), "the release feed lists "), 12u) << log();
    EXPECT_EQ(count_of(log(), "): This updater is not signed: the release feed is not checked.\n"),
              1u)
        << log();
    EXPECT_FALSE(fs::exists(app_ / "upd" / "updater.old.exe"));
    EXPECT_EQ(started_versions(app_), std::vector<std::string>{"1"});
}

// Installers that the updater's publisher did not sign, or whose signature does not reach
// a root this machine trusts, and updaters without a valid signature of their own where one
// is needed: the first run refuses the installer before it asks for elevation, and an
// elevated run started directly with the installer and its digest refuses its checked copy
// before anything changes. A subject that the updater's brand lists (a renewed certificate)
// is accepted as well: the last row installs.
TEST_F(WholeUpdate, OnlyInstallersOfTheUpdatersPublisherAreRun) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    const test::FailureWindowCloser closer;
    // With the subjects the brand lists, which every refusal names after it.
    const std::string updater_subject =
        "\"CN=Corvane Test Publisher, O=Corvane Test\"" + brand_listed();
    const std::string renewed_subject = "\"CN=Corvane Renewed Publisher, O=Corvane Test\"";
    const std::string untrusted_root =
        "certificate chain does not hold on this machine (CertVerifyCertificateChainPolicy "
        "0x800B0109, checked as of the present time, ";
    struct Case {
        const char* name;
        const wchar_t* updater;
        const wchar_t* installer;
        std::string cause;
        bool user_root = false;  // the untrusted CA is among the user's own roots meanwhile
    } cases[] = {
        {"a renewed certificate that the updater does not list", L"signing\\updater.exe",
         L"signing\\setup-renewed.exe",
         "is refused: it is signed by " + renewed_subject + ", not by the updater's publisher " +
             updater_subject + ".\n"},
        {"another publisher, where a renewed certificate is listed",
         L"signing\\updater-renewed.exe", L"signing\\setup-other.exe",
         "is refused: it is signed by \"CN=Another Publisher, O=Elsewhere\", not by the updater's "
         "publisher " +
             updater_subject + " or " + renewed_subject + ".\n"},
        {"another publisher", L"signing\\updater.exe", L"signing\\setup-other.exe",
         "is refused: it is signed by \"CN=Another Publisher, O=Elsewhere\", not by the updater's "
         "publisher " +
             updater_subject + ".\n"},
        {"unsigned", L"signing\\updater.exe", L"e2e\\CorvaneApp-v2-setup.exe",
         "is refused: its signature does not verify (WinVerifyTrust 0x800B0100).\n"},
        {"changed after signing", L"signing\\updater.exe", L"signing\\setup-changed.exe",
         "is refused: its signature does not verify (WinVerifyTrust 0x80096010).\n"},
        {"the publisher's name under a CA this machine does not trust", L"signing\\updater.exe",
         L"signing\\setup-untrusted.exe", "is refused: its " + untrusted_root},
        {"the same CA added to the user's own roots", L"signing\\updater.exe",
         L"signing\\setup-untrusted.exe", "is refused: its " + untrusted_root, true},
        {"an updater signed under a CA this machine does not trust",
         L"signing\\updater-untrusted.exe", L"signing\\setup-publisher.exe",
         "is refused: the updater's own " + untrusted_root},
        {"an unsigned updater built to need a signature of its own",
         L"updater-signature-required.exe", L"signing\\setup-publisher.exe",
         "is refused: this updater is not signed, and a release build runs only installers of "
         "its own publisher.\n"},
        // Last: it installs.
        {"a renewed certificate that the updater lists", L"signing\\updater-renewed.exe",
         L"signing\\setup-renewed.exe", ""},
    };
    for (const Case& c : cases) {
        use_updater(c.updater);
        std::unique_ptr<UserRoot> user_root;
        if (c.user_root) {
            user_root.reset(new UserRoot(L"signing\\untrusted-ca.crt"));
            ASSERT_TRUE(user_root->added()) << c.name;
        }
        if (!c.cause.empty()) {
            expect_refused(c.name, c.installer, c.cause);
            continue;
        }
        EXPECT_EQ(started_versions(app_), std::vector<std::string>{"1"});
        const std::string text = expect_installed(c.name, c.installer);
        EXPECT_EQ(count_of(text,
                           "): Installers signed by CN=Corvane Renewed Publisher, "
                           "O=Corvane Test are accepted too: it is listed.\n"),
                  2u)
            << text;
    }
}

// A signature outlives its certificate when a time-stamping authority that the machine
// trusts countersigned it while the certificate was valid: the signer's chain is checked as
// of the time stamp. Without one that holds it is checked as of now. All the installers are
// signed with the publisher's certificate that was valid from 20 to 10 days ago.
TEST_F(WholeUpdate, ASignatureHoldsAsOfItsTimeStamp) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    const test::FailureWindowCloser closer;
    use_updater();
    const std::string expired =
        "is refused: its certificate chain does not hold on this machine "
        "(CertVerifyCertificateChainPolicy 0x800B0101, checked as of ";
    struct Case {
        const char* name;
        const wchar_t* installer;
        std::string cause;  // empty: installed
    } cases[] = {
        {"no time stamp", L"signing\\setup-expired.exe", expired + "the present time, "},
        {"time-stamped 5 days ago, after it expired", L"signing\\setup-stamped-late.exe",
         expired + "its time stamp, "},
        // Time stamps of 15 days ago that do not hold: the chain is checked as of now.
        {"by an authority this machine does not trust", L"signing\\setup-stamped-untrusted.exe",
         expired + "the present time, "},
        {"for another signature", L"signing\\setup-stamped-other.exe",
         expired + "the present time, "},
        {"stamped now, its time changed afterwards", L"signing\\setup-stamped-back-dated.exe",
         expired + "the present time, "},
        {"time-stamped 15 days ago, while it was valid", L"signing\\setup-expired-stamped.exe", ""},
    };
    for (const Case& c : cases) {
        if (!c.cause.empty()) {
            expect_refused(c.name, c.installer, c.cause);
            continue;
        }
        expect_installed(c.name, c.installer);
    }
}

// Someone who can write to the updater's folder, or to the folder it is started in, puts
// DLLs there under the names of the system DLLs it may load, and a taskkill.exe. A whole
// update still succeeds and loads none of them. Run through ctest's
// WholeUpdate.NothingPlantedIsLoaded, which lists the names that are not Windows' known DLLs
// from updater.exe first and has Wine prefer such files over its own, as Windows does.
TEST_F(WholeUpdate, PlantedDllsAndProgramsAreNotLoaded) {
    wchar_t list[MAX_PATH] = {0};
    if (GetEnvironmentVariableW(L"UPDATER_TEST_DLL_NAMES", list, MAX_PATH) == 0)
        GTEST_SKIP() << "run as ctest's WholeUpdate.NothingPlantedIsLoaded";
    const std::vector<std::string> names = lines_of(test::read_text_file(list));
    ASSERT_FALSE(names.empty()) << "no DLL names in " << narrow(list);
    const std::vector<fs::path> folders = {app_ / "upd", app_};
    for (const fs::path& folder : folders) {
        // A DLL that ships beside the updater is its own, not a planted one.
        for (const std::string& name : names)
            if (!fs::exists(folder / name))
                fs::copy_file(test::sibling_path(L"planted_marker.dll"), folder / name);
        fs::copy_file(test::sibling_path(L"planted_marker.exe"), folder / "taskkill.exe");
    }

    EXPECT_EQ(watch(servers_.url("https", std::string("/") + kSetupName), md5_), 0u)
        << watch_output_;
    EXPECT_TRUE(wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000));
    EXPECT_TRUE(install_phase_ended());
    EXPECT_EQ(fired_marks(folders), "");
    ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 30000)) << log();
    EXPECT_EQ(started_versions(app_), (std::vector<std::string>{"1", "2"}));
}

// One value under the policy key: a REG_DWORD is given as its number, a REG_MULTI_SZ as
// its strings separated by "|".
struct PolicyValue {
    const wchar_t* name;
    DWORD type;
    std::wstring data;
};

void write_policy(const std::vector<PolicyValue>& values) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyKey);
    for (const PolicyValue& value : values) {
        std::wstring text = value.data + L'\0';
        const DWORD number = static_cast<DWORD>(std::wcstoul(value.data.c_str(), nullptr, 10));
        if (value.type == REG_MULTI_SZ) {
            for (wchar_t& c : text)
                if (c == L'|') c = L'\0';
            text += L'\0';
        }
        const bool dword = value.type == REG_DWORD;
        ASSERT_EQ(RegSetKeyValueW(
                      HKEY_LOCAL_MACHINE, kPolicyKey, value.name, value.type,
                      dword ? static_cast<const void*>(&number) : text.data(),
                      dword ? sizeof number : static_cast<DWORD>(text.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
}

// The registration's DisplayVersion; null removes it.
void write_display_version(const wchar_t* version) {
    if (version == nullptr) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion");
        return;
    }
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion", REG_SZ, version,
                              static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// The installer's version (2.0.0.0 from its version resource) against the registration's
// DisplayVersion, or the client application's own (it has none), under the machine policy
// written into the prefix's registry. An installer must name its version and CorvaneApp as
// its product: the publisher signs other programs too, and older installers without one.
// A refused update installs nothing, and an update that is turned off, or whose host is not
// allowed, asks the server for nothing. A refusal by version or by policy comes again from
// an elevated run started directly with the installer, on its checked copy.
TEST_F(WholeUpdate, VersionsMoveForwardUnlessTheAdministratorSaysOtherwise) {
    const std::string setup = std::string("/") + kSetupName;
    const std::string http = servers_.url("http", setup);
    const wchar_t* const versioned = L"e2e\\CorvaneApp-v2-small-setup.exe";
    const std::string refused_host =
        ": it is not one of the download hosts that the administrator allows.\n";
    const std::string failed = "Failed to download file with correct hash(md5/sha1).";
    struct Case {
        const char* name;
        std::vector<PolicyValue> policy;
        const wchar_t* display_version;  // null: none, and CorvaneApp.exe has no version
        const wchar_t* installer;
        std::string url;
        bool installs;
        std::string notice;    // the front end's last notice; empty: none
        std::string log_line;  // logged `log_count` times by each run that gets to it
        size_t log_count;
        bool asks_server;       // the server was asked for the installer
        bool elevated_refuses;  // an elevated run refuses it too
        // Six attempts fail: the updater that waits a hundredth as long between them.
        bool quick_waits = false;
    } cases[] = {
        // clang-format off
        {"turned off", {{L"UpdatesDisabled", REG_DWORD, L"1"}}, L"1.0.0", versioned, http, false,
         "Updates are turned off by the administrator.",
         "): Updates are turned off by the administrator.\n", 1, false, true},
        {"older: 2.0.0.0 below 10.0", {}, L"10.0", versioned, http, false,
         "The installer's version 2.0.0.0 is older than the installed 10.0.",
         "): The installer's version 2.0.0.0 is older than the installed 10.0.\n", 1, true, true},
        {"older, allowed by the administrator", {{L"AllowDowngrade", REG_DWORD, L"1"}}, L"10.0",
         versioned, http, true, "",
         "): The installer's version 2.0.0.0 is older than the installed 10.0: the administrator "
         "allows it.\n", 1, true, false},
        {"off the administrator's release line", {{L"TargetVersionPrefix", REG_SZ, L"2.4."}},
         L"1.0.0", versioned, http, false,
         "The installer's version 2.0.0.0 is not allowed by the administrator.",
         "): The installer's version 2.0.0.0 is not allowed by the administrator.\n", 1, true,
         true},
        {"the same version, on the release line, from an allowed host",
         {{L"TargetVersionPrefix", REG_SZ, L"2.0."},
          {L"DownloadHosts", REG_MULTI_SZ, L"mirror.example|LOCALHOST"}},
         L"2.0", versioned, "http://localhost:" + servers_.value("http_port") + setup, true, "",
         "): The installer's version 2.0.0.0 is the installed one: it is installed again.\n", 1,
         true, false},
        {"a host that is not allowed", {{L"DownloadHosts", REG_MULTI_SZ, L"localhost"}}, L"1.0.0",
         versioned, http, false, failed, "): Refused the host 127.0.0.1" + refused_host, 6, false,
         false, true},
        {"a redirect to a host that is not allowed",
         {{L"DownloadHosts", REG_MULTI_SZ, L"127.0.0.1"}}, L"1.0.0", versioned,
         servers_.url("http", "/to-localhost" + setup), false, failed,
         "): Refused the host localhost" + refused_host, 6, false, false, true},
        {"an installer without a version resource", {}, L"1.0.0",
         L"e2e\\CorvaneApp-v2-unversioned-setup.exe", http, false,
         "Cannot read the installer's version: nothing is installed.",
         "): Cannot read the installer's version: nothing is installed.\n", 1, true, true},
        {"a program of another product", {}, L"1.0.0", L"updater.exe", http, false,
         "The installer is not one of " BRAND_APPLICATION " (its product is " BRAND_PRODUCT
         "): nothing is installed.",
         "): The installer is not one of " BRAND_APPLICATION " (its product is " BRAND_PRODUCT
         "): nothing is installed.\n", 1, true, true},
        {"no installed version; a policy value of the wrong type",
         {{L"UpdatesDisabled", REG_SZ, L"1"}}, nullptr, versioned, http, true, "",
         "): The policy value UpdatesDisabled has the registry type 1, not 4: it is ignored.\n",
         1, true, false},
        // clang-format on
    };
    const std::string access_log = servers_.fixture_file("nginx-access.log");
    const std::string downloaded = update_folder_ + "\\" + kSetupName;
    const test::FailureWindowCloser closer;
    for (const Case& c : cases) {
        use_updater(c.quick_waits ? L"updater-quick-waits.exe" : L"updater.exe");
        write_policy(c.policy);
        write_display_version(c.display_version);
        serve(c.installer);
        test::remove_update_logs(app_);
        const size_t installs_before =
            count_of(test::read_file(app_ / "CorvaneApp-setup.log"), "version=");
        const size_t asked_before = count_of(test::read_file(access_log), "GET " + setup);
        const DWORD code = watch(c.url, md5_);
        EXPECT_EQ(code, c.installs ? 0u : 0xffffffffu) << c.name << "\n" << watch_output_;
        if (code == 0) {
            EXPECT_TRUE(
                wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000))
                << c.name << "\n"
                << log();
            EXPECT_TRUE(install_phase_ended()) << c.name << "\n" << log();
        }
        const size_t notice = watch_output_.rfind("notice: ");
        EXPECT_EQ(
            notice == std::string::npos
                ? ""
                : watch_output_.substr(notice + 8, watch_output_.find('\n', notice) - notice - 8),
            c.notice)
            << c.name << "\n"
            << watch_output_;
        std::string text = log();
        // Each run that started lists the policy it found; none without a policy key.
        EXPECT_EQ(count_of(text, "): Machine policy in force: "), c.policy.empty() ? 0u
                                                                  : c.installs     ? 2u
                                                                                   : 1u)
            << c.name << "\n"
            << text;
        EXPECT_EQ(count_of(text, c.log_line), c.log_count * (c.installs ? 2 : 1)) << c.name << "\n"
                                                                                  << text;
        EXPECT_EQ(count_of(test::read_file(app_ / "CorvaneApp-setup.log"), "version="),
                  installs_before + (c.installs ? 1 : 0))
            << c.name;
        EXPECT_EQ(count_of(test::read_file(access_log), "GET " + setup) > asked_before,
                  c.asks_server)
            << c.name;
        if (!c.elevated_refuses) continue;
        test::remove_update_logs(app_);
        fs::create_directories(downloaded_.parent_path());
        fs::remove(downloaded_);
        fs::copy_file(test::sibling_path(c.installer), downloaded_);
        std::string out;
        EXPECT_EQ(test::run_process_output(test::quoted((app_ / "upd" / "updater.exe").wstring()) +
                                               test::install_phase_arguments(downloaded, md5_),
                                           app_.wstring().c_str(), out, 60000),
                  0xffffffffu)
            << c.name;
        text = log();
        EXPECT_EQ(count_of(text, c.log_line), 1u) << c.name << "\n" << text;
        EXPECT_EQ(text.find("process image name"), std::string::npos) << c.name << "\n" << text;
        EXPECT_EQ(count_of(test::read_file(app_ / "CorvaneApp-setup.log"), "version="),
                  installs_before)
            << c.name;
        fs::remove(downloaded_);
    }
}

TEST_F(WholeUpdate, AWrongDigestLeavesV1Running) {
    std::string wrong = md5_;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    EXPECT_EQ(watch(servers_.url("http", std::string("/") + kSetupName), wrong), 0xffffffffu);
    EXPECT_NE(watch_output_.find("notice: Failed to download file with correct hash(md5/sha1)."),
              std::string::npos)
        << watch_output_;
    EXPECT_EQ(count_of(log(), " not match"), 6u) << log();
    EXPECT_TRUE(v1_running());
    EXPECT_EQ(started_versions(app_), std::vector<std::string>{"1"});
    EXPECT_FALSE(fs::exists(app_ / "upd" / "updater.old.exe"));
}

TEST_F(WholeUpdate, AServerThatIsDownLeavesV1Running) {
    use_updater(L"updater-quick-waits.exe");
    EXPECT_EQ(watch(std::string("http://127.0.0.1:1/") + kSetupName, md5_), 0xffffffffu);
    EXPECT_EQ(count_of(watch_output_, "notice: Failed to download file for "), 6u) << watch_output_;
    EXPECT_EQ(count_of(log(), "): Failed to download C:"), 6u) << log();
    EXPECT_TRUE(v1_running());
    EXPECT_FALSE(fs::exists(app_ / "upd" / "updater.old.exe"));
}

TEST_F(WholeUpdate, ABodyCutOnTheFirstAttemptIsFetchedAgain) {
    EXPECT_EQ(watch(servers_.url("fault", std::string("/flaky/") + kSetupName), md5_), 0u)
        << watch_output_;
    EXPECT_EQ(count_of(log(), "): Failed to download C:"), 1u) << log();
    ASSERT_TRUE(wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000));
    ASSERT_TRUE(install_phase_ended()) << log();
    ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 30000));
    EXPECT_EQ(started_versions(app_).back(), "2");
    // An unsigned updater holds installers to no publisher, and each run says so.
    EXPECT_EQ(count_of(log(), " WARN  trust::read_own_publisher("), 2u) << log();
    EXPECT_EQ(count_of(log(),
                       "): This updater is not signed: installers are not checked for a "
                       "publisher.\n"),
              2u)
        << log();
}

TEST_F(WholeUpdate, ASecondUpdaterIsRefusedWhileTheFirstRuns) {
    // The first updater fetches slowly (200 KiB/s), so it is still at work.
    std::string first_output;
    DWORD first_code = 0;
    std::thread first([&] {
        first_code = test::run_process_output(
            test::quoted((app_ / "upd" / "updater.exe").wstring()) + L" " +
                widen(servers_.url("http", std::string("/slow/") + kSetupName)) + L" " +
                widen(std::string(32, '0')),
            app_.wstring().c_str(), first_output, 120000);
    });
    // The installer's first bytes: the first updater holds the lock by then.
    const fs::path first_installer = downloaded_;
    ASSERT_TRUE(wait_for(
        [&] {
            std::error_code ignored;
            return fs::file_size(first_installer, ignored) > 0 && !ignored;
        },
        20000))
        << log();
    std::string second_output;
    const DWORD second = test::run_process_output(
        test::quoted((app_ / "upd" / "updater.exe").wstring()) + L" " +
            widen(servers_.url("http", std::string("/") + kSetupName)) + L" " + widen(md5_),
        app_.wstring().c_str(), second_output, 60000);
    EXPECT_EQ(second, 0xffffffffu);
    EXPECT_EQ(second_output, "");
    EXPECT_EQ(count_of(log(), "): Another process already running."), 1u) << log();
    // The first one goes on undisturbed; it is ended here rather than waited for.
    test::run_process(L"taskkill /im updater.exe /f", 0, nullptr, 20000);
    first.join();
    EXPECT_TRUE(v1_running());

    // Later in an update, while its elevated run is inside the installer, which pauses:
    // the first run has let go of the lock by then, and the elevated run holds it.
    fs::remove(first_installer);
    const test::ScopedSystemVariable pause(L"CORVANE_SETUP_PAUSE_MS", L"10000");
    std::thread update([&] { watch(servers_.url("http", std::string("/") + kSetupName), md5_); });
    const bool installing = wait_for(
        [&] { return log().find(" INFO  rollback::take_folder_snapshot(") != std::string::npos; },
        60000);
    const DWORD during_install = test::run_process_output(
        test::quoted((app_ / "upd" / "updater.exe").wstring()) + L" " +
            widen(servers_.url("http", std::string("/") + kSetupName)) + L" " + widen(md5_),
        app_.wstring().c_str(), second_output, 60000);
    update.join();
    EXPECT_TRUE(installing) << log();
    EXPECT_EQ(during_install, 0xffffffffu);
    EXPECT_EQ(count_of(log(), "): Another process already running."), 2u) << log();
    EXPECT_TRUE(install_phase_ended()) << log();
}

// The failure is shown, recorded and not tried again at once; another installer is.
TEST_F(WholeUpdate, AFailingInstallerBringsV1BackAndIsNotTriedAgainAtOnce) {
    std::string last;
    EXPECT_EQ(watch_last(last), 2u) << last;
    {
        const test::ScopedSystemVariable fail(L"CORVANE_SETUP_FAIL", L"7");
        EXPECT_EQ(watch(servers_.url("http", std::string("/") + kSetupName), md5_), 0u)
            << watch_output_;
        ASSERT_TRUE(
            wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000));
        ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 60000));
        // v1 runs again, and the failure is still on screen.
        EXPECT_EQ(window_status(), expected_texts().rolled_back);
        ASSERT_TRUE(install_phase_ended()) << log();
    }
    EXPECT_NE(log().find(" exited with code 7.\n"), std::string::npos) << log();
    // Kept for the next try.
    EXPECT_TRUE(fs::exists(downloaded_));
    EXPECT_FALSE(v1_running());
    EXPECT_EQ(v1_exit_code(), 0u);
    EXPECT_EQ(started_versions(app_), (std::vector<std::string>{"1", "1"}));
    outcome::LastUpdate record = last_update();
    EXPECT_EQ(record.result, "rolled_back");
    EXPECT_EQ(record.reason, "installer_exit_code");
    EXPECT_EQ(record.installer_exit_code, std::optional<long long>(7));
    EXPECT_EQ(record.installer, kSetupName);
    EXPECT_EQ(record.md5, test::lower(md5_));
    EXPECT_EQ(record.previous_version, std::optional<std::string>("1.0.0"));
    EXPECT_EQ(record.version, std::optional<std::string>("1.0.0"));
    EXPECT_EQ(record.failures_of_this_installer, 1);
    EXPECT_EQ(record.message, narrow(expected_texts().rolled_back));
    EXPECT_EQ(widen(record.log), test::elevated_log().wstring());
    EXPECT_EQ(watch_last(last), 1u) << last;
    EXPECT_NE(last.find("The last update failed to install CorvaneApp-v2-setup.exe "
                        "(installer_exit_code); the previous version was put back.\n"),
              std::string::npos)
        << last;

    // The same installer again: refused before anything is fetched or elevated.
    const size_t requests = installer_requests();
    test::remove_update_logs(app_);
    EXPECT_EQ(watch(servers_.url("http", std::string("/") + kSetupName), md5_), 0xffffffffu);
    std::time_t finished = 0;
    ASSERT_EQ(outcome::parse_utc_text(record.finished_at, finished), 0);
    EXPECT_NE(
        watch_output_.find("notice: The same installer failed to install at " + record.finished_at +
                           "; next try after " + outcome::utc_text(finished + 3600) + ".\n"),
        std::string::npos)
        << watch_output_;
    EXPECT_EQ(installer_requests(), requests);
    EXPECT_EQ(count_of(log(), "): Build "), 1u) << log();
    EXPECT_EQ(last_update().finished_at, record.finished_at);

    // Another installer goes ahead.
    serve(L"e2e\\CorvaneApp-v1-setup.exe");
    EXPECT_EQ(watch(servers_.url("http", std::string("/") + kSetupName), md5_), 0u)
        << watch_output_;
    ASSERT_TRUE(wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000));
    ASSERT_TRUE(install_phase_ended()) << log();
    record = last_update();
    EXPECT_EQ(record.result, "installed");
    EXPECT_EQ(record.md5, test::lower(md5_));
    EXPECT_EQ(record.failures_of_this_installer, 0);
}

// An elevated run ended by force while its installer was half-way leaves the folder
// half-installed and no record. The next update puts the folder back first, then installs.
TEST_F(WholeUpdate, AnInstallCutShortIsPutBackBeforeTheNextOne) {
    const std::string url = servers_.url("http", std::string("/") + kSetupName);
    const std::string v1_client = test::md5_of(app_ / kAppExe);
    const std::set<fs::path> copies_before = test::copy_folders();
    {
        const test::ScopedSystemVariable pause(L"CORVANE_SETUP_MID_PAUSE_MS", L"120000");
        EXPECT_EQ(watch(url, md5_), 0u) << watch_output_;
        ASSERT_TRUE(wait_for([&] { return fs::exists(app_ / "install-in-progress.tmp"); }, 120000))
            << log();
    }
    test::run_process(L"taskkill /im updater.exe /f", 0, nullptr, 20000);
    test::run_process(L"taskkill /im " + widen(kSetupName) + L" /f", 0, nullptr, 20000);
    ASSERT_TRUE(install_phase_ended()) << log();
    ASSERT_TRUE(wait_for([] { return !process_running(L"CorvaneApp-v2-setup.exe"); }, 20000));
    EXPECT_NE(test::md5_of(app_ / kAppExe), v1_client);
    EXPECT_EQ(last_update().result, "");

    test::remove_update_logs(app_);
    EXPECT_EQ(watch(url, md5_), 0u) << watch_output_;
    ASSERT_TRUE(wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000));
    ASSERT_TRUE(install_phase_ended()) << log();
    const std::string text = log();
    const size_t put_back = text.find("): An install that did not finish left the snapshot ");
    const size_t restored = text.find("): Restored the previous version of ");
    const size_t snapshot = text.find(" INFO  rollback::take_folder_snapshot(");
    EXPECT_NE(put_back, std::string::npos) << text;
    EXPECT_LT(put_back, restored) << text;
    EXPECT_LT(restored, snapshot) << text;
    EXPECT_FALSE(fs::exists(app_ / "install-in-progress.tmp"));
    // Installed once by v1's installer and once by the update, not half-way in between.
    const std::string setup_log = test::read_file(app_ / "CorvaneApp-setup.log");
    EXPECT_EQ(count_of(setup_log, "version="), 2u) << setup_log;
    EXPECT_EQ(count_of(setup_log, "version=2\n"), 1u) << setup_log;
    // The snapshot that was put back is gone with the rest of the killed run's folders.
    EXPECT_EQ(test::copy_folders(), copies_before);
    const outcome::LastUpdate record = last_update();
    EXPECT_EQ(record.result, "installed");
    EXPECT_EQ(record.previous_version, std::optional<std::string>("1.0.0"));
    EXPECT_EQ(record.version, std::optional<std::string>("2.0.0"));
    ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 30000));
    EXPECT_EQ(started_versions(app_).back(), "2");
}

// v1 installed below Program Files, as the update service installs only there, and the
// service registered from the publisher's signed updater, as the application's installer
// registers it; unregistered again at the end.
class ThroughTheService : public WholeUpdate {
protected:
    fs::path install_folder() override {
        return fs::path(find_program_files_folder()) / L"CorvaneApp Test";
    }

    void SetUp() override {
        fs::remove_all(install_folder());
        WholeUpdate::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_EQ(service::service_folder(service_folder_), 0);
        ASSERT_EQ(test::run_process(test::quoted(test::sibling_path(L"signing\\updater.exe")) +
                                        L" --register-service",
                                    0, nullptr, 60000),
                  0u);
        // That administrator's run wrote the elevated log: no update has run yet.
        test::remove_update_logs(app_);
        use_updater();
    }

    void TearDown() override {
        test::run_process(
            test::quoted(test::sibling_path(L"signing\\updater.exe")) + L" --unregister-service", 0,
            nullptr, 60000);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHighestKey, L"HighestInstalledVersion");
        WholeUpdate::TearDown();
        std::error_code ignored;
        fs::remove_all(app_, ignored);
    }

    std::string service_log() { return test::read_file(fs::path(service_folder_) / "update.log"); }

    // Starts the service as any user may, with `arguments`: 0, or the error that kept it
    // from starting.
    static DWORD start_service(const std::vector<std::wstring>& arguments) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, service::kServiceName, SERVICE_START);
        std::vector<const wchar_t*> pointers;
        for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
        const DWORD result =
            StartServiceW(service, static_cast<DWORD>(pointers.size()), pointers.data())
                ? 0
                : GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return result;
    }
    // Waits for the service to stop: its exit code.
    static DWORD service_exit_code() {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, service::kServiceName, SERVICE_QUERY_STATUS);
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        wait_for(
            [&] {
                return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<BYTE*>(&status), sizeof status,
                                            &needed) &&
                       status.dwCurrentState == SERVICE_STOPPED;
            },
            120000);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return status.dwServiceSpecificExitCode;
    }
    // Both: the exit code, or the error that kept the service from starting.
    static DWORD run_service(const std::vector<std::wstring>& arguments) {
        const DWORD error = start_service(arguments);
        return error != 0 ? error : service_exit_code();
    }
    // The images that registrations moved aside in the service's folder.
    size_t images_aside() {
        size_t count = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(service_folder_))
            count += entry.path().extension() == ".aside";
        return count;
    }

    // The start type of the registration: SERVICE_DISABLED or SERVICE_DEMAND_START.
    static void set_start_type(DWORD type) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, service::kServiceName, SERVICE_CHANGE_CONFIG);
        EXPECT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }

    void write_install_location(const fs::path& folder) {
        const std::wstring text = folder.wstring();
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation", REG_SZ,
                            text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
    }

    // The highest version the service installed.
    static void write_highest(const wchar_t* version) {
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, kHighestKey, L"HighestInstalledVersion", REG_SZ,
                            version, static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
    }
    static std::wstring highest() {
        wchar_t text[64] = {};
        DWORD bytes = sizeof text;
        RegGetValueW(HKEY_LOCAL_MACHINE, kHighestKey, L"HighestInstalledVersion", RRF_RT_REG_SZ,
                     nullptr, text, &bytes);
        return text;
    }
    static constexpr const wchar_t* kHighestKey =
        L"SOFTWARE\\" BRAND_DATA_FOLDER_VENDOR_W L"\\" BRAND_DATA_FOLDER_PRODUCT_W;

    std::wstring service_folder_;
};

// A standard user's update: the first run hands the installer to the service, which
// installs it with nobody asked for consent; the first run records the outcome and starts
// v2 itself.
TEST_F(ThroughTheService, InstallsWithNoElevationAndTheUserStartsTheNewVersion) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    serve(L"signing\\setup-publisher.exe");
    EXPECT_EQ(watch(servers_.url("https", std::string("/") + kSetupName), md5_), 0u)
        << watch_output_;
    ASSERT_TRUE(wait_for([&] { return started_versions(app_).size() == 2; }, 120000))
        << log() << service_log();
    EXPECT_EQ(started_versions(app_), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(v1_exit_code(), 0u);
    const std::string text = log();
    const std::string served = service_log();
    EXPECT_EQ(last_update().result, "installed") << served;
    EXPECT_EQ(count_of(text, "): The update service installs "), 1u) << text;
    EXPECT_EQ(count_of(text, ": installed.\n"), 1u) << text;
    // No elevated run: nothing asked for elevation, nothing wrote the elevated log.
    EXPECT_FALSE(fs::exists(test::elevated_log())) << text;
    EXPECT_EQ(text.find("path changed"), std::string::npos) << text;
    EXPECT_EQ(count_of(served, "): Request "), 1u) << served;
    EXPECT_EQ(count_of(served, "): Installer "), 0u) << served;
    EXPECT_EQ(count_of(served, " is signed by the publisher.\n"), 1u) << served;
    // The first run's image moved aside while it waited; the installer wrote the new one.
    EXPECT_TRUE(fs::exists(app_ / "upd" / "updater.old.exe"));
    EXPECT_TRUE(fs::exists(app_ / "upd" / "updater.exe"));
    EXPECT_FALSE(fs::exists(downloaded_));
    const outcome::LastUpdate record = last_update();
    EXPECT_EQ(record.result, "installed");
    EXPECT_EQ(record.installer_exit_code, std::optional<long long>(0));
    EXPECT_EQ(record.previous_version, std::optional<std::string>("1.0.0"));
    EXPECT_EQ(record.version, std::optional<std::string>("2.0.0"));
    EXPECT_EQ(record.message, narrow(expected_texts().done));
    EXPECT_EQ(watch_output_.find("notice: "), std::string::npos) << watch_output_;
    EXPECT_EQ(highest(), L"2.0.0.0");
}

// Whatever the caller hands the service, it installs nothing but the publisher's newer
// installer, by its own copy, into the registered folder below Program Files.
TEST_F(ThroughTheService, RefusesEverythingButOnePlainSignedNewerInstaller) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    const std::wstring id = L"0f8fad5b-d9cb-469f-a165-70867728950e";
    fs::create_directories(downloaded_.parent_path());
    const std::wstring installer = downloaded_.wstring();
    const fs::path linked = downloaded_.parent_path() / L"second-name.exe";
    const fs::path folder = downloaded_.parent_path() / L"CorvaneApp-v2-setup.exe.d";
    struct Case {
        const char* name;
        std::vector<std::wstring> arguments;
        const wchar_t* file;   // put at the installer's path; null: the signed v2
        std::string log_line;  // in the service's log
        const char* reason;    // in the request's status; null: no status is written
        std::function<void()> before = nullptr;
        std::function<void()> after = nullptr;
    } cases[] = {
        {"no arguments",
         {},
         nullptr,
         "Refused a request of 0 arguments: the request has 0 arguments, not 3.",
         nullptr},
        {"an install folder too",
         {L"install", id, installer, L"/D=C:\\elsewhere"},
         nullptr,
         "Refused a request of 4 arguments: the request has 4 arguments, not 3.",
         nullptr},
        {"another verb",
         {L"run", id, installer},
         nullptr,
         "Refused a request of 3 arguments: the verb is not install.",
         nullptr},
        {"a share",
         {L"install", id, L"\\\\127.0.0.1\\C$\\setup.exe"},
         nullptr,
         "the installer path is not a plain path on a drive.",
         nullptr},
        {"a stream",
         {L"install", id, installer + L":hidden"},
         nullptr,
         "the installer path is not a plain path on a drive.",
         nullptr},
        {"a folder",
         {L"install", id, folder.wstring()},
         nullptr,
         "Failed to open the installer ",
         "digest",
         [&] { fs::create_directories(folder); },
         [&] { fs::remove(folder); }},
        {"a file outside an update folder",
         {L"install", id, L"C:\\windows\\notepad.exe"},
         nullptr,
         "): The installer path C:\\windows\\notepad.exe is not in an update folder: the "
         "service opens nothing.\n",
         "installer_path"},
        {"a second name",
         {L"install", id, linked.wstring()},
         nullptr,
         "has more than one name",
         "digest",
         [&] { ASSERT_TRUE(CreateHardLinkW(linked.c_str(), installer.c_str(), nullptr)); },
         [&] { fs::remove(linked); }},
        {"another publisher",
         {L"install", id, installer},
         L"signing\\setup-other.exe",
         "is refused: it is signed by \"CN=Another Publisher, O=Elsewhere\"",
         "publisher"},
        {"unsigned",
         {L"install", id, installer},
         L"e2e\\CorvaneApp-v2-setup.exe",
         "is refused: its signature does not verify",
         "publisher"},
        {"older than the installed version",
         {L"install", id, installer},
         nullptr,
         "is older than the installed 10.0.",
         "version",
         [] { write_display_version(L"10.0"); },
         [] { write_display_version(L"1.0.0"); }},
        {"older than the highest version the service installed",
         {L"install", id, installer},
         nullptr,
         "): The installer's version 2.0.0.0 is older than 10.0, which the update service "
         "installed before.\n",
         "version",
         [] { write_highest(L"10.0"); },
         [] { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHighestKey, L"HighestInstalledVersion"); }},
        {"an install folder outside Program Files",
         {L"install", id, installer},
         nullptr,
         "is not in Program Files: the service installs nothing.",
         "install_folder",
         [&] { write_install_location(dir_.path()); },
         [&] { write_install_location(app_); }},
        {"a folder that leaves Program Files by \"..\"",
         {L"install", id, installer},
         nullptr,
         "is not in Program Files: the service installs nothing.",
         "install_folder",
         [&] {
             write_install_location(fs::path(find_program_files_folder()) / ".." /
                                    dir_.path().relative_path());
         },
         [&] { write_install_location(app_); }},
    };
    for (const Case& c : cases) {
        const std::map<fs::path, std::string> app_before = app_files();
        fs::remove(downloaded_);
        fs::copy_file(test::sibling_path(c.file ? c.file : L"signing\\setup-publisher.exe"),
                      downloaded_);
        if (c.before) c.before();
        std::error_code ignored;
        fs::remove(fs::path(service_folder_) / "update.log", ignored);
        EXPECT_EQ(run_service(c.arguments), 1u) << c.name;
        if (c.after) c.after();
        const std::string served = service_log();
        EXPECT_EQ(count_of(served, c.log_line), 1u) << c.name << "\n" << served;
        service::Status status;
        const bool written = service::read_status(service_folder_, narrow(id), status) == 0;
        EXPECT_EQ(written, c.reason != nullptr) << c.name;
        if (written && c.reason != nullptr) {
            EXPECT_EQ(status.result, "failed") << c.name;
            EXPECT_EQ(status.reason, c.reason) << c.name;
            EXPECT_EQ(status.ask_administrator, std::string(c.reason) == "install_folder")
                << c.name;
            // Nothing was installed: the version found is the version left.
            EXPECT_TRUE(status.previous_version.has_value()) << c.name;
            EXPECT_EQ(status.previous_version, status.version) << c.name;
        }
        EXPECT_EQ(served.find("): process image name"), std::string::npos) << c.name;
        EXPECT_TRUE(v1_running()) << c.name;
        EXPECT_EQ(app_files(), app_before) << c.name;
        EXPECT_TRUE(fs::exists(downloaded_)) << c.name << ": the user's file is not the service's";
    }
}

// Where the service cannot or may not install, the update asks for elevation as it does
// on a machine without the service, and the elevated run installs.
TEST_F(ThroughTheService, AsksForElevationWhereTheServiceIsNotToBeUsed) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    const test::FailureWindowCloser closer;
    struct Case {
        const char* name;
        std::string log_line;  // the first run's
        std::function<void()> before;
        std::function<void()> after;
    } cases[] = {
        {"turned off by the policy",
         "): The policy turns the update service off: asking for elevation.\n",
         [] {
             write_policy({{L"UseUpdateService", REG_DWORD, L"0"}});
         },
         [] { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyKey); }},
        {"disabled", "): The update service is disabled: asking for elevation.\n",
         [] { set_start_type(SERVICE_DISABLED); }, [] { set_start_type(SERVICE_DEMAND_START); }},
        {"an install folder the service refuses",
         "): The update service refused the install (install_folder): asking for elevation.\n",
         [&] {
             // The same folder by its short name, which the service does not take for one
             // below Program Files; the elevated run installs into it.
             wchar_t short_name[MAX_PATH] = {};
             ASSERT_NE(GetShortPathNameW(app_.c_str(), short_name, MAX_PATH), 0u);
             ASSERT_NE(fs::path(short_name), app_);
             write_install_location(short_name);
         },
         [&] { write_install_location(app_); }},
        {"not registered", "): The update service is not installed: asking for elevation.\n",
         [] {
             test::run_process(test::quoted(test::sibling_path(L"signing\\updater.exe")) +
                                   L" --unregister-service",
                               0, nullptr, 60000);
         },
         nullptr},
    };
    size_t starts = started_versions(app_).size();
    for (const Case& c : cases) {
        c.before();
        test::remove_update_logs(app_);
        serve(L"signing\\setup-publisher.exe");
        EXPECT_EQ(watch(servers_.url("https", std::string("/") + kSetupName), md5_), 0u)
            << c.name << "\n"
            << watch_output_;
        EXPECT_TRUE(
            wait_for([&] { return log().find("path changed") != std::string::npos; }, 60000))
            << c.name << "\n"
            << log();
        EXPECT_TRUE(install_phase_ended()) << c.name;
        if (c.after) c.after();
        const std::string text = log();
        EXPECT_EQ(count_of(text, c.log_line), 1u) << c.name << "\n" << text;
        EXPECT_TRUE(wait_for([&] { return started_versions(app_).size() == starts + 1; }, 30000))
            << c.name;
        starts = started_versions(app_).size();
        EXPECT_EQ(last_update().result, "installed") << c.name;
    }
}

// The application's next installer registers the service again while the service installs
// it: the running image moves aside and the new one takes its place; the next start of the
// service removes the old one.
TEST_F(ThroughTheService, RegisteringAgainWhileItRunsReplacesItsImage) {
    TEST_REQUIRES(test_ca_trusted(), "the signers' CA among the machine roots (scripts/with-wine)");
    // In the machine's environment, which the service gives its installer.
    const test::ScopedSystemVariable pause(L"CORVANE_SETUP_PAUSE_MS", L"5000");
    fs::create_directories(downloaded_.parent_path());
    fs::copy_file(test::sibling_path(L"signing\\setup-publisher.exe"), downloaded_);
    const std::string before = test::md5_of(fs::path(service_folder_) / "updater.exe");
    ASSERT_EQ(
        start_service({L"install", L"0f8fad5b-d9cb-469f-a165-70867728950e", downloaded_.wstring()}),
        0u);
    ASSERT_TRUE(wait_for([] { return process_running(L"CorvaneApp-v2-setup.exe"); }, 60000))
        << service_log();
    ASSERT_EQ(test::run_process(test::quoted(test::sibling_path(L"signing\\updater-renewed.exe")) +
                                    L" --register-service",
                                0, nullptr, 60000),
              0u);
    EXPECT_EQ(images_aside(), 1u);
    EXPECT_NE(test::md5_of(fs::path(service_folder_) / "updater.exe"), before);
    EXPECT_EQ(service_exit_code(), 0u) << service_log();
    service::Status status;
    ASSERT_EQ(service::read_status(service_folder_, "0f8fad5b-d9cb-469f-a165-70867728950e", status),
              0);
    EXPECT_EQ(status.result, "installed");
    // The new image runs the next request, and takes the old one away first.
    EXPECT_EQ(run_service({}), 1u);
    EXPECT_EQ(images_aside(), 0u);
}

}  // namespace
