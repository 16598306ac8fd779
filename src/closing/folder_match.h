// Which processes hold a folder: the process list and the path rules that closing a
// folder's programs and naming what else holds it share. Windows only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "utils/system_calls.h"

namespace closing {

// A path as the system resolves it, for comparing: full (GetFullPathNameW), 8.3 names
// spelled out (GetLongPathNameW, while the path exists), without a "\\?\" prefix or a
// trailing "\" (a drive's root keeps its own). Empty when it cannot be resolved.
std::wstring normal_path(const std::wstring& path);

// Both paths normal: whether `path` lies inside `folder` (at any depth), with names
// compared as the file system compares them, without regard to letter case.
bool lies_in(const std::wstring& path, const std::wstring& folder);
bool same_path(const std::wstring& a, const std::wstring& b);

// The full path of the process's image (QueryFullProcessImageNameW; the handle needs
// PROCESS_QUERY_LIMITED_INFORMATION), empty when it cannot be read.
std::wstring process_image(HANDLE process);

// Calls `visit` for every process in every session but this one, from one snapshot of the
// process list (through the system-call table). Returns 0, or -1 after a WARN line under
// `function`'s name when the list cannot be read.
int for_each_process(const char* function,
                     const std::function<void(const PROCESSENTRY32W&)>& visit);

// A folder whose programs may be closed, and the images that are never closed though
// they lie in it. Made once per request; a copy may go to another thread.
class FolderMatch {
public:
    // `folder` and `spared` in the ANSI code page, as the install phase holds them. An empty
    // folder matches nothing. A drive's root, or a folder that holds Windows' own, matches
    // nothing either, after a WARN line: closing every program there would end the system's.
    FolderMatch(const std::string& folder, const std::vector<std::string>& spared);

    // Whether a process with this image (a full path) is one of the folder's programs.
    bool holds(const std::wstring& image) const;
    bool spares(const std::wstring& image) const;
    // The folder, normal; empty when it matches nothing.
    const std::wstring& folder() const { return folder_; }

private:
    bool spares_normal(const std::wstring& image) const;

    std::wstring folder_;
    std::vector<std::wstring> spared_;
};

// One WARN line for each process but this one and the spared images that has a module
// loaded from the match's folder, naming its image and the first such module; nothing is
// ended. Returns the number of processes named (0 when the match has no folder), or -1
// after a WARN line when the list of processes cannot be read.
int report_folder_holders(const FolderMatch& match);

}  // namespace closing
