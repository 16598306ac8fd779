// Reading and writing "last-update.json" in an update folder.
#pragma once

#include <string>

#include "outcome/last_update.h"

namespace outcome {

// Writes `record` as `folder`\last-update.json (UTF-8) through a temporary file beside it
// that then replaces the record in one step, so that a reader finds the old record or the
// new one, never a part. 0, or -1 after a WARN line; the temporary file does not stay.
// The folder is a user's: the elevated run calls this only while it acts as the desktop
// user (install_phase.cpp), so these calls by path reach nothing that user could not.
int write_last_update(const std::wstring& folder, const LastUpdate& record);

// Reads `folder`\last-update.json into `out`. 0; 1 when there is no record; -1 when the
// file cannot be read or is no record (after a WARN line). `out` is untouched unless 0.
int read_last_update(const std::wstring& folder, LastUpdate& out);

}  // namespace outcome
