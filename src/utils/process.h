// Starting a program and waiting for it, and ending every process of one image name.
#pragma once

#include <string>

namespace utils {

// Runs `program` (a path, narrow text) with the command-line text `parameters` through
// the shell, hidden, in the current working folder, and blocks the calling thread
// without a time-out until it has ended. Returns 0 once it has ended, whatever its exit
// code (also when the shell completed the request without a process to wait for), and
// -1 after a WARN line when it could not be started, or when it is a folder or a file that
// is no program (which the shell would open in another program, never to be waited for).
// When `exit_code` is given, it receives the program's exit code; it is left untouched
// when there was no process to wait for or its code cannot be read.
int start_prog_wait(const std::string& program, const std::string& parameters,
                    unsigned long* exit_code = nullptr);

// Terminates every process on the machine whose image file name equals `image_name`
// ("CorvaneApp.exe"), ignoring the case of A to Z only. A process that cannot be
// terminated gets a WARN line and a hidden "<System32>\taskkill.exe /im <name> /f" run
// (the system folder's taskkill, never one found by the search path). Then waits, at
// most 10 seconds in all, until those processes are gone, with a WARN line for each one
// that is not. Returns 0 once the process list was walked, whatever happened to the
// processes, and -1 after a WARN line when the list cannot be read. Calling thread only.
int kill_process(const std::string& image_name);

}  // namespace utils
