// Starting the client application as the user who owns the desktop, not as the elevated
// updater.
#pragma once

#include "utils/win.h"

// True on Windows Vista (major version 6) or later; false also when the version cannot
// be read.
bool is_vista_or_later();

// True when the built-in Administrators group is enabled in the calling thread's
// effective token, i.e. the process runs elevated. False when the check cannot be made.
bool is_admin();

// A primary token (all access) duplicated from the token of the process that owns the
// taskbar window ("Shell_TrayWnd") of the calling thread's desktop, or null when there is
// no such window or the process or its token cannot be opened. The caller owns the handle
// and closes it.
HANDLE get_shell_token();

// Starts the program at `path` (a full path, also its whole command line) and returns at
// once without keeping a handle to it. Elevated on Vista or later it is created with the
// taskbar owner's token and profile, and the shell is never tried; otherwise it is opened
// through the shell with the verb "open". Non-zero when the program was started, 0
// otherwise; logs nothing. Any thread: the one-time load of the library it needs is safe
// against concurrent first calls.
int run_as_desktop_user(const wchar_t* path);
