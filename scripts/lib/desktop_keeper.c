/* desktop-keeper.exe READY_FILE: holds Wine's desktop open for as long as it runs.
 *
 * Wine starts the desktop process (explorer.exe /desktop, with its taskbar) for the first
 * program that needs a desktop, and ends it a moment after the last such program ends.
 * Started by a test, it inherits that test's standard output, a pipe ctest reads to its
 * end: ctest then waits for the desktop process too, the second or two it takes to go
 * after every test, and should it not go, until the test's time runs out.
 * scripts/with-wine starts this program first, with its output going nowhere: the desktop
 * is started for it, and stays until wineserver is ended.
 *
 * Once the taskbar is up it creates READY_FILE (a Windows path), then waits for ever. Ends
 * with 1 when the taskbar does not come up within 20 seconds, 2 on bad arguments. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    int waited_ms = 0;
    HANDLE ready;
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    if (arguments == NULL || count != 2) return 2;
    /* Asking for the desktop window starts the desktop process. */
    GetDesktopWindow();
    while (FindWindowW(L"Shell_TrayWnd", NULL) == NULL) {
        if (waited_ms >= 20000) return 1;
        Sleep(50);
        waited_ms += 50;
    }
    ready = CreateFileW(arguments[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (ready == INVALID_HANDLE_VALUE) return 2;
    CloseHandle(ready);
    Sleep(INFINITE);
    return 0;
}
