// The second run of an update as a process under Wine and Xvfb: the real lock, window,
// registry and processes, with a stand-in installer and stand-in client applications.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "child_main.h"
#include "driver/entry.h"
#include "driver/phases.h"
#include "integrity/file_digest.h"
#include "outcome/last_update_file.h"
#include "service/service.h"
#include "status_lines.h"
#include "test_support.h"
#include "ui/progress_window.h"
#include "utils/install_location.h"
#include "utils/paths.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "win_process.h"
// After win.h.
#include <commctrl.h>
#include <sddl.h>

namespace {

namespace fs = std::filesystem;

using test::kUninstallKey;
// "子键的数量为: " in the ANSI code page of the updater's origin (GBK).
const char* const kSubkeyCountLine = "\xd7\xd3\xbc\xfc\xb5\xc4\xca\xfd\xc1\xbf\xce\xaa: ";
const char* const kRestoredWindow = "更新失败，已恢复原来的版本";
// payload.bin of the old version in AFailedInstallLeavesTheFolderAsItWas.
constexpr DWORD kOldPayloadBytes = 300000;

// Every file below `folder` with its size, MD5, attributes and write time, and every
// sub-folder with its attributes, sorted. Left out: the log, what the test program and
// the launch probe write, and the backup of the running updater, which every run makes.
std::string folder_listing(const fs::path& folder) {
    const std::set<std::string> left_out{"update.log",
                                         "window.txt",
                                         "CorvaneApp.exe.started",
                                         "launch_token_process.txt",
                                         "record_token_process.txt",
                                         "upd\\updater.old.exe"};
    std::vector<std::string> lines;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string relative = fs::relative(entry.path(), folder).string();
        if (left_out.count(relative) != 0) continue;
        std::string line = relative + " attributes " +
                           std::to_string(GetFileAttributesW(entry.path().wstring().c_str()));
        if (!entry.is_directory()) {
            char md5[33] = {0};
            md5_file_hex(entry.path().string().c_str(), md5);
            line += " size " + std::to_string(entry.file_size()) + " md5 " + md5 + " written " +
                    std::to_string(entry.last_write_time().time_since_epoch().count());
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string listing;
    for (const std::string& line : lines) listing += line + "\n";
    return listing;
}

// A running client application: holds its image as Windows would and idles until it is
// ended.
TEST_CHILD(idle) { return test::idle_as_client(); }

// A program from elsewhere that loads a DLL, as Explorer loads a shell extension, and idles
// until it is ended: --child=load_library <dll>. 4 when the DLL cannot be loaded.
TEST_CHILD(load_library) {
    if (LoadLibraryW(widen(arguments.at(0)).c_str()) == nullptr) return 4;
    Sleep(INFINITE);
    return 0;
}

// Whether process `id` shows a window yet: the stand-ins are asked to close through it.
bool shows_window(DWORD id) {
    struct Search {
        DWORD id;
        bool found;
    } search{id, false};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            Search& search = *reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            search.found = owner == search.id && IsWindowVisible(window);
            return !search.found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// How many lines of the log hold both parts: " WARN  <function>(" and the message.
size_t lines_with(const std::string& log, const std::string& prefix, const std::string& part) {
    size_t count = 0;
    for (const std::string& line : test::lines_of(log))
        if (line.find(prefix) != std::string::npos && line.find(part) != std::string::npos) ++count;
    return count;
}

// A download phase started while the install phase runs, by the command line in
// INSTALL_TEST_DOWNLOAD; its exit codes are appended to download-codes.txt.
void start_download_phase() {
    wchar_t command[1024] = {0};
    if (GetEnvironmentVariableW(L"INSTALL_TEST_DOWNLOAD", command, 1024) == 0) return;
    const DWORD code = test::run_process(command, 0, nullptr, 60000);
    std::FILE* out = std::fopen("download-codes.txt", "ab");
    if (out == nullptr) return;
    std::fprintf(out, "%lu\n", static_cast<unsigned long>(code));
    std::fclose(out);
}

// At its first step and at its end the phase meets a download phase; at the end it
// leaves the bar's position and the status text (UTF-8) in window.txt.
void watch_install_steps(int step, ProgressWindow* window) {
    if (step == 0 || step == kInstallStepCount) start_download_phase();
    if (step != kInstallStepCount) return;
    wchar_t status[64] = {0};
    GetWindowTextW(window->status_text, status, 64);
    char utf8[256] = {0};
    WideCharToMultiByte(CP_UTF8, 0, status, -1, utf8, sizeof utf8, nullptr, nullptr);
    const LRESULT pos = SendMessageW(window->progress_bar, PBM_GETPOS, 0, 0);
    test::write_file("window.txt", std::to_string(pos) + " " + utf8);
}

bool g_lock_for_good = false;

// The relaunch's token, traced: for each token handle, the process it was taken from; and
// the process whose token CreateProcessWithTokenW received (0: never called).
std::map<HANDLE, DWORD> g_token_process;
DWORD g_launch_token_process = 0;
// The same for each token the run acted as: the installer was opened, then the record of
// the update written, with it. Space-separated.
std::string g_acted_as_processes;

BOOL WINAPI tracing_create_process_with_token_w(HANDLE token, DWORD logon, LPCWSTR application,
                                                LPWSTR command, DWORD flags, LPVOID environment,
                                                LPCWSTR folder, LPSTARTUPINFOW startup,
                                                LPPROCESS_INFORMATION created) {
    g_launch_token_process = g_token_process[token];
    using Function = decltype(&tracing_create_process_with_token_w);
    const Function real = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "CreateProcessWithTokenW")));
    return real(token, logon, application, command, flags, environment, folder, startup, created);
}

// The faults of --child=install_with_fault, each set up before the updater's run starts.

void fail_rename(utils::SystemCalls& calls) {
    calls.move_file_ex_w = [](LPCWSTR, LPCWSTR, DWORD) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
}

// Only the copy that would take updater.exe's place stays where it is.
void fail_swap(utils::SystemCalls& calls) {
    calls.move_file_ex_w = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        const std::wstring source = from;
        if (source.size() > 8 && source.compare(source.size() - 8, 8, L".new.exe") == 0) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        return MoveFileExW(from, to, flags);
    };
}

void fail_copy(utils::SystemCalls& calls) {
    calls.copy_file_w = [](LPCWSTR, LPCWSTR, BOOL) -> BOOL {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    };
}

void fail_snapshot(utils::SystemCalls& calls) {
    calls.create_toolhelp32_snapshot = [](DWORD, DWORD) -> HANDLE {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    };
}

void fail_first_process(utils::SystemCalls& calls) {
    calls.process32_first_w = [](HANDLE, LPPROCESSENTRY32W) -> BOOL {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    };
}

void fail_terminate(utils::SystemCalls& calls) {
    calls.terminate_process = [](HANDLE, UINT) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
}

// No process can be opened with the right to end it, as for a program of another session
// or a protected one.
void refuse_ending(utils::SystemCalls& calls) {
    calls.open_process = [](DWORD access, BOOL inherit, DWORD id) -> HANDLE {
        if (access & PROCESS_TERMINATE) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return OpenProcess(access, inherit, id);
    };
}

void fail_installer_start(utils::SystemCalls& calls) {
    calls.create_process_w = [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                LPPROCESS_INFORMATION) -> BOOL {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    };
}

// No folder named "temp" can be made: the installer's TEMP.
void fail_temp_folder(utils::SystemCalls& calls) {
    calls.create_directory_w = [](LPCWSTR path, LPSECURITY_ATTRIBUTES security) -> BOOL {
        const std::wstring made = path;
        if (made.size() > 5 && made.compare(made.size() - 5, 5, L"\\temp") == 0) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        return CreateDirectoryW(path, security);
    };
}

void fill_disk(utils::SystemCalls& calls) {
    calls.get_disk_free_space_ex_w = [](LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER,
                                        PULARGE_INTEGER) -> BOOL {
        available->QuadPart = 1 << 20;
        return TRUE;
    };
}

// Once the installer has rewritten payload.bin, the file is held without sharing, as by
// another program, to the end or for a second: the restore cannot write it.
void hold_payload_after_install(bool for_good) {
    g_lock_for_good = for_good;
    g_install_step_hook = [](int step, ProgressWindow* window) {
        static HANDLE held = INVALID_HANDLE_VALUE;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (held == INVALID_HANDLE_VALUE &&
            GetFileAttributesExW(L"payload.bin", GetFileExInfoStandard, &data) &&
            data.nFileSizeLow != kOldPayloadBytes) {
            held = CreateFileW(L"payload.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (!g_lock_for_good) {
                std::thread([] {
                    Sleep(1000);
                    CloseHandle(held);
                }).detach();
            }
        }
        watch_install_steps(step, window);
    };
}

void lock_after_install(utils::SystemCalls&) { hold_payload_after_install(true); }

void lock_a_second_after_install(utils::SystemCalls&) { hold_payload_after_install(false); }

// True when the path the system gives the file or folder open as `handle` ends in `tail`.
bool opened_as(HANDLE handle, const std::wstring& tail) {
    wchar_t path[MAX_PATH * 4] = {0};
    const std::wstring name(path, ::GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, 0));
    return name.size() >= tail.size() &&
           lstrcmpiW(name.c_str() + name.size() - tail.size(), tail.c_str()) == 0;
}

// Wine cannot make junctions: the folder "data" is reported as one in its folder's
// listing, as Windows reports a junction or a symbolic link.
void report_data_as_link(utils::SystemCalls& calls) {
    calls.get_file_information_by_handle_ex = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                                 LPVOID data, DWORD size) -> BOOL {
        if (!::GetFileInformationByHandleEx(handle, kind, data, size)) return FALSE;
        if (kind != FileIdBothDirectoryInfo && kind != FileIdBothDirectoryRestartInfo) return TRUE;
        for (auto* found = static_cast<unsigned char*>(data);;) {
            auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(found);
            if (entry->FileNameLength == 8 && _wcsnicmp(entry->FileName, L"data", 4) == 0)
                entry->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            if (entry->NextEntryOffset == 0) return TRUE;
            found += entry->NextEntryOffset;
        }
    };
}

constexpr wchar_t kAppData[] = L"\\app\\data";
constexpr wchar_t kAppPayload[] = L"\\app\\payload.bin";

// As if the folder's payload.bin had a second name, somewhere else.
void report_payload_as_hard_link(utils::SystemCalls& calls) {
    calls.get_file_information_by_handle_ex = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                                 LPVOID data, DWORD size) -> BOOL {
        if (!::GetFileInformationByHandleEx(handle, kind, data, size)) return FALSE;
        if (kind == FileStandardInfo && opened_as(handle, kAppPayload))
            static_cast<FILE_STANDARD_INFO*>(data)->NumberOfLinks = 2;
        return TRUE;
    };
}

// As if "data", or "payload.bin", had become a junction or a symbolic link after it was
// listed: what its name opens is a reparse point.
template <const wchar_t* Tail>
void report_opened_as_link(utils::SystemCalls& calls) {
    calls.get_file_information_by_handle_ex = [](HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                                 LPVOID data, DWORD size) -> BOOL {
        if (!::GetFileInformationByHandleEx(handle, kind, data, size)) return FALSE;
        if (kind == FileAttributeTagInfo && opened_as(handle, Tail))
            static_cast<FILE_ATTRIBUTE_TAG_INFO*>(data)->FileAttributes |=
                FILE_ATTRIBUTE_REPARSE_POINT;
        return TRUE;
    };
}

// As on Windows, where the folders' rights are checked, with the install folder "app"
// open to every user and every other folder the administrators' alone.
void open_app_to_users(utils::SystemCalls& calls) {
    calls.get_proc_address = [](HMODULE module, LPCSTR name) -> FARPROC {
        return std::string(name) == "wine_get_version" ? nullptr : GetProcAddress(module, name);
    };
    calls.get_security_info = [](HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*,
                                 PACL*, PACL*, PSECURITY_DESCRIPTOR* out) -> DWORD {
        wchar_t path[MAX_PATH * 4] = {0};
        const std::wstring found(path, GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, 0));
        const bool app = found.size() > 4 && found.compare(found.size() - 4, 4, L"\\app") == 0;
        const wchar_t* sddl = app ? L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)"
                                  : L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
        return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, out,
                                                                    nullptr)
                   ? ERROR_SUCCESS
                   : GetLastError();
    };
}

void fail_client_start(utils::SystemCalls& calls) {
    calls.load_library_w = [](LPCWSTR) -> HMODULE {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    };
}

// Nothing fails; the relaunch's token is traced into "launch_token_process.txt", those
// the run acted as into "record_token_process.txt".
void trace_launch_token(utils::SystemCalls& calls) {
    calls.open_process_token = [](HANDLE process, DWORD access, PHANDLE token) -> BOOL {
        const BOOL opened = OpenProcessToken(process, access, token);
        if (opened) g_token_process[*token] = GetProcessId(process);
        return opened;
    };
    calls.duplicate_token_ex = [](HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES security,
                                  SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type,
                                  PHANDLE duplicate) -> BOOL {
        const BOOL made = DuplicateTokenEx(token, access, security, level, type, duplicate);
        if (made) g_token_process[*duplicate] = g_token_process[token];
        return made;
    };
    calls.impersonate_logged_on_user = [](HANDLE token) -> BOOL {
        g_acted_as_processes += std::to_string(g_token_process[token]) + " ";
        return ImpersonateLoggedOnUser(token);
    };
    calls.get_proc_address = [](HMODULE module, LPCSTR name) -> FARPROC {
        if (std::string(name) != "CreateProcessWithTokenW") return GetProcAddress(module, name);
        return reinterpret_cast<FARPROC>(
            reinterpret_cast<void (*)()>(&tracing_create_process_with_token_w));
    };
}

struct InstallFault {
    const char* name;
    void (*set_up)(utils::SystemCalls& calls);
};

const InstallFault kInstallFaults[] = {
    {"rename", fail_rename},
    {"swap", fail_swap},
    {"copy", fail_copy},
    {"snapshot", fail_snapshot},
    {"first_process", fail_first_process},
    {"terminate", fail_terminate},
    {"refuse_ending", refuse_ending},
    {"installer_start", fail_installer_start},
    {"disk_full", fill_disk},
    {"temp_folder", fail_temp_folder},
    {"lock_after_install", lock_after_install},
    {"lock_a_second_after_install", lock_a_second_after_install},
    {"client_start", fail_client_start},
    {"app_open_to_users", open_app_to_users},
    {"data_is_a_link", report_data_as_link},
    {"data_became_a_link", report_opened_as_link<kAppData>},
    {"payload_became_a_link", report_opened_as_link<kAppPayload>},
    {"payload_hard_link", report_payload_as_hard_link},
    {"none", trace_launch_token},
};

// The updater's whole run in this program (copied in the updater's place), with one
// system call of the install phase failing: --child=install_with_fault <fault> <args...>,
// the fault one of kInstallFaults; watched step by step; with the fault "none", nothing
// fails and the relaunch's token is traced. 125 for a fault not in the table.
TEST_CHILD(install_with_fault) {
    // As Windows holds a running program's image: it may be read and renamed, not written.
    wchar_t image[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    const HANDLE own_image = CreateFileW(image, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
    if (own_image == INVALID_HANDLE_VALUE) return 124;
    g_install_step_hook = watch_install_steps;
    const std::string& fault = arguments.at(0);
    const auto found = std::find_if(std::begin(kInstallFaults), std::end(kInstallFaults),
                                    [&](const InstallFault& f) { return fault == f.name; });
    if (found == std::end(kInstallFaults)) return 125;
    found->set_up(utils::system_calls());
    const int code = test::run_updater_main(arguments, 1);
    if (fault == "none") {
        test::write_file("launch_token_process.txt", std::to_string(g_launch_token_process));
        test::write_file("record_token_process.txt", g_acted_as_processes);
    }
    return code;
}

// The update service's run of a request in this program, with one system call of its
// steps failing: --child=service_with_fault <fault> <the request's arguments>. 1 when the
// service refuses or fails, 125 for a fault not in kInstallFaults.
TEST_CHILD(service_with_fault) {
    const std::string& fault = arguments.at(0);
    const auto found = std::find_if(std::begin(kInstallFaults), std::end(kInstallFaults),
                                    [&](const InstallFault& f) { return fault == f.name; });
    if (found == std::end(kInstallFaults)) return 125;
    found->set_up(utils::system_calls());
    // Its event-log entries, one a line, into service-events.txt.
    utils::system_calls().report_event_w = [](HANDLE, WORD type, WORD, DWORD, PSID, WORD count,
                                              DWORD, const wchar_t** strings, void*) -> BOOL {
        std::FILE* out = std::fopen("service-events.txt", "ab");
        if (out == nullptr) return FALSE;
        std::fprintf(out, "%u", type);
        for (WORD i = 0; i < count; ++i) std::fprintf(out, " %s", narrow(strings[i]).c_str());
        std::fprintf(out, "\n");
        std::fclose(out);
        return TRUE;
    };
    return run_service_request({arguments.begin() + 1, arguments.end()}) < 0 ? 1 : 0;
}

class InstallPhase : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_REQUIRES(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0,
                      "a display (Xvfb) for the desktop-user launch");
        app_ = dir_.path() / "app";
        test::place_updater(app_);
        test::remove_once_let_go(test::elevated_log(), 20000);
        ASSERT_EQ(utils::get_app_data_path(utils::kUpdateFolderSuffix, update_folder_), 0);
        fs::create_directories(update_folder_);
        installer_ = update_folder_ + "\\setup.exe";
        fs::copy_file(test::sibling_path(L"stand_in_installer.exe"), installer_,
                      fs::copy_options::overwrite_existing);
        fs::copy_file(test::sibling_path(L"launch_probe.exe"), update_folder_ + "\\new_client.exe",
                      fs::copy_options::overwrite_existing);
        // The phase runs its checked copy: the stand-in records beside this path.
        home_.emplace(L"STAND_IN_HOME", widen(installer_));
    }

    void TearDown() override {
        home_.reset();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        std::error_code ignored;
        fs::remove_all(update_folder_, ignored);
    }

    void register_install_location(const fs::path& folder) {
        register_install_location(REG_SZ, folder.wstring());
    }
    void register_install_location(DWORD type, const std::wstring& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, L"InstallLocation", 0, type,
                       reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }

    DWORD run_install_phase() {
        return test::run_process_output(
            test::quoted((app_ / "upd" / "updater.exe").wstring()) +
                test::install_phase_arguments(installer_, test::md5_of(installer_)),
            app_.wstring().c_str(), out_, 60000);
    }

    // This program in the updater's place, so that it can watch the steps and make calls
    // fail: --child=install_with_fault.
    DWORD run_watched_install_phase(const char* fault) {
        const fs::path own = app_ / "upd" / "updater.exe";
        if (!fs::exists(own)) fs::copy_file(app_ / "upd" / "updater.old.exe", own);
        fs::remove(app_ / "upd" / "updater.old.exe");
        return test::run_process_output(
            test::quoted(own.wstring()) + L" --child=install_with_fault " + widen(fault) +
                test::install_phase_arguments(installer_, test::md5_of(installer_)),
            app_.wstring().c_str(), out_, 60000);
    }

    std::string log() { return test::update_logs(app_); }
    std::string installer_arguments() { return test::read_file(installer_ + ".args"); }

    // The relaunched client application (a launch probe) leaves this file behind.
    bool client_started(int timeout_ms = 20000) {
        for (int waited = 0; waited < timeout_ms; waited += 100) {
            if (fs::exists(app_ / "CorvaneApp.exe.started")) return true;
            Sleep(100);
        }
        return false;
    }

    test::ScopedWorkDir dir_;
    std::optional<test::ScopedSystemVariable> home_;
    fs::path app_;
    std::string update_folder_;
    std::string installer_;
    std::string out_;
};

TEST_F(InstallPhase, ReplacesTheRunningClientApplication) {
    register_install_location(app_);
    // The old client application: this program idling under the client's name.
    fs::copy_file(test::own_path(), app_ / "CorvaneApp.exe");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION old_client{};
    std::wstring command = test::quoted((app_ / "CorvaneApp.exe").wstring()) + L" --child=idle";
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               app_.wstring().c_str(), &startup, &old_client));
    CloseHandle(old_client.hThread);

    const std::set<fs::path> folders_before = test::copy_folders();
    const test::ScopedSystemVariable install(L"STAND_IN_INSTALL", L"copy");
    // Set where the updater starts, and so in its environment, not in the machine's.
    const test::ScopedVariable ours(L"STAND_IN_PROBE", L"the user's");
    const DWORD code = run_install_phase();
    const bool old_ended = WaitForSingleObject(old_client.hProcess, 0) == WAIT_OBJECT_0;
    if (!old_ended) TerminateProcess(old_client.hProcess, 1);
    DWORD old_code = 0;
    GetExitCodeProcess(old_client.hProcess, &old_code);
    CloseHandle(old_client.hProcess);

    EXPECT_EQ(code, 0u) << log();
    // The updater ended the old client, with its own exit code, before the installer
    // started: the client holds its image, so the installer could not have replaced it.
    EXPECT_TRUE(old_ended);
    EXPECT_EQ(old_code, 0xffffffffu);
    EXPECT_EQ(test::read_file(installer_ + ".clients"), "0");
    // Its TEMP, TMP and working folder: a folder beside the checked copy, out of the user's
    // reach, and gone with it. Its environment is the machine's: nothing of the updater's.
    const std::string temp = test::read_file(installer_ + ".temp");
    const std::string temp_folder = temp.substr(0, temp.find('|'));
    EXPECT_EQ(temp, temp_folder + "|" + temp_folder + "|" + temp_folder + "|");
    EXPECT_NE(temp_folder.find("\\CorvaneUpdate-"), std::string::npos) << temp;
    EXPECT_TRUE(temp_folder.size() > 5 && temp_folder.substr(temp_folder.size() - 5) == "\\temp")
        << temp;
    EXPECT_FALSE(fs::exists(temp_folder)) << temp;
    // The installer was run with the install folder, unquoted, at the end.
    const std::string arguments = installer_arguments();
    const std::string expected_tail = " /S /D=" + app_.string();
    ASSERT_GE(arguments.size(), expected_tail.size()) << arguments;
    EXPECT_EQ(arguments.substr(arguments.size() - expected_tail.size()), expected_tail);
    // The new client application was started, and the updater backed itself up.
    EXPECT_TRUE(client_started());
    EXPECT_TRUE(fs::exists(app_ / "upd" / "updater.old.exe"));
    EXPECT_TRUE(fs::exists(app_ / "upd" / "updater.exe"));
    EXPECT_FALSE(fs::exists(installer_));
    // The snapshot was taken, and nothing of it is left.
    for (const fs::path& folder : test::copy_folders())
        EXPECT_EQ(folders_before.count(folder), 1u) << folder;
    // Its log is the administrators': nothing of it is in its working folder, the user's.
    EXPECT_FALSE(fs::exists(app_ / "update.log"));
    const std::string text = test::read_text_file(test::elevated_log());
    EXPECT_NE(text.find(" INFO  rollback::take_folder_snapshot("), std::string::npos) << text;
    EXPECT_NE(text.find("): path changed (corvane_auto_installer.exe -> " + installer_ + ").\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" INFO  run_install_phase("), std::string::npos);
    EXPECT_EQ(text.find("Maybe failed"), std::string::npos) << text;
    EXPECT_EQ(text.find("exited with code"), std::string::npos) << text;
    // The lookup counted the registrations on standard output, once.
    const size_t count_line = out_.find(kSubkeyCountLine);
    EXPECT_NE(count_line, std::string::npos) << out_;
    EXPECT_EQ(out_.find(kSubkeyCountLine, count_line + 1), std::string::npos);
}

// The outcome the phase reports is the installer's, the folder it installs into is one the
// installer can take, and the lock is held throughout.
TEST_F(InstallPhase, OutcomesOfTheInstallerRun) {
    fs::copy_file(test::own_path(), app_ / "upd" / "updater.exe",
                  fs::copy_options::overwrite_existing);
    const std::string app = app_.string();
    const std::string no_location =
        "): No install location registered for CorvaneApp, installing into " + app + ".\n";
    const test::ScopedVariable app_variable(L"UPDATER_TEST_APP", app_.wstring());
    // A download phase of the real updater, at an address it must never get to.
    const test::ScopedVariable download(
        L"INSTALL_TEST_DOWNLOAD", test::quoted(test::sibling_path(L"updater.exe")) +
                                      L" http://127.0.0.1:1/setup.exe " + std::wstring(32, L'0'));
    const DWORD none = REG_NONE;  // no registration at all
    struct Case {
        const char* name;
        DWORD type;
        std::wstring location;
        const char* fault;
        const wchar_t* install;
        const wchar_t* exit_code;
        DWORD expected_code;
        std::string expected_log;  // a line part that must be logged
        bool installer_ran;
    } cases[] = {
        {"registered folder", REG_SZ, app_.wstring(), "none", L"copy", L"0", 0, "", true},
        {"no registration", none, L"", "none", L"copy", L"0", 0, no_location, true},
        {"empty location", REG_SZ, L"", "none", L"copy", L"0", 0, no_location, true},
        {"expandable location", REG_EXPAND_SZ, L"%SystemDrive%" + app_.wstring().substr(2), "none",
         L"copy", L"0", 0, "", true},
        // The user's own variables choose nothing for an administrator's installer.
        {"a user's variable in the location", REG_EXPAND_SZ, L"%UPDATER_TEST_APP%", "none", L"copy",
         L"0", 0, no_location, true},
        {"quoted location with a backslash", REG_SZ, L"\"" + app_.wstring() + L"\\\"", "none",
         L"copy", L"0", 0, "", true},
        // The installer that runs is the checked copy, which keeps the file's name.
        {"installer aborted", REG_SZ, app_.wstring(), "none", L"none", L"2", 0xffffffffu,
         "\\setup.exe exited with code 2.\n", true},
        {"installer not started", REG_SZ, app_.wstring(), "installer_start", L"copy", L"0",
         0xffffffffu, "\\setup.exe status -1.\n", false},
        {"installer no program", REG_SZ, app_.wstring(), "none", L"copy", L"0", 0xffffffffu,
         "\\setup.exe status -1.\n", false},
        {"installer removed the client", REG_SZ, app_.wstring(), "none", L"remove", L"0",
         0xffffffffu, "): The file ", true},
    };
    for (const Case& c : cases) {
        // A client application that is not running.
        fs::copy_file(test::sibling_path(L"launch_probe.exe"), app_ / "CorvaneApp.exe",
                      fs::copy_options::overwrite_existing);
        test::remove_update_logs(app_);
        for (const char* name : {"CorvaneApp.exe.started", "window.txt", "download-codes.txt"})
            fs::remove(app_ / name);
        if (std::string(c.name) == "installer no program")  // only a version resource
            fs::copy_file(test::sibling_path(L"versioned_head.dll"), installer_,
                          fs::copy_options::overwrite_existing);
        else
            fs::copy_file(test::sibling_path(L"stand_in_installer.exe"), installer_,
                          fs::copy_options::overwrite_existing);
        fs::remove(installer_ + ".args");
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        if (c.type != none) register_install_location(c.type, c.location);

        const test::ScopedSystemVariable install(L"STAND_IN_INSTALL", c.install);
        const test::ScopedSystemVariable exit_code(L"STAND_IN_EXIT_CODE", c.exit_code);
        EXPECT_EQ(run_watched_install_phase(c.fault), c.expected_code) << c.name << "\n" << log();
        const std::string text = log();
        EXPECT_NE(text.find(c.expected_log), std::string::npos) << c.name << "\n" << text;
        if (c.expected_log != no_location) {
            EXPECT_EQ(text.find("No install location"), std::string::npos) << c.name << "\n"
                                                                           << text;
        }
        if (c.installer_ran) {
            // Into the client application's folder, unquoted, at the end.
            const std::string arguments = installer_arguments();
            const std::string tail = " /S /D=" + app;
            EXPECT_TRUE(arguments.size() >= tail.size() &&
                        arguments.compare(arguments.size() - tail.size(), tail.size(), tail) == 0)
                << c.name << ": " << arguments;
        }
        // The lock was held at the first step and at the end.
        EXPECT_EQ(test::read_file(app_ / "download-codes.txt"), "4294967295\n4294967295\n")
            << c.name;
        EXPECT_EQ(test::count_lines(text, " WARN  run_download_phase("), 2u) << c.name;
        EXPECT_EQ(test::count_lines(text, "): Another process already running."), 2u) << c.name;

        const std::string window = test::read_file(app_ / "window.txt");
        if (c.expected_code == 0) {
            EXPECT_EQ(window, "100 更新已完成") << c.name;
            EXPECT_FALSE(fs::exists(installer_)) << c.name;
        } else {
            EXPECT_EQ(window.substr(window.find(' ') + 1), kRestoredWindow) << c.name;
            EXPECT_LT(std::stoi(window), 100) << c.name << ": " << window;
            // Kept for the client application's next try.
            EXPECT_TRUE(fs::exists(installer_)) << c.name;
        }
        // Whatever the installer did, the client application came back.
        EXPECT_TRUE(client_started()) << c.name;
    }
}

TEST_F(InstallPhase, EachFallibleStepFailingInTurn) {
    register_install_location(app_);
    // This program stands in for the updater, so that it can make the calls fail.
    fs::copy_file(test::own_path(), app_ / "upd" / "updater.exe",
                  fs::copy_options::overwrite_existing);
    const std::string own = (app_ / "upd" / "updater.exe").string();
    const std::string backup = (app_ / "upd" / "updater.old.exe").string();
    const std::string staged = (app_ / "upd" / "updater.new.exe").string();
    const std::string client = (app_ / "CorvaneApp.exe").string();
    struct Case {
        const char* fault;
        std::string log_line;
        std::string notice;  // the start of the one text notice, empty for none
        const char* reason;  // the record's
    } cases[] = {
        {"rename", "): Failed to change exe name to " + backup + ".\n",
         "1, Failed to change exe name to " + backup + ".;", "backup"},
        {"copy", "): Failed to copy " + own + " to " + staged + " for ",
         "1, Failed to copy " + own + " to " + staged + " for ", "backup"},
        {"swap", "): Failed to move " + staged + " to " + own + " for ",
         "1, Failed to move " + staged + " to " + own + " for ", "backup"},
        {"snapshot", "): Failed to terminate hubra process.\n",
         "1, Failed to terminate hubra process.;", "close"},
        {"first_process", "): Failed to terminate hubra process.\n",
         "1, Failed to terminate hubra process.;", "close"},
        // Recorded before the client application starts again, as installed.
        {"client_start", "): Faield to start hubra executable(" + client + ").\n", "", ""},
        {"app_open_to_users",
         "): The install folder " + app_.string() +
             " is refused: others than the administrators may change " + app_.string() +
             ". Nothing is installed.\n",
         "1, The install folder " + app_.string() + " is refused", "install_folder"},
        // Not the installer's failure: it never ran, and the client application never closed.
        {"temp_folder", "): No folder could be made for the installer's temporary files: ",
         "1, No folder could be made for the installer's temporary files: nothing is installed.;",
         "temp_folder"},
    };
    const test::ScopedSystemVariable install(L"STAND_IN_INSTALL", L"copy");
    for (const Case& c : cases) {
        fs::copy_file(test::sibling_path(L"launch_probe.exe"), client,
                      fs::copy_options::overwrite_existing);
        fs::copy_file(test::sibling_path(L"stand_in_installer.exe"), installer_,
                      fs::copy_options::overwrite_existing);
        test::remove_update_logs(app_);
        fs::remove(app_ / "window.txt");
        fs::remove(update_folder_ + "\\last-update.json");
        EXPECT_EQ(run_watched_install_phase(c.fault), 0xffffffffu) << c.fault << "\n" << log();
        EXPECT_NE(log().find(c.log_line), std::string::npos) << c.fault << "\n" << log();
        const size_t notice = out_.find("1, ");
        if (c.notice.empty()) {
            EXPECT_EQ(notice, std::string::npos) << c.fault << ": " << out_;
        } else {
            EXPECT_EQ(out_.compare(notice, c.notice.size(), c.notice), 0)
                << c.fault << ": " << out_;
        }
        // Whatever failed, the folders hold a client application and an updater, and the
        // window says so.
        EXPECT_TRUE(fs::exists(client)) << c.fault;
        EXPECT_TRUE(fs::exists(own)) << c.fault;
        EXPECT_FALSE(fs::exists(staged)) << c.fault;
        const std::string window = test::read_file(app_ / "window.txt");
        EXPECT_EQ(window.substr(window.find(' ') + 1), "更新失败") << c.fault;
        outcome::LastUpdate record;
        EXPECT_EQ(outcome::read_last_update(widen(update_folder_), record), 0) << c.fault;
        EXPECT_EQ(record.reason, c.reason) << c.fault;
        // None of these is the installer failing to install.
        EXPECT_EQ(record.failures_of_this_installer, 0) << c.fault;
    }
    // With nothing failing, the client is started with the taskbar's token: not with the
    // elevated run's own, nor by the shell (Wine gives every process the same full token,
    // so the probe itself cannot tell).
    fs::copy_file(test::sibling_path(L"launch_probe.exe"), client,
                  fs::copy_options::overwrite_existing);
    fs::copy_file(test::sibling_path(L"stand_in_installer.exe"), installer_,
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(run_watched_install_phase("none"), 0u) << log();
    DWORD taskbar = 0;
    GetWindowThreadProcessId(FindWindowW(L"Shell_TrayWnd", nullptr), &taskbar);
    EXPECT_NE(taskbar, 0u);
    EXPECT_EQ(test::read_file(app_ / "launch_token_process.txt"), std::to_string(taskbar));
    // The installer was opened, and the record written into the user's folder, as the
    // user: with the same token.
    const std::string user = std::to_string(taskbar) + " ";
    EXPECT_EQ(test::read_file(app_ / "record_token_process.txt"), user + user);
    EXPECT_TRUE(fs::exists(update_folder_ + "\\last-update.json"));
}

// A failed install puts the folder back as it was before the installer ran, starts the
// old client application and leaves no snapshot behind; so does a snapshot that cannot
// be made, before any installer runs. A restore that cannot write a file keeps the
// snapshot, which still holds the old file.
TEST_F(InstallPhase, AFailedInstallLeavesTheFolderAsItWas) {
    register_install_location(app_);
    fs::copy_file(test::own_path(), app_ / "upd" / "updater.exe",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(test::sibling_path(L"e2e\\CorvaneApp-v2-small-setup.exe"), installer_,
                  fs::copy_options::overwrite_existing);
    // The old version: files the installer replaces, and files and folders it knows nothing
    // of, one of them read-only.
    fs::copy_file(test::sibling_path(L"launch_probe.exe"), app_ / "CorvaneApp.exe");
    test::write_file(app_ / "payload.bin", std::string(kOldPayloadBytes, 'v'));
    fs::create_directories(app_ / "data" / "empty");
    test::write_file(app_ / "data" / "settings.ini", "[old]\n");
    SetFileAttributesW((app_ / "data" / "settings.ini").wstring().c_str(), FILE_ATTRIBUTE_READONLY);
    const std::string app = app_.string();
    struct Case {
        const char* name;
        const char* fault;
        const wchar_t* variable;  // the installer's test switch, set to `value`
        const wchar_t* value;
        std::string expected_log;  // a line part that must be logged
        const char* window;
    } cases[] = {
        {"installer fails half-way", "none", L"CORVANE_SETUP_HALFWAY", L"2",
         "\\setup.exe exited with code 2.\n", kRestoredWindow},
        {"installer removes the application", "none", L"CORVANE_SETUP_REMOVE_APP", L"1",
         "): The file " + app + "\\CorvaneApp.exe not exist.\n", kRestoredWindow},
        {"no space for the snapshot", "disk_full", L"CORVANE_SETUP_UNUSED", L"",
         "): Failed to take a snapshot of " + app + ": ", "更新失败"},
        // A link in the folder is recorded, never followed, copied or put back through.
        {"a link in the folder", "data_is_a_link", L"CORVANE_SETUP_HALFWAY", L"2",
         "): " + app + "\\data is a link: it is neither followed nor copied, and stays as it is.\n",
         kRestoredWindow},
        // Nor is a file written through that has a name elsewhere too.
        {"a file with a second name", "payload_hard_link", L"CORVANE_SETUP_UNUSED", L"",
         "): Failed to take a snapshot of " + app + ": cannot read " + app + "\\payload.bin: ",
         "更新失败"},
        // Nor a folder or file that became a link after it was listed.
        {"a folder that became a link", "data_became_a_link", L"CORVANE_SETUP_UNUSED", L"",
         "): Failed to take a snapshot of " + app + ": cannot list the folder: ", "更新失败"},
        {"a file that became a link", "payload_became_a_link", L"CORVANE_SETUP_UNUSED", L"",
         "): Failed to take a snapshot of " + app + ": cannot read " + app + "\\payload.bin: ",
         "更新失败"},
        {"a file locked for a second during the restore", "lock_a_second_after_install",
         L"CORVANE_SETUP_HALFWAY", L"2", "\\setup.exe exited with code 2.\n", kRestoredWindow},
        // Last: it leaves the folder changed.
        {"a file locked during the restore", "lock_after_install", L"CORVANE_SETUP_HALFWAY", L"2",
         "): Failed to restore " + app + "\\payload.bin: ", "更新失败"},
    };
    for (const Case& c : cases) {
        fs::remove(app_ / "CorvaneApp.exe.started");
        test::remove_update_logs(app_);
        fs::remove(app_ / "window.txt");
        const std::string before = folder_listing(app_);
        const std::set<fs::path> folders_before = test::copy_folders();
        const test::ScopedSystemVariable fail(c.variable, c.value);
        EXPECT_EQ(run_watched_install_phase(c.fault), 0xffffffffu) << c.name << "\n" << log();
        const std::string text = log();
        EXPECT_NE(text.find(c.expected_log), std::string::npos) << c.name << "\n" << text;
        const bool restored = c.window == kRestoredWindow;
        EXPECT_EQ(text.find("): Restored the previous version of " + app +
                            " from the snapshot at ") != std::string::npos,
                  restored)
            << c.name << "\n"
            << text;
        const std::string window = test::read_file(app_ / "window.txt");
        EXPECT_EQ(window.substr(window.find(' ') + 1), c.window) << c.name;
        // The old client application runs again, from the folder as it was.
        EXPECT_TRUE(client_started()) << c.name;
        std::vector<fs::path> added;
        for (const fs::path& folder : test::copy_folders())
            if (folders_before.count(folder) == 0) added.push_back(folder);
        if (std::string(c.fault) != "lock_after_install") {
            EXPECT_EQ(folder_listing(app_), before) << c.name;
            EXPECT_EQ(added, std::vector<fs::path>{}) << c.name;
            continue;
        }
        // Kept and named, with the old file in it.
        ASSERT_EQ(added.size(), 1u) << c.name;
        EXPECT_NE(text.find("): " + app + " is not as it was; the snapshot of it is kept at " +
                            added[0].string() + ".\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(test::read_file(added[0] / "snapshot" / "payload.bin"),
                  std::string(kOldPayloadBytes, 'v'));
        SetFileAttributesW((added[0] / "snapshot" / "data" / "settings.ini").wstring().c_str(),
                           FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(added[0]);
    }
    // So that the work folder can go.
    SetFileAttributesW((app_ / "data" / "settings.ini").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The update service runs the same steps on the same file layer, as SYSTEM and with no
// one's consent: a folder or file of the install folder that became a link after it was
// listed, or a file with a second name, fails the snapshot before anything is installed,
// and the folder stays as it was.
TEST_F(InstallPhase, TheServiceFollowsNoLinkPlantedInTheFolder) {
    // Below Program Files, where the service installs, and named "app" as the faults expect.
    const fs::path parent = fs::path(find_program_files_folder()) / L"CorvaneApp Test";
    fs::remove_all(parent);
    app_ = parent / "app";
    test::place_updater(app_);
    register_install_location(app_);
    std::wstring service_folder;
    ASSERT_EQ(service::service_folder(service_folder), 0);
    fs::create_directories(service_folder);
    fs::copy_file(test::sibling_path(L"e2e\\CorvaneApp-v2-small-setup.exe"), installer_,
                  fs::copy_options::overwrite_existing);
    fs::copy_file(test::sibling_path(L"launch_probe.exe"), app_ / "CorvaneApp.exe");
    test::write_file(app_ / "payload.bin", std::string(kOldPayloadBytes, 'v'));
    fs::create_directories(app_ / "data" / "empty");
    test::write_file(app_ / "data" / "settings.ini", "[old]\n");
    const std::string app = app_.string();
    const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    struct Case {
        const char* name;
        const char* fault;
        std::string expected_log;  // a line part that must be logged
    } cases[] = {
        {"a folder that became a link", "data_became_a_link",
         "): Failed to take a snapshot of " + app + ": cannot list the folder: "},
        {"a file that became a link", "payload_became_a_link",
         "): Failed to take a snapshot of " + app + ": cannot read " + app + "\\payload.bin: "},
        {"a file with a second name", "payload_hard_link",
         "): Failed to take a snapshot of " + app + ": cannot read " + app + "\\payload.bin: "},
    };
    for (const Case& c : cases) {
        fs::remove(app_ / "upd" / "updater.old.exe");
        const std::string before = folder_listing(app_);
        const std::set<fs::path> folders_before = test::copy_folders();
        fs::remove(fs::path(service_folder) / "update.log");
        fs::remove(dir_.path() / "service-events.txt");
        std::string out;
        EXPECT_EQ(
            test::run_process_output(
                test::quoted(test::own_path()) + L" --child=service_with_fault " + widen(c.fault) +
                    L" install " + widen(id) + L" " + test::quoted(widen(installer_)),
                dir_.path().wstring().c_str(), out, 60000),
            1u)
            << c.name << "\n"
            << out;
        // One entry when the request is taken, one with the reason when it is refused.
        EXPECT_EQ(test::read_file(dir_.path() / "service-events.txt"),
                  "4 Accepted request " + id + " for " + installer_ + ".\n2 Request " + id +
                      " for " + installer_ + ": refused (snapshot): Failed to take a snapshot of " +
                      app + ".\n")
            << c.name;
        const std::string text = test::read_file(fs::path(service_folder) / "update.log");
        EXPECT_NE(text.find(c.expected_log), std::string::npos) << c.name << "\n" << text;
        EXPECT_EQ(text.find("\\setup.exe /S"), std::string::npos) << c.name << "\n" << text;
        service::Status status;
        ASSERT_EQ(service::read_status(service_folder, id, status), 0) << c.name;
        EXPECT_EQ(status.result, "failed") << c.name;
        EXPECT_EQ(status.reason, "snapshot") << c.name;
        EXPECT_EQ(folder_listing(app_), before) << c.name;
        EXPECT_EQ(test::copy_folders(), folders_before) << c.name;
    }
    std::error_code ignored;
    fs::remove_all(parent, ignored);
    fs::remove_all(service_folder, ignored);
}

// Whatever holds the install folder is closed before the real installer runs, so that it
// can replace every program there: the application and a helper from the folder, asked
// first; what ignores the request, ended after the grace period; the application's name
// anywhere, as always. A process elsewhere with a DLL from the folder is named and left
// running, and so is a program from a folder whose name merely starts alike.
TEST_F(InstallPhase, ClosesWhatHoldsTheFolder) {
    fs::copy_file(test::own_path(), app_ / "upd" / "updater.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path elsewhere = dir_.path() / "elsewhere";
    const fs::path alike = dir_.path() / "app-old";
    fs::create_directories(elsewhere);
    fs::create_directories(alike);
    const fs::path v1 = test::sibling_path(L"e2e\\v1\\CorvaneApp.exe");
    const std::string v2_md5 = test::md5_of(test::sibling_path(L"e2e\\v2\\CorvaneApp.exe"));
    const fs::path own = test::own_path();
    const fs::path dll = app_ / "CorvaneShellExt.dll";
    fs::copy_file(test::sibling_path(L"planted_marker.dll"), dll);
    std::wstring capitals = app_.wstring();
    for (wchar_t& unit : capitals) unit = towupper(unit);
    enum Outcome { kClosed, kEnded, kTaskkill, kLeftRunning };
    struct Case {
        const char* name;
        fs::path image;  // a copy of `program` runs from here
        fs::path program;
        std::wstring arguments;
        const char* fault;
        Outcome outcome;
        std::wstring location;  // as registered
    } cases[] = {
        {"a helper, the folder registered in capitals", app_ / "CorvaneHelper.exe", v1, L"", "none",
         kClosed, capitals},
        {"the application, which saves", app_ / "CorvaneApp.exe", v1, L"", "none", kClosed,
         app_.wstring()},
        {"an application that ignores the request", app_ / "CorvaneApp.exe", v1, L" /ignore-close",
         "none", kEnded, app_.wstring()},
        {"a helper that cannot be terminated", app_ / "CorvaneHelper.exe", v1, L" /ignore-close",
         "terminate", kTaskkill, app_.wstring()},
        {"the application's name elsewhere", elsewhere / "CorvaneApp.exe", own, L" --child=idle",
         "none", kEnded, app_.wstring()},
        {"a helper from a folder whose name starts alike", alike / "CorvaneHelper.exe", v1, L"",
         "none", kLeftRunning, app_.wstring()},
        // Named and left: neither asked nor ended, least of all by its id alone.
        {"the application's name elsewhere, not to be opened for ending",
         elsewhere / "CorvaneApp.exe", own, L" --child=idle", "refuse_ending", kLeftRunning,
         app_.wstring()},
        {"a DLL from the folder in a program elsewhere", own, own,
         L" --child=load_library " + test::quoted(dll.wstring()), "none", kLeftRunning,
         app_.wstring()},
    };
    for (const Case& c : cases) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        register_install_location(REG_SZ, c.location);
        for (const char* name : {"CorvaneApp.exe", "CorvaneHelper.exe"})
            fs::copy_file(v1, app_ / name, fs::copy_options::overwrite_existing);
        test::remove_update_logs(app_);
        for (const char* name : {"window.txt", "CorvaneApp-setup.log", "CorvaneApp.state",
                                 "CorvaneApp.saved", "CorvaneHelper.saved"})
            fs::remove(app_ / name);
        fs::copy_file(test::sibling_path(L"e2e\\CorvaneApp-v2-small-setup.exe"), installer_,
                      fs::copy_options::overwrite_existing);
        if (c.image != c.program)
            fs::copy_file(c.program, c.image, fs::copy_options::overwrite_existing);
        const utils::ScopedKernelHandle process = test::start_process(
            test::quoted(c.image.wstring()) + c.arguments, c.image.parent_path().c_str());
        ASSERT_TRUE(process) << c.name;
        const DWORD id = GetProcessId(process.get());
        // Ready: its window shows, or the DLL has left its mark.
        const auto ready = [&] {
            if (c.program == v1) return shows_window(id);
            return c.image != own || fs::exists(dll.string() + ".fired");
        };
        ASSERT_TRUE(test::wait_until(ready, 20000)) << c.name;

        EXPECT_EQ(run_watched_install_phase(c.fault), 0u) << c.name << "\n" << log();
        const bool running = WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);

        const std::string text = log();
        const std::string shown = c.image.string() + " (process " + std::to_string(id) + ")";
        const std::string closing = "closing::close_processes(";
        const std::string forced =
            "): " + shown + " did not close within 5.0 s; ending it by force.";
        EXPECT_EQ(running, c.outcome == kLeftRunning) << c.name;
        EXPECT_EQ(lines_with(text, " INFO  " + closing, "): " + shown + " closed when asked."),
                  c.outcome == kClosed ? 1u : 0u)
            << c.name << "\n"
            << text;
        EXPECT_EQ(lines_with(text, " WARN  " + closing,
                             "): " + shown + " cannot be opened to be closed: "),
                  std::string(c.fault) == "refuse_ending" ? 1u : 0u)
            << c.name << "\n"
            << text;
        EXPECT_EQ(lines_with(text, " WARN  " + closing, forced),
                  c.outcome == kEnded || c.outcome == kTaskkill ? 1u : 0u)
            << c.name << "\n"
            << text;
        // Closed, it ends with its own 0; ended by TerminateProcess, with the updater's -1.
        if (c.outcome == kClosed || c.outcome == kEnded) {
            EXPECT_EQ(code, c.outcome == kClosed ? 0u : 0xffffffffu) << c.name;
        }
        EXPECT_EQ(lines_with(text, " WARN  " + closing,
                             "): Maybe failed to terminate process(" + std::to_string(id) +
                                 "), switch to taskkill."),
                  c.outcome == kTaskkill ? 1u : 0u)
            << c.name << "\n"
            << text;
        EXPECT_EQ(lines_with(text, " WARN  closing::report_folder_holders(",
                             "): Process " + std::to_string(id) + " (" + c.image.string() +
                                 ") has " + dll.string() + " loaded from " + app_.string() +
                                 "; it is left running."),
                  c.image == own ? 1u : 0u)
            << c.name << "\n"
            << text;
        if (c.program == v1 && c.outcome == kClosed) {
            EXPECT_EQ(test::read_file(c.image.parent_path() / (c.image.stem().string() + ".saved")),
                      "saved")
                << c.name;
        }
        // When the installer started, the application had saved and no stand-in's window was
        // left but the one from elsewhere.
        const std::string setup = test::read_file(app_ / "CorvaneApp-setup.log");
        const bool window_left = c.outcome == kLeftRunning && c.program == v1;
        EXPECT_EQ(setup.find("client_window=0\n") == std::string::npos, window_left)
            << c.name << "\n"
            << setup;
        const bool saved = c.image == app_ / "CorvaneApp.exe" && c.outcome == kClosed;
        EXPECT_NE(setup.find(saved ? "client_saved=1\n" : "client_saved=0\n"), std::string::npos)
            << c.name << "\n"
            << setup;

        // The installer replaced both programs, and the new application runs.
        EXPECT_EQ(test::md5_of(app_ / "CorvaneApp.exe"), v2_md5) << c.name;
        EXPECT_EQ(test::md5_of(app_ / "CorvaneHelper.exe"), v2_md5) << c.name;
        EXPECT_EQ(test::read_file(app_ / "window.txt"), "100 更新已完成") << c.name;
        EXPECT_TRUE(test::wait_until(
            [&] {
                return test::read_file(app_ / "CorvaneApp.state").find("version=2\n") !=
                       std::string::npos;
            },
            20000))
            << c.name;
        EXPECT_TRUE(test::end_processes_in(app_)) << c.name;
    }
}

}  // namespace
