// CorvaneApp.exe, the stand-in client application of the end-to-end runs, built once per
// version (CORVANE_APP_VERSION). The installers also put it into the folder as
// CorvaneHelper.exe, a second program of the application. On every start it appends one
// block to "<its own name>.state" beside itself (CorvaneApp.state, CorvaneHelper.state),
// then shows a small window and runs until it is terminated or its window is closed.
// Without a display it runs windowless until it is terminated.
//
// The state file is UTF-8 with "\n" line ends; one block per start, each line
// "key=value", the block ended by an empty line:
//   version=2
//   pid=1234
//   path=C:\Program Files\CorvaneApp\CorvaneApp.exe
//   elevated=0                 TokenElevation of its own token: 1 elevated, 0 not
//   elevation=limited          TokenElevationType: default, full or limited
//   time=2024-05-01T10:00:00.250Z   the start, UTC
// A block is written with a single append, so concurrent starts never mix their lines.
//
// Asked to close as Windows asks at a log-off or as Restart Manager does (WM_ENDSESSION
// that ends the session, or WM_CLOSE), it first writes "saved" to "<its own name>.saved"
// beside itself, the work a real application would save. Started with /ignore-close it
// refuses WM_QUERYENDSESSION and ignores WM_ENDSESSION and WM_CLOSE: only termination
// ends it.
//
// While it runs it holds its own image open without write or delete sharing, as Windows
// does for a running program: under Wine an installer could otherwise replace it.
//
// Exit codes: 0 after its window was closed, 2 when the state could not be recorded, 3
// when its image could not be held.
#include <cstdio>
#include <cstring>
#include <string>

#include "utils/win.h"

#ifndef CORVANE_APP_VERSION
#error "CORVANE_APP_VERSION (1, 2, ...) selects the version being built"
#endif

namespace {

#define CORVANE_STRINGIFY2(x) #x
#define CORVANE_STRINGIFY(x) CORVANE_STRINGIFY2(x)
const char kVersion[] = CORVANE_STRINGIFY(CORVANE_APP_VERSION);
const wchar_t kWindowClass[] = L"CorvaneAppStandIn";

// Beside the image, named after it: C:\app\CorvaneApp.exe gives C:\app\CorvaneApp.saved.
std::wstring g_saved_path;
bool g_ignore_close = false;

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                            size, nullptr, nullptr);
    return result;
}

std::wstring own_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The elevation of this process's token: "elevated=..." and "elevation=..." lines. A
// value that cannot be read is written as "unknown".
std::string elevation_lines() {
    HANDLE token = nullptr;
    std::string elevated = "unknown";
    std::string type = "unknown";
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
            elevated = elevation.TokenIsElevated ? "1" : "0";
        TOKEN_ELEVATION_TYPE elevation_type{};
        if (GetTokenInformation(token, TokenElevationType, &elevation_type, sizeof elevation_type,
                                &size)) {
            switch (elevation_type) {
                case TokenElevationTypeDefault:
                    type = "default";
                    break;
                case TokenElevationTypeFull:
                    type = "full";
                    break;
                case TokenElevationTypeLimited:
                    type = "limited";
                    break;
            }
        }
        CloseHandle(token);
    }
    return "elevated=" + elevated + "\nelevation=" + type + "\n";
}

std::string utc_now() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[40] = {0};
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

// The image's path with its extension replaced by `extension`.
std::wstring beside_image(const std::wstring& path, const wchar_t* extension) {
    const size_t slash = path.find_last_of(L"\\/");
    const size_t dot = path.rfind(L'.');
    const bool has_extension =
        dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
    return (has_extension ? path.substr(0, dot) : path) + extension;
}

bool record_start(const std::wstring& path) {
    const std::wstring state = beside_image(path, L".state");
    const std::string block =
        std::string("version=") + kVersion + "\n" + "pid=" + std::to_string(GetCurrentProcessId()) +
        "\n" + "path=" + utf8(path) + "\n" + elevation_lines() + "time=" + utc_now() + "\n\n";
    // FILE_APPEND_DATA alone: every write lands at the end, whoever else appends.
    HANDLE file = CreateFileW(state.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool done =
        WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
        written == block.size();
    CloseHandle(file);
    return done;
}

void save_work() {
    HANDLE file = CreateFileW(g_saved_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, "saved", 5, &written, nullptr);
    CloseHandle(file);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return g_ignore_close ? FALSE : TRUE;
        case WM_ENDSESSION:
            if (wparam && !g_ignore_close) save_work();
            return 0;
        case WM_CLOSE:
            if (g_ignore_close) return 0;
            save_work();
            break;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// The window, or null when there is no display to show it on.
HWND create_window(HINSTANCE instance, int show) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = kWindowClass;
    if (!RegisterClassW(&window_class)) return nullptr;
    const std::wstring title =
        L"CorvaneApp v" + std::wstring(kVersion, kVersion + sizeof kVersion - 1);
    HWND window = CreateWindowExW(
        0, kWindowClass, title.c_str(), WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
        CW_USEDEFAULT, CW_USEDEFAULT, 360, 120, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;
    const std::wstring text =
        title + L" is running (process " + std::to_wstring(GetCurrentProcessId()) + L").";
    CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER, 10, 24, 330, 40,
                    window, nullptr, instance, nullptr);
    ShowWindow(window, show);
    UpdateWindow(window);
    return window;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show) {
    const std::wstring path = own_path();
    g_saved_path = beside_image(path, L".saved");
    g_ignore_close = std::strstr(command_line, "/ignore-close") != nullptr;
    // Never closed: the process's end lets go of it.
    if (CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                    nullptr) == INVALID_HANDLE_VALUE)
        return 3;
    if (!record_start(path)) return 2;
    if (create_window(instance, show) == nullptr) {
        // No display: nothing to show, so wait to be terminated.
        for (;;) Sleep(INFINITE);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
