// Closing what holds the install folder, under Wine, against the kill of the client
// application that the elevated run did before (utils::kill_process: TerminateProcess at
// once): close_bench <folder> <rounds>. The folder holds CorvaneApp.exe and
// CorvaneHelper.exe, the stand-in application with a window. Each round times, once the
// programs it starts show their windows:
//   kill      CorvaneApp.exe running, ended by kill_process
//   ask       CorvaneApp.exe running, closed by close_processes: asked, it closes
//   helper    CorvaneApp.exe and CorvaneHelper.exe running, both closed by close_processes
//   ignoring  CorvaneApp.exe /ignore-close running: close_processes waits the grace period
//             and ends it by force
//   holders   nothing running: the look for modules loaded from the folder, on its own
// and prints the medians, what asking adds to the kill (target at most 0.2 s) and the
// whole wait for a program that ignores the request (target under 6 s).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "closing/close_processes.h"
#include "closing/folder_match.h"
#include "utils/process.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"

namespace {

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

BOOL CALLBACK find_window(HWND window, LPARAM context) {
    DWORD* wanted = reinterpret_cast<DWORD*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != *wanted || !IsWindowVisible(window)) return TRUE;
    *wanted = 0;
    return FALSE;
}

// Starts folder\name with `arguments` and waits until it shows its window. False when it
// did not within 20 s.
bool start_stand_in(const std::wstring& folder, const wchar_t* name, const wchar_t* arguments) {
    std::wstring command = L"\"" + folder + L"\\" + name + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process))
        return false;
    utils::ScopedKernelHandle thread(process.hThread);
    utils::ScopedKernelHandle handle(process.hProcess);
    for (int waited = 0; waited < 20000; waited += 10) {
        DWORD wanted = process.dwProcessId;
        EnumWindows(find_window, reinterpret_cast<LPARAM>(&wanted));
        if (wanted == 0) return true;
        Sleep(10);
    }
    return false;
}

struct Round {
    const char* name;
    std::vector<const wchar_t*> names;  // started before the timing
    const wchar_t* arguments;
    bool kill;  // kill_process rather than close_processes
    std::vector<double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: close_bench <folder> <rounds>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int rounds = std::max(1, std::atoi(argv[2]));
    closing::CloseRequest request;
    request.folder = folder;
    request.image_name = "CorvaneApp.exe";
    std::vector<Round> kinds = {
        {"kill", {L"CorvaneApp.exe"}, L"", true, {}},
        {"ask", {L"CorvaneApp.exe"}, L"", false, {}},
        {"helper", {L"CorvaneApp.exe", L"CorvaneHelper.exe"}, L"", false, {}},
        {"ignoring", {L"CorvaneApp.exe"}, L" /ignore-close", false, {}},
    };
    std::vector<double> holders;
    for (int round = 0; round < rounds; ++round) {
        for (Round& kind : kinds) {
            for (const wchar_t* name : kind.names) {
                if (!start_stand_in(widen(folder), name, kind.arguments)) {
                    std::fprintf(stderr, "close bench: %ls did not show its window\n", name);
                    return 1;
                }
            }
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            const int closed = kind.kill ? utils::kill_process("CorvaneApp.exe")
                                         : closing::close_processes(request);
            kind.seconds.push_back(seconds_since(start));
            if (closed < 0) return 1;
        }
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        closing::report_folder_holders(closing::FolderMatch(folder, {}));
        holders.push_back(seconds_since(start));
    }
    for (const Round& kind : kinds)
        std::printf("close %-9s %.3fs\n", kind.name, median(kind.seconds));
    std::printf("close holders   %.3fs (the look for modules from the folder, in each close)\n",
                median(holders));
    const double kill = median(kinds[0].seconds);
    std::printf(
        "asking adds %.3fs to the kill of one program (target <= 0.2 s); with a helper %.3fs, "
        "ratio %.2f; one that ignores the request: %.3fs in all (target < 6 s)\n",
        median(kinds[1].seconds) - kill, median(kinds[2].seconds), median(kinds[2].seconds) / kill,
        median(kinds[3].seconds));
    return 0;
}
