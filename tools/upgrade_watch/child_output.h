// Running a program with its standard output read by this process as it comes.
#pragma once

#include <functional>
#include <string>

#include "utils/win.h"

struct ChildResult {
    // False when the program could not be started; `error` is then the system's code.
    bool started = false;
    unsigned long error = 0;
    // True when the program has ended; `exit_code` is then its exit code.
    bool ended = false;
    unsigned long exit_code = 0;
};

// Runs `command_line` (a whole command line, program first) with its standard output
// into a pipe, standard input from NUL and standard error to ours, and no console
// window of its own (so a child that hides its console window hides nothing of ours).
// Every piece of output goes to `on_output` on the calling thread, in order, as it
// arrives; pieces are cut anywhere.
//
// Returns when the child has ended and its output is read to the end. Output that
// processes it started keep writing after its end is read only until it pauses for two
// seconds. Returns early, leaving the child running, when `stop_event` is signalled.
ChildResult run_with_output(std::wstring command_line, HANDLE stop_event,
                            const std::function<void(const char*, size_t)>& on_output);
