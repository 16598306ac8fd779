#include <cwchar>
#include <vector>

#include "log/log.h"
#include "utils/process.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"
#include "utils/text.h"
#include "utils/win.h"
// After win.h.
#include <userenv.h>

namespace utils {

unsigned long g_kill_wait_ms = 10000;

namespace {

struct EndedProcess {
    DWORD id;
    ScopedKernelHandle handle;  // null when not even a handle to wait on could be had
};

// Wine fails CreateProcessW with ERROR_INTERNAL_ERROR when the new process ended before
// its start was complete, so before any of the program's own code ran: wineserver then
// has neither an exit code nor a started process to give. A whole test run saw it once,
// for the installer, and the update was rolled back for it. Nothing of the program ran,
// so starting it again changes nothing but the time: it is tried again, twice at most.
constexpr int kStartAttempts = 3;
constexpr DWORD kStartRetryMs = 200;

// Starts `program` by its full path, hidden, with CreateProcessW: the application name is
// given, so nothing is looked up on the search path or in the registry, where the user's
// own file associations would choose what an elevated run starts. `environment` is a block
// for CREATE_UNICODE_ENVIRONMENT, or null for ours; `folder` the working folder, or null
// for ours. The handles are the caller's; false with the thread's last error set.
bool start_hidden(const std::wstring& program, const std::wstring& parameters, wchar_t* environment,
                  const wchar_t* folder, PROCESS_INFORMATION& started) {
    std::wstring command_line = L"\"" + program + L"\"";
    if (!parameters.empty()) command_line += L" " + parameters;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    for (int attempt = 1;; ++attempt) {
        if (system_calls().create_process_w(program.c_str(), &command_line[0], nullptr, nullptr,
                                            FALSE, CREATE_UNICODE_ENVIRONMENT, environment, folder,
                                            &startup, &started))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) return false;
        LOG_WARN("utils::start_hidden", "%s ended before it had started: starting it again.\n",
                 narrow(program).c_str());
        Sleep(kStartRetryMs);
    }
}

// The system's environment, as a service would get it, with TEMP and TMP set to
// `temp_folder`, as a block of "NAME=value" strings ending in an empty one; empty, with the
// thread's last error set, when the system's block cannot be had. Not this process's: who
// started the updater chose that, and their PATH or __COMPAT_LAYER must not reach a
// program that runs with administrator rights.
std::vector<wchar_t> system_environment_with_temp(const std::wstring& temp_folder) {
    std::vector<wchar_t> block;
    void* strings = nullptr;
    if (!CreateEnvironmentBlock(&strings, nullptr, FALSE)) return block;
    for (const wchar_t* entry = static_cast<const wchar_t*>(strings); *entry != L'\0';
         entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"TEMP=", 5) == 0 || _wcsnicmp(entry, L"TMP=", 4) == 0) continue;
        block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    DestroyEnvironmentBlock(strings);
    for (const wchar_t* name : {L"TEMP=", L"TMP="}) {
        const std::wstring entry = name + temp_folder;
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    block.push_back(L'\0');
    return block;
}

// taskkill ends every process of the name, so that one run covers the later entries too.
void hand_to_taskkill(const PROCESSENTRY32W& entry) {
    LOG_WARN("utils::kill_process", "Maybe failed to terminate process(%ld), switch to taskkill.\n",
             static_cast<long>(entry.th32ProcessID));
    // The snapshot's own spelling of the name.
    start_taskkill(std::wstring(L"/im ") + entry.szExeFile + L" /f");
}

// TerminateProcess and taskkill only start the end of a process; its files stay open until
// it is gone, and the installer that runs next must be able to replace them.
void wait_until_gone(const std::vector<EndedProcess>& ended) {
    const ULONGLONG deadline = GetTickCount64() + g_kill_wait_ms;
    for (const EndedProcess& process : ended) {
        if (!process.handle) continue;
        const ULONGLONG now = GetTickCount64();
        const DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(process.handle.get(), remaining) != WAIT_OBJECT_0) {
            LOG_WARN("utils::kill_process", "Process %lu still running after termination.\n",
                     static_cast<unsigned long>(process.id));
        }
    }
}

}  // namespace

// The case folding of the C locale, which the updater never changes: A to Z only. Written
// out so that a locale set elsewhere in the process cannot widen it.
static wchar_t fold_ascii(wchar_t unit) {
    return unit >= L'A' && unit <= L'Z' ? unit - L'A' + L'a' : unit;
}

// The whole names must be equal: "CorvaneApp.exe.bak" is not "CorvaneApp.exe".
bool same_image_name(const std::wstring& wanted, const wchar_t (&found)[MAX_PATH]) {
    size_t i = 0;
    for (; i < wanted.size(); ++i) {
        if (i == MAX_PATH || found[i] == L'\0' || fold_ascii(found[i]) != fold_ascii(wanted[i]))
            return false;
    }
    return i < MAX_PATH && found[i] == L'\0';
}

void start_taskkill(const std::wstring& parameters) {
    // By its full path in System32: a bare name is looked for in the working folder and in
    // our own folder first, where anyone who can write there could put a taskkill.exe of
    // their own for the elevated run to start. Without that folder nothing is started; the
    // caller's wait then reports the process as still running.
    wchar_t system_folder[MAX_PATH] = {0};
    const UINT length = GetSystemDirectoryW(system_folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    PROCESS_INFORMATION started{};
    if (!start_hidden(std::wstring(system_folder) + L"\\taskkill.exe", parameters, nullptr, nullptr,
                      started))
        return;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
}

int start_prog_wait(const std::string& program, const std::string& parameters,
                    unsigned long* exit_code, const std::wstring& temp_folder,
                    unsigned long limit_ms) {
    const std::wstring file = widen(program);
    // A folder or a document is no program to run and wait for.
    DWORD binary_type = 0;
    if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !GetBinaryTypeW(file.c_str(), &binary_type)) {
        LOG_WARN("utils::start_prog_wait", "Failed to start %s %s: not a program.\n",
                 program.c_str(), parameters.c_str());
        return -1;
    }
    std::vector<wchar_t> environment;
    if (!temp_folder.empty()) {
        environment = system_environment_with_temp(temp_folder);
        if (environment.empty()) {
            LOG_WARN("utils::start_prog_wait", "Failed to start %s %s: no system environment: %s",
                     program.c_str(), parameters.c_str(), last_error_text().c_str());
            return -1;
        }
    }
    PROCESS_INFORMATION started{};
    if (!start_hidden(file, widen(parameters), environment.empty() ? nullptr : environment.data(),
                      temp_folder.empty() ? nullptr : temp_folder.c_str(), started)) {
        LOG_WARN("utils::start_prog_wait", "Failed to start %s %s: %s", program.c_str(),
                 parameters.c_str(), last_error_text().c_str());
        return -1;
    }
    ScopedKernelHandle thread(started.hThread);
    ScopedKernelHandle process(started.hProcess);
    // Without a process there is nothing to wait for and no exit code: that is no install.
    if (!process) {
        LOG_WARN("utils::start_prog_wait", "Failed to start %s %s: no process to wait for.\n",
                 program.c_str(), parameters.c_str());
        return -1;
    }
    if (WaitForSingleObject(process.get(), limit_ms) == WAIT_TIMEOUT) {
        LOG_WARN("utils::start_prog_wait", "%s %s still runs after %lu s: it is ended.\n",
                 program.c_str(), parameters.c_str(), limit_ms / 1000);
        system_calls().terminate_process(process.get(), ERROR_TIMEOUT);
        WaitForSingleObject(process.get(), INFINITE);
    }
    DWORD code = 0;
    if (exit_code != nullptr && GetExitCodeProcess(process.get(), &code)) *exit_code = code;
    return 0;
}

int kill_process(const std::string& image_name) {
    ScopedKernelHandle snapshot(system_calls().create_toolhelp32_snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LOG_WARN("utils::kill_process", "CreateToolhelp32Snapshot (of processes)\n");
        return -1;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!system_calls().process32_first_w(snapshot.get(), &entry)) {
        LOG_WARN("utils::kill_process", "Failed to Process32First for %s\n",
                 last_error_text().c_str());
        return -1;
    }

    const std::wstring wanted = widen(image_name);
    std::vector<EndedProcess> ended;
    do {
        if (!same_image_name(wanted, entry.szExeFile)) continue;
        const DWORD id = entry.th32ProcessID;
        ScopedKernelHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, id));
        if (!process || !system_calls().terminate_process(process.get(), 0xFFFFFFFF)) {
            hand_to_taskkill(entry);
            // All access may be refused where waiting is still allowed.
            if (!process) process.reset(OpenProcess(SYNCHRONIZE, FALSE, id));
        }
        ended.push_back(EndedProcess{id, std::move(process)});
    } while (Process32NextW(snapshot.get(), &entry));
    snapshot.reset();

    wait_until_gone(ended);
    return 0;
}

}  // namespace utils
