#include "ui/progress_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "test_support.h"
// <gdiplus.h> needs <objidl.h>, which the lean <windows.h> leaves out.
// clang-format off
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "ui/window_texts.h"
#include "win_process.h"

namespace {

// The UI thread is observed through hooks on it: each advance tick is recorded with the
// bar position it found, and a probe message kills timer 100 there and reports whether
// it was still running (a timer can only be queried from its own thread, by killing it).
constexpr UINT kProbeTimer = WM_APP + 0x60;

std::mutex g_mutex;
std::vector<int> g_tick_positions;
BOOL g_timer_was_running = FALSE;

LRESULT CALLBACK record_ticks(int code, WPARAM wparam, LPARAM lparam) {
    const auto* message = reinterpret_cast<const MSG*>(lparam);
    if (code == HC_ACTION && wparam == PM_REMOVE && message->message == WM_TIMER &&
        message->wParam == kProgressTimerId) {
        const HWND bar = GetDlgItem(message->hwnd, kProgressBarId);
        const int pos = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
        std::lock_guard<std::mutex> lock(g_mutex);
        g_tick_positions.push_back(pos);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

LRESULT CALLBACK answer_probe(int code, WPARAM wparam, LPARAM lparam) {
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (code == HC_ACTION && message->message == kProbeTimer) {
        const BOOL killed = KillTimer(message->hwnd, kProgressTimerId);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_timer_was_running = killed;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

// The conditions hold within a second or two.
bool wait_until(const std::function<bool()>& condition) {
    return test::wait_until(condition, 20000, 5);
}

std::wstring window_text(HWND window, decltype(&GetWindowTextW) read = GetWindowTextW) {
    wchar_t text[260] = {};
    read(window, text, 260);
    return text;
}

RECT client_rect_of(HWND child, HWND parent) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_REQUIRES(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) != 0,
                      "a display (Xvfb) for the progress window");
    }
    void TearDown() override {
        for (HHOOK hook : hooks_) UnhookWindowsHookEx(hook);
        progress_close(&window_);
    }

    // Starts the window, from the defaults or from the record as the test prepared it.
    void start(bool defaults = true) {
        if (defaults)
            progress_start(&window_);
        else
            progress_start_thread(&window_);
        ASSERT_NE(window_.main_window.load(), nullptr);
        ASSERT_NE(window_.progress_bar.load(), nullptr);
        hooks_.push_back(
            SetWindowsHookExW(WH_GETMESSAGE, record_ticks, nullptr, window_.thread_id));
        hooks_.push_back(
            SetWindowsHookExW(WH_CALLWNDPROC, answer_probe, nullptr, window_.thread_id));
        ASSERT_TRUE(hooks_[0] != nullptr && hooks_[1] != nullptr);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_tick_positions.clear();
    }

    int pos() { return static_cast<int>(SendMessageW(window_.progress_bar, PBM_GETPOS, 0, 0)); }

    std::vector<int> ticks() {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_tick_positions;
    }

    // Kills the advance timer on the UI thread; true when it was running.
    bool timer_was_running() {
        SendMessageW(window_.main_window, kProbeTimer, 0, 0);
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_timer_was_running != FALSE;
    }

    ProgressWindow window_;
    std::vector<HHOOK> hooks_;
};

TEST_F(ProgressWindowTest, DefaultsGiveCentredWindowWithTextsAndFont) {
    start();
    const HWND main_window = window_.main_window;
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(main_window, &rect));
    EXPECT_EQ(rect.right - rect.left, 300);
    EXPECT_EQ(rect.bottom - rect.top, 300);
    EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - 300) / 2);
    EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - 300) / 2);
    EXPECT_EQ(window_text(main_window), L"Hubra电脑版升级助手-更新进度");
    EXPECT_EQ(window_text(main_window, GetClassNameW), L"Sample Window Class");
    const LONG_PTR style = GetWindowLongPtrW(main_window, GWL_STYLE);
    EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
              WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_TRUE(GetWindowLongPtrW(main_window, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_TRUE(IsWindowVisible(main_window));

    struct Control {
        int id;
        HWND handle;
        const wchar_t* class_name;
        const wchar_t* text;
        RECT rect;
    };
    const Control controls[] = {
        {kProgressBarId, window_.progress_bar, L"msctls_progress32", L"", {10, 20, 270, 40}},
        {kProgressLabelId, window_.label, L"static", L"进度: ", {10, 50, 50, 70}},
        {kProgressStatusId, window_.status_text, L"static", L"更新中...", {10, 80, 270, 240}},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.id);
        const HWND child = GetDlgItem(main_window, control.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child, control.handle);
        EXPECT_EQ(_wcsicmp(window_text(child, GetClassNameW).c_str(), control.class_name), 0);
        EXPECT_EQ(window_text(child), control.text);
        const RECT rect = client_rect_of(child, main_window);
        EXPECT_TRUE(EqualRect(&rect, &control.rect));
        EXPECT_EQ(GetWindowLongPtrW(child, GWL_STYLE) & (WS_CHILD | WS_VISIBLE),
                  WS_CHILD | WS_VISIBLE);
    }

    // Both static controls carry the font from the start.
    const HFONT font = window_.font;
    ASSERT_NE(font, nullptr);
    for (HWND control : {window_.label.load(), window_.status_text.load()})
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), font);
    LOGFONTW logfont{};
    ASSERT_EQ(GetObjectW(font, sizeof logfont, &logfont), static_cast<int>(sizeof logfont));
    EXPECT_STREQ(logfont.lfFaceName, L"微软雅黑");
    EXPECT_EQ(logfont.lfHeight, -15);
    EXPECT_EQ(logfont.lfCharSet, DEFAULT_CHARSET);

    // Range 0 to 100, step 1: the control's own default step is 10.
    PBRANGE range{};
    SendMessageW(window_.progress_bar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(SendMessageW(window_.progress_bar, PBM_SETSTEP, 1, 0), 1);
}

// The window's texts are those of the user's UI language, of another variety of it, or else
// the brand's own (the first table).
TEST(WindowTexts, ChosenByTheUserInterfaceLanguage) {
    const auto table = [](const wchar_t* language) {
        WindowTexts texts{};
        texts.language = language;
        return texts;
    };
    const WindowTexts english = table(L"en-US"), chinese = table(L"zh-CN");
    const WindowTexts unknown = table(L"xx-Unknown");
    const WindowTexts brand[] = {english, chinese};
    const WindowTexts unknown_first[] = {unknown, chinese};
    struct Case {
        LANGID user;
        const WindowTexts* tables;
        const wchar_t* chosen;
    };
    const Case cases[] = {
        {MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), brand, L"zh-CN"},
        {MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL), brand, L"zh-CN"},
        {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), brand, L"en-US"},
        {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK), brand, L"en-US"},
        {MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), brand, L"en-US"},
        // A locale name the system does not know matches nobody, yet is the fallback.
        {MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), unknown_first, L"xx-Unknown"},
        {MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), unknown_first, L"xx-Unknown"},
        {MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_HONGKONG), unknown_first, L"zh-CN"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(window_texts_for(c.user, c.tables, 2).language, c.chosen)
            << std::hex << c.user;
    }
}

TEST_F(ProgressWindowTest, StatusTextReplacedAndFontReapplied) {
    start();
    // A control that lost its font gets it back with the next status line.
    SendMessageW(window_.label, WM_SETFONT, 0, FALSE);
    progress_set_status(&window_, L"正在安装新版本...");
    EXPECT_EQ(window_text(window_.status_text), L"正在安装新版本...");
    EXPECT_EQ(window_text(window_.label), L"进度: ");
    for (HWND control : {window_.label.load(), window_.status_text.load()})
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)),
                  window_.font.load());
}

TEST_F(ProgressWindowTest, AdvanceStepsOneUnitPerTickThenStops) {
    start();
    progress_set_pos(&window_, 10);
    progress_advance(&window_, 20, 50);
    EXPECT_EQ(window_.target_pos, 20);
    ASSERT_TRUE(wait_until([&] { return window_.target_pos == 0; }));
    EXPECT_EQ(pos(), 20);
    // Ten ticks find 10..19 and step; the eleventh finds the goal and ends the timer.
    const std::vector<int> expected{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    EXPECT_EQ(ticks(), expected);
    EXPECT_FALSE(timer_was_running());
}

TEST_F(ProgressWindowTest, AdvanceToOrBelowPositionChangesNothing) {
    start();
    progress_set_pos(&window_, 50);
    for (int target : {50, 30}) {
        SCOPED_TRACE(target);
        progress_advance(&window_, target, 10);
        EXPECT_EQ(window_.target_pos, 0);
    }
    EXPECT_FALSE(timer_was_running());

    // A running timer keeps its goal (and its long period: the bar stays where it is).
    progress_advance(&window_, 95, 60000);
    for (int target : {50, 30}) {
        SCOPED_TRACE(target);
        progress_advance(&window_, target, 10);
        EXPECT_EQ(window_.target_pos, 95);
    }
    EXPECT_EQ(pos(), 50);
    EXPECT_TRUE(timer_was_running());
    EXPECT_TRUE(ticks().empty());
}

TEST_F(ProgressWindowTest, SetPosAtGoalStopsTimerAtNextTick) {
    start();
    progress_set_pos(&window_, 10);
    progress_advance(&window_, 90, 50);
    ASSERT_TRUE(wait_until([&] { return ticks().size() >= 2; }));
    progress_set_pos(&window_, 90);
    ASSERT_TRUE(wait_until([&] { return window_.target_pos == 0; }));
    EXPECT_EQ(pos(), 90);
    const std::vector<int> seen = ticks();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.back(), 90);
    for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], 10 + static_cast<int>(i));
    EXPECT_FALSE(timer_was_running());
}

TEST_F(ProgressWindowTest, EachSizeMessageStepsBarByOne) {
    start();
    progress_set_pos(&window_, 30);
    SendMessageW(window_.main_window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(294, 270));
    EXPECT_EQ(pos(), 31);
    // Minimising and restoring resize the window once each.
    ShowWindow(window_.main_window, SW_MINIMIZE);
    EXPECT_EQ(pos(), 32);
    ShowWindow(window_.main_window, SW_RESTORE);
    EXPECT_EQ(pos(), 33);
}

TEST_F(ProgressWindowTest, OnlyBothCoordinatesNegativeCentre) {
    struct Case {
        int x, y;
        LONG left, top;
    };
    const Case cases[] = {{100, -1, 100, 0}, {-1, 40, 0, 40}, {120, 40, 120, 40}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << ", " << c.y);
        progress_set_defaults(&window_);
        window_.x = c.x;
        window_.y = c.y;
        start(false);
        RECT rect{};
        ASSERT_TRUE(GetWindowRect(window_.main_window, &rect));
        EXPECT_EQ(rect.left, c.left);
        EXPECT_EQ(rect.top, c.top);
        EXPECT_EQ(rect.right - rect.left, 300);
        for (HHOOK hook : hooks_) UnhookWindowsHookEx(hook);
        hooks_.clear();
        progress_close(&window_);
    }
}

TEST_F(ProgressWindowTest, CloseReleasesEverything) {
    start();
    const HWND main_window = window_.main_window;
    const HFONT font = window_.font;
    progress_close(&window_);
    EXPECT_FALSE(IsWindow(main_window));
    EXPECT_EQ(GetObjectType(font), 0u);
    EXPECT_EQ(window_.thread, nullptr);
    EXPECT_EQ(window_.ready_event, nullptr);
    EXPECT_EQ(window_.font.load(), nullptr);
    EXPECT_EQ(window_.main_window.load(), nullptr);
    EXPECT_EQ(window_.width, 0);
    EXPECT_EQ(window_.title[0], L'\0');
}

TEST_F(ProgressWindowTest, UserClosingMidwayLeavesLaterCallsHarmless) {
    start();
    progress_set_pos(&window_, 10);
    progress_advance(&window_, 90, 50);
    const HWND main_window = window_.main_window;
    // What the close box does.
    SendMessageW(main_window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_EQ(WaitForSingleObject(window_.thread, 20000), WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindow(main_window));

    progress_set_pos(&window_, 90);
    progress_advance(&window_, 100, 100);
    progress_set_status(&window_, L"启动新版本...");
    const HFONT font = window_.font;
    // Returns at once; and nothing lands in the caller's own queue in place of the
    // vanished window (a post to a null window goes to the calling thread).
    auto closed = std::async(std::launch::async, [this] {
        progress_close(&window_);
        MSG stray{};
        return PeekMessageW(&stray, nullptr, 0, 0, PM_REMOVE) ? stray.message : 0u;
    });
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(closed.get(), 0u);
    EXPECT_EQ(window_.thread, nullptr);
    EXPECT_EQ(GetObjectType(font), 0u);
}

// The window as drawn, frame included, copied from its own surface; saved as PNG for a
// person to look at (test-output/progress.png beside the test program).
TEST_F(ProgressWindowTest, ScreenshotShowsBarFilledToPosition) {
    start();
    progress_set_pos(&window_, 40);
    progress_set_status(&window_, L"正在安装新版本...");
    const HWND main_window = window_.main_window;
    // Painted now, by the UI thread, before the surface is read.
    RedrawWindow(main_window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT frame{};
    GetWindowRect(main_window, &frame);
    const HDC source = GetWindowDC(main_window);
    const HDC copy = CreateCompatibleDC(source);
    const HBITMAP bitmap =
        CreateCompatibleBitmap(source, frame.right - frame.left, frame.bottom - frame.top);
    const HGDIOBJ previous = SelectObject(copy, bitmap);
    BitBlt(copy, 0, 0, frame.right - frame.left, frame.bottom - frame.top, source, 0, 0, SRCCOPY);
    ReleaseDC(main_window, source);

    // The classic bar is filled with the highlight colour up to 40 % of its width.
    POINT bar{window_.bar_x, window_.bar_y + window_.bar_height / 2};
    ClientToScreen(main_window, &bar);
    const auto at = [&](int dx) {
        return GetPixel(copy, bar.x - frame.left + dx, bar.y - frame.top);
    };
    EXPECT_EQ(at(20), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_NE(at(240), GetSysColor(COLOR_HIGHLIGHT));
    // Whether the status text could be drawn at all: Wine needs a CJK font standing in for
    // the window's face (a font replacement in the prefix), else the picture shows boxes.
    SelectObject(copy, window_.font.load());
    WORD glyph = 0;
    GetGlyphIndicesW(copy, L"进", 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS);
    if (glyph == 0xffff) std::cout << "note: no CJK glyphs behind the window's font\n";
    SelectObject(copy, previous);
    DeleteDC(copy);

    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    const CLSID png_encoder = {
        0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    const std::filesystem::path folder = test::sibling_path(L"test-output");
    std::filesystem::create_directories(folder);
    Gdiplus::GpBitmap* image = nullptr;
    EXPECT_EQ(Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image),
              Gdiplus::Ok);
    EXPECT_EQ(Gdiplus::DllExports::GdipSaveImageToFile(image, (folder / "progress.png").c_str(),
                                                       &png_encoder, nullptr),
              Gdiplus::Ok);
    Gdiplus::DllExports::GdipDisposeImage(image);
    Gdiplus::GdiplusShutdown(token);
    DeleteObject(bitmap);
}

}  // namespace
