// Starting a program and waiting for it, and ending every process of one image name.
#pragma once

#include <string>

#include "utils/win.h"

namespace utils {

// Runs `program` (a full path, narrow text) with the command-line text `parameters`,
// hidden, and blocks the calling thread until it has ended. The program
// is started by its path with CreateProcessW, never through the shell, whose file
// associations the user can change. Without `temp_folder` it runs in our working folder
// with our environment. With it (the elevated run's installer), it runs in that folder,
// with the system's environment (CreateEnvironmentBlock without a token, nothing of ours)
// and TEMP and TMP naming that folder. Returns 0 once it has ended,
// whatever its exit code, and -1 after a WARN line when it could not be started, when it
// is a folder or a file that is no program, or when no process came of it. When
// `exit_code` is given, it receives the program's exit code; it is left untouched when
// the code cannot be read. A program still running after `limit_ms` is ended, with a WARN
// line, and its exit code is then ERROR_TIMEOUT. A start that fails with
// ERROR_INTERNAL_ERROR (Wine's word for a process that ended before it had started) is
// tried twice more, 0.2 s apart, each time after a WARN line.
int start_prog_wait(const std::string& program, const std::string& parameters,
                    unsigned long* exit_code = nullptr,
                    const std::wstring& temp_folder = std::wstring(),
                    unsigned long limit_ms = INFINITE);

// True when the process image name `found` (a snapshot entry) is `wanted`, as a whole,
// ignoring the case of A to Z only.
bool same_image_name(const std::wstring& wanted, const wchar_t (&found)[260]);

// Starts System32's taskkill.exe by its path, hidden, with `parameters` ("/pid 12 /f"),
// without waiting for it. Nothing is reported: the caller waits for what it ended.
void start_taskkill(const std::wstring& parameters);

// Terminates every process on the machine whose image file name equals `image_name`
// ("CorvaneApp.exe"), ignoring the case of A to Z only. A process that cannot be
// terminated gets a WARN line and a hidden "<System32>\taskkill.exe /im <name> /f" run
// (the system folder's taskkill by its path, never one found by a search or the shell). Then waits,
// at most g_kill_wait_ms in all, until those processes are gone, with a WARN line for each one that
// is not. Returns 0 once the process list was walked, whatever happened to the processes, and -1
// after a WARN line when the list cannot be read. Calling thread only.
int kill_process(const std::string& image_name);
// How long kill_process waits in all for the processes it ended to be gone, in ms: 10000 in the
// product; a test of a process that outlives it shortens it.
extern unsigned long g_kill_wait_ms;

}  // namespace utils
