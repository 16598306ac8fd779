#pragma once

namespace utils {

// Hides the console window when this process is the only one attached to it. A
// console shared with others (the terminal the updater was started from) stays as it
// is. Returns true when the window was hidden.
bool hide_own_console();

}  // namespace utils
