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

}  // namespace utils
