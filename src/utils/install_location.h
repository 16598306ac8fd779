// Where the client application is installed, from its uninstall registration.
#pragma once

#include <string>

// Looks among the 32-bit programs' uninstall registrations (HKEY_LOCAL_MACHINE,
// "SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall") for the subkey named
// exactly `application_name` (same letter case); when there is none, among those of the
// registry's native 64-bit view (the same path without "Wow6432Node", KEY_WOW64_64KEY),
// where a 64-bit installer writes. Returns the found subkey's "InstallLocation" value in
// the ANSI code page: as stored, except that a REG_EXPAND_SZ value comes with its
// environment references expanded from the system's variables only, never the user's
// (empty when the result exceeds 260 characters or names a variable the system does not
// have). The first subkey of that name ends the search, even one without the value.
// Prints the number of 32-bit registrations to standard output once when there are any.
// Returns an empty string when nothing is found or anything fails; logs nothing.
// Read-only; any thread.
std::string find_install_location(std::string application_name);

// The "DisplayVersion" text (REG_SZ) of the registration that find_install_location
// finds for `application_name`, as stored. Empty when there is none, when it has another
// type, or when it does not fit 260 characters. Logs nothing. Read-only; any thread.
std::string find_display_version(const std::string& application_name);

// The machine's program-data folder as the system's profile list names it
// (HKEY_LOCAL_MACHINE, "SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList", value
// "ProgramData", "%SystemDrive%\ProgramData" on Windows), expanded from the system's
// variables only, as the install location is. Empty when it cannot be read or names a
// variable the system does not have. Logs nothing. Read-only; any thread.
std::wstring find_program_data_folder();

// The machine's Program Files folder as the system names it (HKEY_LOCAL_MACHINE,
// "SOFTWARE\Microsoft\Windows\CurrentVersion", value "ProgramFilesDir"), expanded from the
// system's variables only. Empty when it cannot be read. Logs nothing. Any thread.
std::wstring find_program_files_folder();
