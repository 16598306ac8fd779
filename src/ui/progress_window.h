// The install phase's progress window: a small fixed window with a progress bar from 0
// to 100 and one line of status text, run by a UI thread of its own so that the main
// thread can block on the update's work while the window stays responsive.
//
// Threads: every function declared here is called from the main thread (the one that
// owns the record). The UI thread owns the window, its controls and the advance timer;
// the main thread reaches them only through synchronous sends and one post.
//
// Failures: nothing here logs or reports. A window that could not be created, a UI thread
// that could not be started, or a window the user has already closed turns every later
// call into a no-op; progress_close then releases what exists and returns at once.
#pragma once

#include <atomic>

#include "utils/win.h"

// Shared by the main thread and the UI thread. The handle fields are written by the UI
// thread and read by the main thread, possibly after the ready wait timed out, so they are
// atomics; the UI thread clears the window handles again when the window is destroyed.
//
// Ownership: the main thread owns the record and the thread, event and font handles in
// it, and releases them in progress_close. The UI thread keeps a pointer to the record for
// as long as it runs: the record must outlive that thread, and on an exit without
// progress_close that means until the process ends.
struct ProgressWindow {
    std::atomic<HWND> main_window{nullptr};
    std::atomic<HWND> progress_bar{nullptr};
    std::atomic<HWND> label{nullptr};        // fixed text, "进度: " in the default brand
    std::atomic<HWND> status_text{nullptr};  // the current step
    std::atomic<HFONT> font{nullptr};        // used by both static controls
    HANDLE thread = nullptr;
    DWORD thread_id = 0;
    int x = 0;  // outer position; a negative coordinate counts as 0, both negative = centred
    int y = 0;
    int width = 0;  // outer size, pixels
    int height = 0;
    int bar_x = 0;  // progress bar rectangle in the client area, pixels
    int bar_y = 0;
    int bar_width = 0;
    int bar_height = 0;
    wchar_t title[260] = {};
    HANDLE ready_event = nullptr;    // manual reset, signalled once the window exists
    std::atomic<int> target_pos{0};  // goal of the advance timer; 0 = none
};

// Control identifiers within the main window.
inline constexpr int kProgressBarId = 1001;
inline constexpr int kProgressLabelId = 1;
inline constexpr int kProgressStatusId = 2;
// The advance timer on the main window.
inline constexpr UINT_PTR kProgressTimerId = 100;

// Clears the record and fills the defaults: position -1, -1 (centred), 300 by 300, the
// bar at 10, 20, 260 by 20, and the window title. Nothing is created.
void progress_set_defaults(ProgressWindow* window);

// Creates the ready event, starts the UI thread on the record as it stands, and waits at
// most 5000 ms for the window to exist. The wait's outcome is not examined: on a time-out
// the window may appear later or never, and the other calls cope with either.
void progress_start_thread(ProgressWindow* window);

// progress_set_defaults followed by progress_start_thread.
void progress_start(ProgressWindow* window);

// Moves the bar to `pos` (0 to 100) at once. A running advance timer keeps its goal and
// stops at its next tick once the bar is at or past it.
void progress_set_pos(ProgressWindow* window, int pos);

// Moves the bar towards `target` one unit per `interval_ms` milliseconds, replacing any
// earlier goal and period. Does nothing when the bar is already at or past `target`; a
// running timer then keeps its goal and period.
void progress_advance(ProgressWindow* window, int target, unsigned interval_ms);

// Replaces the status line with `text` (copied by the control) and re-applies the font
// to both static controls.
void progress_set_status(ProgressWindow* window, const wchar_t* text);

// Closes the window and waits, without a time-out, for the UI thread to end. Once it has
// ended, closes the thread and event handles, deletes the font and clears the record; if
// the wait fails (no thread was ever started) nothing is released.
void progress_close(ProgressWindow* window);
