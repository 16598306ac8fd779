#include "utils/console.h"
#include "utils/win.h"

namespace utils {

bool hide_own_console() {
    // A console created for us alone lists one process; a terminal's lists its shell too.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) return false;
    HWND console = GetConsoleWindow();
    if (console == nullptr) return false;
    ShowWindow(console, SW_HIDE);
    return true;
}

void hide_own_console_meanwhile() {
    const auto hide = [](void*) -> DWORD { return hide_own_console() ? 1 : 0; };
    const HANDLE thread = CreateThread(nullptr, 0, hide, nullptr, 0, nullptr);
    if (thread == nullptr) {
        hide_own_console();
    } else {
        CloseHandle(thread);
    }
}

}  // namespace utils
