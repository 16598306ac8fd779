// Product versions, and the rule that an update only moves forward: the installer's
// version against the installed one, under the machine policy.
#pragma once

#include <string>

#include "frontend/notice.h"
#include "policy/machine_policy.h"

namespace policy {

// A version of one to four numeric parts ("2.4", "10.0.0.1"); `text` as it was given.
struct Version {
    unsigned long parts[4] = {0, 0, 0, 0};
    int count = 0;  // 0: no version
    std::string text;
};

// Parses "a", "a.b", "a.b.c" or "a.b.c.d", each part decimal digits below 2^32 (at most
// nine, for that). False, with `out` untouched, for anything else.
bool parse_version(const std::string& text, Version& out);

// Compares part by part as numbers, a missing part counting as 0 ("2.0" equals
// "2.0.0.0", "10.0" is above "9.0"). Negative, 0 or positive.
int compare_versions(const Version& a, const Version& b);

// Whether `version` lies on the release line `prefix` names: the prefix's parts ("2.1",
// "2.1." alike) equal the version's first parts, as numbers. "2.1" takes 2.1.3, never
// 2.13. An empty prefix takes every version; one that is no version prefix takes none.
bool has_version_prefix(const Version& version, const std::string& prefix);

// The text `name` ("ProductName") in the StringFileInfo of the version resource `block` of
// `size` bytes (VS_VERSIONINFO, as a program's RT_VERSION resource holds it), from the
// first string table that has it. False, with `out` untouched, when there is none or the
// block is malformed: every length in it is checked against the block.
bool find_version_string(const unsigned char* block, size_t size, const std::u16string& name,
                         std::u16string& out);

// The product version of the version resource (VS_FIXEDFILEINFO) of the program at
// `path`, as "a.b.c.d". False when the file has none or cannot be read. Reads the file as
// data only: none of its code runs.
bool read_product_version(const std::string& path, Version& out);

// The installed version: the client application's "DisplayVersion" in its uninstall
// registration when that is a version, else the product version of `client_path`.
bool read_installed_version(const std::string& client_path, Version& out);

// The highest version the update service installed on this machine, kept under
// HKEY_LOCAL_MACHINE\SOFTWARE\<vendor>\<product> (the data folder's names), value
// "HighestInstalledVersion", where only administrators and SYSTEM write: the service refuses
// an installer below it, whatever the registration says by then. False when there is none.
bool read_highest_installed(Version& out);
// Raises it to `version`; never lowers it. False when it could not be written.
bool note_installed(const Version& version);

// The ProductName of the version resource of the program at `path`, in UTF-8. False when
// the file has none or cannot be read. Reads the file as data only.
bool read_product_name(const std::string& path, std::string& out);

// The product every installer must name as its ProductName.
extern const char* const kProductName;

// Why an installer may not run.
enum class Refusal { kNone, kOlder, kNotAllowed, kUnreadable, kOtherProduct };

// Holds the installer at `installer_path` to the installed version and to `policy`, under
// `function`. The client application is the one the updater at `updater_path` serves:
// CorvaneApp.exe in the parent of its folder (the elevated run names the registered
// folder's updater, not the image it runs from).
// - a version outside the policy's TargetVersionPrefix (or none, when there is a prefix):
//   kNotAllowed, after the WARN line and notice "The installer's version <v> is not allowed
//   by the administrator.";
// - no version that can be read: kUnreadable, after the WARN line and notice "Cannot read
//   the installer's version: nothing is installed.": anything the publisher ever signed
//   would otherwise run, an old installer without a version resource among it;
// - a ProductName other than kProductName, or none: kOtherProduct, after the WARN line
//   and notice "The installer is not one of CorvaneApp (its product is <name>): nothing
//   is installed.": another signed program of the publisher is no installer of this one;
// - an older version: kOlder, after the WARN line and notice "The installer's version <v>
//   is older than the installed <v>."; with AllowDowngrade, kNone and a WARN line;
// - the same version: kNone, with an INFO line; a newer one: kNone, with an INFO line;
// - the installed version unreadable: kNone, with one WARN line that says so.
Refusal check_installer_version(const MachinePolicy& policy, const std::string& installer_path,
                                const std::string& updater_path, FrontendNotice& notice,
                                const char* function);

}  // namespace policy
