#include "ui/progress_window.h"

// <commctrl.h> needs the Windows types declared before it.
// clang-format off
#include "utils/win.h"
#include <commctrl.h>
// clang-format on

#include <cwchar>

#include "ui/window_texts.h"
#include "utils/scoped_handle.h"

namespace {

constexpr const wchar_t* kClassName = L"Sample Window Class";
constexpr int kIconResourceId = 101;
constexpr DWORD kReadyWaitMs = 5000;
// How often progress_close looks again for a window to close while the UI thread has not
// published one yet (it is still building it, e.g. behind the bar's error box).
constexpr DWORD kCloseRetryMs = 100;

// SetTimer and KillTimer act only on windows of the calling thread, so the main thread
// asks the UI thread to (re)arm the advance timer. wParam: period in ms; lParam: goal.
// Setting the goal in the same step keeps a tick from clearing a goal that was just
// raised and then stopping a timer that should run on.
constexpr UINT kArmAdvanceTimer = WM_APP + 1;

void clear_record(ProgressWindow* window) {
    window->main_window = nullptr;
    window->progress_bar = nullptr;
    window->label = nullptr;
    window->status_text = nullptr;
    window->font = nullptr;
    window->thread = nullptr;
    window->thread_id = 0;
    window->x = window->y = 0;
    window->width = window->height = 0;
    window->bar_x = window->bar_y = 0;
    window->bar_width = window->bar_height = 0;
    std::wmemset(window->title, L'\0', sizeof window->title / sizeof window->title[0]);
    window->ready_event = nullptr;
    window->target_pos = 0;
}

bool centred(const ProgressWindow* window) { return window->x < 0 && window->y < 0; }

int center_window(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2;
    SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    return 0;
}

HWND create_child(HWND parent, const wchar_t* class_name, const wchar_t* text, int id, int left,
                  int top, int width, int height, HINSTANCE instance) {
    return CreateWindowExW(0, class_name, text, WS_CHILD | WS_VISIBLE, left, top, width, height,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                           nullptr);
}

void apply_font(const ProgressWindow* window) {
    const WPARAM font = reinterpret_cast<WPARAM>(window->font.load());
    const HWND label = window->label;
    const HWND status = window->status_text;
    if (label != nullptr) SendMessageW(label, WM_SETFONT, font, TRUE);
    if (status != nullptr) SendMessageW(status, WM_SETFONT, font, TRUE);
}

// The label's width: 40 pixels, or what its text needs in the window's font when that is
// more (a brand's label in another language, "Progress: ").
int label_width(HWND hwnd, HFONT font, const wchar_t* text) {
    constexpr int kLabelWidth = 40;
    SIZE size{};
    const HDC dc = GetDC(hwnd);
    if (dc == nullptr) return kLabelWidth;
    const HGDIOBJ previous = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
    const bool measured = GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
    SelectObject(dc, previous);
    ReleaseDC(hwnd, dc);
    return measured && size.cx > kLabelWidth ? size.cx : kLabelWidth;
}

void build_contents(HWND hwnd, const CREATESTRUCTW* create) {
    auto* window = static_cast<ProgressWindow*>(create->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));

    const HWND bar =
        create_child(hwnd, PROGRESS_CLASSW, nullptr, kProgressBarId, window->bar_x, window->bar_y,
                     window->bar_width, window->bar_height, create->hInstance);
    if (bar == nullptr) MessageBoxW(nullptr, L"Progress Bar Failed.", L"Error", MB_ICONERROR);
    window->progress_bar = bar;
    const wchar_t* const label = user_window_texts().progress_label;
    window->label = create_child(hwnd, L"static", label, kProgressLabelId, 10, 50,
                                 label_width(hwnd, window->font, label), 20, create->hInstance);
    window->status_text = create_child(hwnd, L"static", user_window_texts().updating,
                                       kProgressStatusId, 10, 80, 260, 160, create->hInstance);
    if (bar != nullptr) {
        SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageW(bar, PBM_SETSTEP, 1, 0);
    }
    // Centred before it is first shown, so it does not flash at the corner.
    if (centred(window)) center_window(hwnd);
    apply_font(window);
}

void on_advance_tick(HWND hwnd, ProgressWindow* window) {
    const HWND bar = window->progress_bar;
    const int pos = bar != nullptr ? static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)) : 0;
    if (bar != nullptr && pos < window->target_pos) {
        SendMessageW(bar, PBM_STEPIT, 0, 0);
        return;
    }
    window->target_pos = 0;
    KillTimer(hwnd, kProgressTimerId);
}

LRESULT CALLBACK progress_wnd_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* window = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_CREATE:
            build_contents(hwnd, reinterpret_cast<const CREATESTRUCTW*>(lparam));
            return 0;
        case WM_TIMER:
            if (window != nullptr && wparam == kProgressTimerId) on_advance_tick(hwnd, window);
            return 0;
        case kArmAdvanceTimer:
            if (window != nullptr) {
                window->target_pos = static_cast<int>(lparam);
                KillTimer(hwnd, kProgressTimerId);
                SetTimer(hwnd, kProgressTimerId, static_cast<UINT>(wparam), nullptr);
            }
            return 0;
        case WM_SIZE:
            if (window != nullptr && window->progress_bar.load() != nullptr)
                SendMessageW(window->progress_bar, PBM_STEPIT, 0, 0);
            break;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            KillTimer(hwnd, kProgressTimerId);
            // The main thread may go on calling after the user closed the window; with the
            // handles gone those calls find nothing to talk to.
            if (window != nullptr) {
                window->main_window = nullptr;
                window->progress_bar = nullptr;
                window->label = nullptr;
                window->status_text = nullptr;
            }
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

DWORD WINAPI progress_ui_thread(void* parameter) {
    auto* window = static_cast<ProgressWindow*>(parameter);
    InitCommonControls();

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = progress_wnd_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResourceId));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    window_class.lpszClassName = kClassName;
    // Fails harmlessly when an earlier window of this process registered it already.
    RegisterClassW(&window_class);

    window->font = CreateFontW(-15, -7, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_CHARACTER_PRECIS, CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY,
                               DEFAULT_PITCH | FF_DONTCARE, user_window_texts().font);

    const HWND hwnd =
        CreateWindowExW(WS_EX_CLIENTEDGE, kClassName, window->title, WS_SYSMENU | WS_MINIMIZEBOX,
                        window->x < 0 ? 0 : window->x, window->y < 0 ? 0 : window->y, window->width,
                        window->height, nullptr, nullptr, instance, window);
    if (hwnd == nullptr) return 0;
    window->main_window = hwnd;
    SetEvent(window->ready_event);

    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    if (centred(window)) center_window(hwnd);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

void progress_set_defaults(ProgressWindow* window) {
    clear_record(window);
    window->x = -1;
    window->y = -1;
    window->width = 300;
    window->height = 300;
    window->bar_x = 10;
    window->bar_y = 20;
    window->bar_width = 260;
    window->bar_height = 20;
    std::swprintf(window->title, sizeof window->title / sizeof window->title[0], L"%ls",
                  user_window_texts().title);
}

void progress_start_thread(ProgressWindow* window) {
    window->ready_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    window->thread = CreateThread(nullptr, 0, progress_ui_thread, window, 0, &window->thread_id);
    // Without a thread there is nothing to wait for; the later calls find no window.
    if (window->thread != nullptr) WaitForSingleObject(window->ready_event, kReadyWaitMs);
}

void progress_start(ProgressWindow* window) {
    progress_set_defaults(window);
    progress_start_thread(window);
}

void progress_set_pos(ProgressWindow* window, int pos) {
    const HWND bar = window->progress_bar;
    if (bar != nullptr) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void progress_advance(ProgressWindow* window, int target, unsigned interval_ms) {
    const HWND bar = window->progress_bar;
    const HWND main_window = window->main_window;
    if (bar == nullptr || main_window == nullptr) return;
    if (static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)) >= target) return;
    SendMessageW(main_window, kArmAdvanceTimer, interval_ms, target);
}

void progress_set_status(ProgressWindow* window, const wchar_t* text) {
    const HWND status = window->status_text;
    if (status != nullptr) SetWindowTextW(status, text);
    apply_font(window);
}

void progress_close(ProgressWindow* window) {
    if (window->thread == nullptr) return;
    // Normally the window exists and one post ends the thread. After a timed-out start the
    // window may still be on its way, so keep looking for it while the thread runs.
    HWND posted = nullptr;
    DWORD wait = WAIT_TIMEOUT;
    while (wait == WAIT_TIMEOUT) {
        const HWND main_window = window->main_window;
        if (main_window != nullptr && main_window != posted &&
            PostMessageW(main_window, WM_CLOSE, 0, 0))
            posted = main_window;
        wait = WaitForSingleObject(window->thread, posted != nullptr ? INFINITE : kCloseRetryMs);
    }
    if (wait != WAIT_OBJECT_0) return;

    utils::ScopedKernelHandle thread(window->thread);
    utils::ScopedKernelHandle ready_event(window->ready_event);
    if (const HFONT font = window->font; font != nullptr) DeleteObject(font);
    clear_record(window);
}
