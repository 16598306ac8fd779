// The two runs of an update, selected by main from the command line.
#pragma once

#include <string>

#include "frontend/notice.h"

// What main owns for its whole run and lends to the phase it runs.
struct UpdateRun {
    std::string installer_path;  // starts as kDefaultInstallerName
    std::string update_folder;   // empty until the phase fills it
    FrontendNotice notice;       // every failure notice of the phase goes through it
};

extern const char* const kVersionText;
extern const char* const kDefaultInstallerName;
// The single-instance lock that orders the two runs of an update.
extern const char* const kLockBaseName;
// The first argument of the elevated restart; compared as a whole, case-sensitively.
extern const wchar_t* const kPhaseMarker;

// First run: download and check the installer, restart elevated. 0 or -1.
int run_download_phase(UpdateRun& run, const std::string& url, const std::string& expected_md5);

// Second, elevated run: install and restart the client application. `installer_arg` is
// argument 2 when the command line had one, else null. `digest_arg` is argument 3, the
// installer's expected MD5 text, else null: when given, the phase runs a checked copy of
// the installer that the user cannot change, and ends before changing anything when the
// copy cannot be made or does not match. 0 or -1.
int run_install_phase(UpdateRun& run, const char* installer_arg, const char* digest_arg);
