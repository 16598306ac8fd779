#pragma once

namespace utils {

// Hides the console window when this process is the only one attached to it. A
// console shared with others (the terminal the updater was started from) stays as it
// is. Returns true when the window was hidden.
bool hide_own_console();
// The same on a thread of its own, which nobody waits for: under Wine the console's host
// gives a new console its window a sixth of a second after the start, and
// GetConsoleWindow waits until it has. Hides it here where no thread can be started.
void hide_own_console_meanwhile();

}  // namespace utils
