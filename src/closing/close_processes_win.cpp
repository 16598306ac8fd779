#include <map>
#include <memory>

#include "closing/close_processes.h"
#include "closing/folder_match.h"
#include "log/log.h"
#include "utils/process.h"
#include "utils/scoped_handle.h"
#include "utils/system_calls.h"
#include "utils/text.h"

namespace closing {

namespace {

using utils::ScopedKernelHandle;

const char* const kClose = "closing::close_processes";
// How long the processes ended by force have, in all, to be gone.
constexpr ULONGLONG kExitWaitMs = 10000;
// What a process is looked at with (waiting, reading its image), and what it must be
// opened with to be closed: waiting and ending it.
constexpr DWORD kWatchAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kEndAccess = SYNCHRONIZE | PROCESS_TERMINATE;

struct Target {
    DWORD id;
    std::string shown;           // its image's full path, or the process list's name for it
    ScopedKernelHandle process;  // kEndAccess at least, never null
    bool forced;
};

DWORD remaining_ms(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Every process that the request names, from one look at the process list.
int find_targets(const CloseRequest& request, const FolderMatch& match,
                 std::vector<Target>& targets) {
    const std::wstring name = widen(request.image_name);
    return for_each_process(kClose, [&](const PROCESSENTRY32W& entry) {
        const DWORD id = entry.th32ProcessID;
        const utils::SystemCalls& calls = utils::system_calls();
        const ScopedKernelHandle watch(calls.open_process(kWatchAccess, FALSE, id));
        const std::wstring image = watch ? process_image(watch.get()) : std::wstring();
        const bool by_name = !name.empty() && utils::same_image_name(name, entry.szExeFile);
        if (!by_name && (image.empty() || !match.holds(image))) return;
        const std::string shown = narrow(image.empty() ? entry.szExeFile : image);
        // Held from here on, the handle keeps the process's id from being reused before
        // the process is ended, also by taskkill with that id. A process that cannot be
        // held is not ours to end: its id alone could name another process by then.
        ScopedKernelHandle process(calls.open_process(kEndAccess, FALSE, id));
        if (!process) {
            LOG_WARN(kClose, "%s (process %lu) cannot be opened to be closed: %s", shown.c_str(),
                     static_cast<unsigned long>(id), last_error_text().c_str());
            return;
        }
        targets.push_back(Target{id, shown, std::move(process), false});
    });
}

// The top-level windows of this run's desktop, by the process that owns them.
using WindowsByProcess = std::map<DWORD, std::vector<HWND>>;

BOOL CALLBACK add_window(HWND window, LPARAM context) {
    DWORD id = 0;
    if (GetWindowThreadProcessId(window, &id) != 0)
        (*reinterpret_cast<WindowsByProcess*>(context))[id].push_back(window);
    return TRUE;
}

// What one asking thread owns: the windows of one process, and the grace period's end.
struct Asking {
    std::vector<HWND> windows;
    ULONGLONG deadline;
};

// As Windows asks at a log-off: every window first, and the session ends for them only when
// all agreed. WM_CLOSE follows either way, for programs that save when the session ends
// but close only with their window. A hung window costs no more than the grace period.
DWORD WINAPI ask_to_close(void* parameter) {
    const std::unique_ptr<Asking> asking(static_cast<Asking*>(parameter));
    const UINT flags = SMTO_ABORTIFHUNG;
    BOOL agreed = TRUE;
    for (HWND window : asking->windows) {
        DWORD_PTR answer = FALSE;
        if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, flags,
                                 remaining_ms(asking->deadline), &answer) ||
            answer == FALSE)
            agreed = FALSE;
    }
    for (HWND window : asking->windows) {
        SendMessageTimeoutW(window, WM_ENDSESSION, agreed, ENDSESSION_CLOSEAPP, flags,
                            remaining_ms(asking->deadline), nullptr);
    }
    for (HWND window : asking->windows) PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

// Asks every target with a window here, each on a thread of its own, so that a program
// that keeps its answer waiting holds up no other. The threads' handles.
std::vector<ScopedKernelHandle> ask_targets(const std::vector<Target>& targets,
                                            ULONGLONG deadline) {
    WindowsByProcess windows;
    EnumWindows(add_window, reinterpret_cast<LPARAM>(&windows));
    std::vector<ScopedKernelHandle> threads;
    for (const Target& target : targets) {
        const auto found = windows.find(target.id);
        if (found == windows.end()) continue;
        // Owned by the asker from here on, which may outlive this call.
        Asking* asking = new Asking{found->second, deadline};
        ScopedKernelHandle thread(CreateThread(nullptr, 0, ask_to_close, asking, 0, nullptr));
        if (thread) {
            threads.push_back(std::move(thread));
        } else {
            // Without a thread of its own, the process is asked here, at the others' expense.
            ask_to_close(asking);
        }
    }
    return threads;
}

bool has_ended(const Target& target) {
    return WaitForSingleObject(target.process.get(), 0) == WAIT_OBJECT_0;
}

// By the process's id, which the target's handle keeps from being reused, so that nothing
// else of its name goes.
void hand_to_taskkill(DWORD id) {
    LOG_WARN(kClose, "Maybe failed to terminate process(%ld), switch to taskkill.\n",
             static_cast<long>(id));
    utils::start_taskkill(L"/pid " + std::to_wstring(id) + L" /f");
}

// With the updater's own exit code, as the client application has always been ended.
void end_by_force(Target& target, unsigned grace_ms) {
    LOG_WARN(kClose, "%s (process %lu) did not close within %.1f s; ending it by force.\n",
             target.shown.c_str(), static_cast<unsigned long>(target.id), grace_ms / 1000.0);
    target.forced = true;
    if (!utils::system_calls().terminate_process(target.process.get(), 0xFFFFFFFF))
        hand_to_taskkill(target.id);
}

// TerminateProcess and taskkill only start the end of a process; its files stay open until
// it is gone, and the installer that runs next must be able to replace them.
void wait_until_gone(const std::vector<Target>& targets) {
    const ULONGLONG deadline = GetTickCount64() + kExitWaitMs;
    for (const Target& target : targets) {
        if (!target.forced) continue;
        if (WaitForSingleObject(target.process.get(), remaining_ms(deadline)) != WAIT_OBJECT_0) {
            LOG_WARN(kClose, "Process %lu still running after termination.\n",
                     static_cast<unsigned long>(target.id));
        }
    }
}

}  // namespace

int close_processes(const CloseRequest& request, std::future<int>* holders) {
    const FolderMatch match(request.folder, request.spared);
    std::vector<Target> targets;
    if (find_targets(request, match, targets) < 0) return -1;

    const ULONGLONG deadline = GetTickCount64() + request.grace_ms;
    const std::vector<ScopedKernelHandle> askers = ask_targets(targets, deadline);
    for (const Target& target : targets)
        WaitForSingleObject(target.process.get(), remaining_ms(deadline));
    for (Target& target : targets) {
        if (has_ended(target)) {
            LOG_INFO(kClose, "%s (process %lu) closed when asked.\n", target.shown.c_str(),
                     static_cast<unsigned long>(target.id));
        } else {
            end_by_force(target, request.grace_ms);
        }
    }
    wait_until_gone(targets);
    // The askers are through once their processes have ended. One still waiting for a
    // window after the grace period is left to end on its own: it owns what it uses.
    for (const ScopedKernelHandle& asker : askers)
        WaitForSingleObject(asker.get(), remaining_ms(deadline));
    if (holders == nullptr) {
        report_folder_holders(match);
    } else {
        *holders = std::async(std::launch::async | std::launch::deferred,
                              [match] { return report_folder_holders(match); });
    }
    return static_cast<int>(targets.size());
}

}  // namespace closing
