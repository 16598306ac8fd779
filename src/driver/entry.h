#pragma once

// The whole program behind main(): selects and runs a phase, returns the exit code (0 or
// -1). Tests run it inside a test program to drive the phases with system calls
// replaced (utils/system_calls.h).
int updater_main(int argc, char** argv);
