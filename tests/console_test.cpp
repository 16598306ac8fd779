#include "utils/console.h"

#include <gtest/gtest.h>

#include "child_main.h"
#include "test_support.h"
#include "win_process.h"

namespace {

enum : int { kHidden = 1, kStillVisible = 2, kNoWindow = 4 };

int hide_and_report() {
    int report = utils::hide_own_console() ? kHidden : 0;
    HWND console = GetConsoleWindow();
    if (console == nullptr)
        report |= kNoWindow;
    else if (IsWindowVisible(console))
        report |= kStillVisible;
    return report;
}

TEST_CHILD(hide_console) { return hide_and_report(); }

// The same on a thread that nobody waits for: the window goes a while after.
TEST_CHILD(hide_console_meanwhile) {
    utils::hide_own_console_meanwhile();
    const HWND console = GetConsoleWindow();
    if (console == nullptr) return kNoWindow;
    for (int waited = 0; waited < 10000 && IsWindowVisible(console); waited += 20) Sleep(20);
    return IsWindowVisible(console) ? kStillVisible : kHidden;
}

// Owns a new console, and lets a second process attach to it before hiding.
TEST_CHILD(share_console) { return static_cast<int>(test::run_child("hide_console")); }

TEST(Console, HiddenOnlyWhenNoOtherProcessUsesIt) {
    // Wine gives a new console a window only when there is a display.
    const DWORD alone = test::run_child("hide_console", L"", CREATE_NEW_CONSOLE);
    TEST_REQUIRES(alone != kNoWindow, "a console window (it needs a display)");
    EXPECT_EQ(alone, static_cast<DWORD>(kHidden));
    EXPECT_EQ(test::run_child("hide_console_meanwhile", L"", CREATE_NEW_CONSOLE),
              static_cast<DWORD>(kHidden));
    EXPECT_EQ(test::run_child("share_console", L"", CREATE_NEW_CONSOLE),
              static_cast<DWORD>(kStillVisible));
}

TEST(Console, NoConsoleNothingHidden) {
    EXPECT_EQ(test::run_child("hide_console", L"", DETACHED_PROCESS),
              static_cast<DWORD>(kNoWindow));
}

}  // namespace
