// Folders of the elevated run that only Administrators and SYSTEM can write, made fresh
// under a random name directly in the machine's program-data folder, and the files made
// in them. Every system call goes through utils::system_calls(); 0, or -1 with the
// thread's last error set, and nothing logged.
#pragma once

#include <string>
#include <vector>

#include "utils/scoped_handle.h"

namespace fs {

// Makes a fresh, empty protected folder and sets `folder` to its full path. The caller
// removes it.
int make_protected_folder(std::wstring& folder);

// Creates the new file `path` inside a protected folder, open for writing and shared with
// nobody, with the same rights given explicitly rather than left to inheritance.
int create_protected_file(const std::wstring& path, utils::ScopedKernelHandle& out);

// The full paths of every protected folder this program made, this run's as well as
// those that runs ended by force left behind; empty when there are none or the
// program-data folder cannot be listed.
std::vector<std::wstring> protected_folders();

}  // namespace fs
