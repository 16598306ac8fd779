#include "win_process.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "status_lines.h"
#include "test_support.h"
#include "ui/progress_window.h"
#include "ui/window_texts.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
// After win.h.
#include <shlobj.h>
#include <tlhelp32.h>

namespace test {

namespace {

// Waits at most `timeout_ms` for the process and kills it after that. Its exit code, or
// 0xbeef when it had to be killed.
DWORD finish(const utils::ScopedKernelHandle& process, DWORD timeout_ms) {
    DWORD code = 0xbeef;
    if (WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.get(), &code);
    else
        TerminateProcess(process.get(), 0xbeef);
    return code;
}

}  // namespace

std::wstring own_path() {
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring sibling_path(const wchar_t* name) {
    return (std::filesystem::path(own_path()).parent_path() / name).wstring();
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

void place_updater(const std::filesystem::path& app_folder) {
    std::filesystem::create_directories(app_folder / "upd");
    std::filesystem::copy_file(sibling_path(L"updater.exe"), app_folder / "upd" / "updater.exe");
}

bool hold_own_image() {
    // Never closed: the process's end lets go of it, as it does of a running image.
    const HANDLE image = CreateFileW(own_path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    return image != INVALID_HANDLE_VALUE;
}

std::wstring progress_window_status(const wchar_t* title, HWND* window) {
    const HWND found = FindWindowW(L"Sample Window Class", title);
    if (window != nullptr) *window = found;
    wchar_t text[256] = {0};
    if (found != nullptr) GetWindowTextW(GetDlgItem(found, kProgressStatusId), text, 256);
    return text;
}

FailureWindowCloser::FailureWindowCloser() {
    static const WindowTexts tables[] = {BRAND_WINDOW_TEXTS};
    for (const WindowTexts& texts : tables) {
        for (const wchar_t* text :
             {texts.failed, texts.rolled_back, texts.publisher_refused, texts.older})
            failures_.push_back(text);
    }
    thread_ = std::thread([this] { close_failures(); });
}

FailureWindowCloser::~FailureWindowCloser() {
    stop_ = true;
    thread_.join();
}

void FailureWindowCloser::close_failures() {
    for (; !stop_; Sleep(100)) {
        HWND window = nullptr;
        const std::wstring status = progress_window_status(nullptr, &window);
        for (const std::wstring& failure : failures_) {
            if (!status.empty() && failure == status) PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
}

utils::ScopedKernelHandle start_process(std::wstring command, const wchar_t* folder, DWORD flags) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, flags, nullptr, folder,
                        &startup, &process))
        return utils::ScopedKernelHandle();
    CloseHandle(process.hThread);
    return utils::ScopedKernelHandle(process.hProcess);
}

DWORD run_process(std::wstring command, DWORD flags, const wchar_t* folder, DWORD timeout_ms) {
    const utils::ScopedKernelHandle process = start_process(std::move(command), folder, flags);
    return process ? finish(process, timeout_ms) : 0xdead;
}

DWORD run_process_output(std::wstring command, const wchar_t* folder, std::string& output,
                         DWORD timeout_ms) {
    // A file rather than a pipe: nobody has to drain it while the process runs.
    wchar_t temp_folder[MAX_PATH] = {0};
    wchar_t temp_file[MAX_PATH] = {0};
    GetTempPathW(MAX_PATH, temp_folder);
    GetTempFileNameW(temp_folder, L"out", 0, temp_file);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(temp_file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot make the output file in %ls: %lu\n", temp_folder,
                     GetLastError());
        return 0xdead;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = file;
    startup.hStdError = file;
    PROCESS_INFORMATION process{};
    DWORD code = 0xdead;
    // Once, in a full run of the suite, a start failed and the updater wrote nothing at all.
    // A failed start says nothing about the updater, so it is tried again, and every
    // failure is told with its error.
    BOOL started = FALSE;
    for (int attempt = 1; attempt <= 3 && !started; ++attempt) {
        started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, folder,
                                 &startup, &process);
        if (!started) {
            std::fprintf(stderr, "CreateProcessW failed with %lu (attempt %d)\n", GetLastError(),
                         attempt);
            Sleep(500);
        }
    }
    if (started) {
        CloseHandle(process.hThread);
        code = finish(utils::ScopedKernelHandle(process.hProcess), timeout_ms);
    }
    CloseHandle(file);
    output = read_file(temp_file);
    DeleteFileW(temp_file);
    return code;
}

namespace {

// Calls `visit` with each process whose image lies in `folder` (not below it), opened
// with `access`. The number of such processes.
template <typename Visit>
int for_each_process_in(const std::filesystem::path& folder, DWORD access, Visit visit) {
    utils::ScopedKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;
    int found = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        utils::ScopedKernelHandle process(
            OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[MAX_PATH] = {0};
        DWORD size = MAX_PATH;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &size)) continue;
        std::error_code ignored;
        if (!std::filesystem::equivalent(std::filesystem::path(image).parent_path(), folder,
                                         ignored))
            continue;
        ++found;
        visit(process.get());
    }
    return found;
}

}  // namespace

bool wait_for_processes_in(const std::filesystem::path& folder, DWORD timeout_ms) {
    bool all_ended = true;
    const int found = for_each_process_in(folder, SYNCHRONIZE, [&](HANDLE process) {
        if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) all_ended = false;
    });
    return found >= 0 && all_ended;
}

bool end_processes_in(const std::filesystem::path& folder) {
    for (int pass = 0; pass < 10; ++pass) {
        const int found =
            for_each_process_in(folder, SYNCHRONIZE | PROCESS_TERMINATE, [](HANDLE process) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
            });
        if (found == 0) return true;
        Sleep(100);
    }
    return false;
}

DWORD run_child(const std::string& name, const std::wstring& arguments, DWORD flags) {
    return run_process(quoted(own_path()) + L" --child=" + widen(name) + arguments, flags);
}

std::wstring install_phase_arguments(const std::string& installer, const std::string& digest) {
    return L" " + quoted(widen(kPhaseMarker)) + L" " + quoted(widen(installer)) +
           (digest.empty() ? L"" : L" " + widen(digest));
}

HINSTANCE WINAPI refused_shell_execute(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT) {
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(5));
}

int idle_as_client() {
    if (!hold_own_image()) return 3;
    Sleep(INFINITE);
    return 0;
}

std::string error_text(DWORD code) {
    SetLastError(code);
    return last_error_text();
}

bool taskbar_ready() {
    GetDesktopWindow();
    for (int i = 0; i < 300; ++i) {
        if (FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr) return true;
        Sleep(50);
    }
    return false;
}

std::filesystem::path program_data() {
    wchar_t path[MAX_PATH] = {0};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::set<std::filesystem::path> copy_folders() {
    std::set<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(program_data())) {
        if (entry.path().filename().wstring().rfind(BRAND_PROTECTED_FOLDER_PREFIX_W, 0) == 0)
            found.insert(entry.path());
    }
    return found;
}

std::filesystem::path elevated_log() {
    return program_data() / BRAND_DATA_FOLDER_VENDOR_W / BRAND_DATA_FOLDER_PRODUCT_W / "update.log";
}

std::string update_logs(const std::filesystem::path& folder) {
    return read_text_file(folder / "update.log") + read_text_file(elevated_log());
}

void remove_update_logs(const std::filesystem::path& folder) {
    for (const std::filesystem::path& log : {folder / "update.log", elevated_log()})
        remove_once_let_go(log, 20000);
}

void UpdaterProcessTest::SetUp() {
    ASSERT_EQ(utils::get_app_data_path(utils::kUpdateFolderSuffix, update_folder_), 0);
    std::filesystem::remove_all(std::filesystem::u8path(update_folder_));
    // The updater lives in a sub-folder of the client application's folder.
    app_ = dir_.path() / "app";
    place_updater(app_);
    remove_once_let_go(elevated_log(), 20000);
    updater_ = app_ / "upd" / "updater.exe";
    have_servers_ = servers_.load();
    if (have_servers_) {
        md5_ = md5_of(servers_.file("small.bin"));
        ASSERT_EQ(md5_.size(), 32u);
    }
}

void UpdaterProcessTest::TearDown() {
    std::error_code ignored;
    if (!update_folder_.empty())
        std::filesystem::remove_all(std::filesystem::u8path(update_folder_), ignored);
}

DWORD UpdaterProcessTest::run_in_app(const std::wstring& command, DWORD timeout_ms) {
    const auto start = std::chrono::steady_clock::now();
    const DWORD code = run_process_output(command, app_.wstring().c_str(), out_, timeout_ms);
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return code;
}

DWORD UpdaterProcessTest::run_download_phase(const std::string& url, const std::string& digest,
                                             DWORD timeout_ms) {
    return run_in_app(updater_command() + L" " + widen(url) + L" " + widen(digest), timeout_ms);
}

std::wstring UpdaterProcessTest::updater_command() const { return quoted(updater_.wstring()); }

bool UpdaterProcessTest::wait_for_lines(const std::string& part, size_t count,
                                        int timeout_ms) const {
    return wait_until([&] { return count_lines(log(), part) >= count; }, timeout_ms);
}

namespace {

// Where the shell keeps the folder: the first is what the system reads, the second the
// older copy that some programs still read.
struct ShellFolderValue {
    const wchar_t* key;
    DWORD type;
};
constexpr ShellFolderValue kAppDataValues[2] = {
    {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", REG_EXPAND_SZ},
    {L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", REG_SZ}};

void set_app_data(HKEY key, DWORD type, const std::wstring& text) {
    RegSetValueExW(key, L"AppData", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

namespace {

const wchar_t* const kSystemEnvironment =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

}  // namespace

ScopedSystemVariable::ScopedSystemVariable(const wchar_t* name, const std::wstring& value)
    : name_(name) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSystemEnvironment, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

ScopedSystemVariable::~ScopedSystemVariable() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSystemEnvironment, name_);
}

ScopedAppData::ScopedAppData(const std::wstring& folder) {
    for (const ShellFolderValue& value : kAppDataValues) {
        HKEY key = nullptr;
        RegOpenKeyExW(HKEY_CURRENT_USER, value.key, 0, KEY_ALL_ACCESS, &key);
        wchar_t old[1024] = {0};
        DWORD size = sizeof old;
        DWORD type = 0;
        saved_.push_back(RegQueryValueExW(key, L"AppData", nullptr, &type,
                                          reinterpret_cast<BYTE*>(old), &size) == 0
                             ? std::wstring(old)
                             : std::wstring());
        set_app_data(key, value.type, folder);
        RegCloseKey(key);
    }
}

ScopedAppData::~ScopedAppData() {
    for (size_t i = 0; i < saved_.size(); ++i) {
        HKEY key = nullptr;
        RegOpenKeyExW(HKEY_CURRENT_USER, kAppDataValues[i].key, 0, KEY_ALL_ACCESS, &key);
        if (saved_[i].empty())
            RegDeleteValueW(key, L"AppData");
        else
            set_app_data(key, kAppDataValues[i].type, saved_[i]);
        RegCloseKey(key);
    }
}

}  // namespace test
