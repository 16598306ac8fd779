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

// The product version of the version resource (VS_FIXEDFILEINFO) of the program at
// `path`, as "a.b.c.d". False when the file has none or cannot be read. Reads the file as
// data only: none of its code runs.
bool read_product_version(const std::string& path, Version& out);

// The installed version: the client application's "DisplayVersion" in its uninstall
// registration when that is a version, else the product version of `client_path`.
bool read_installed_version(const std::string& client_path, Version& out);

// Why an installer may not run.
enum class Refusal { kNone, kOlder, kNotAllowed };

// Holds the installer at `installer_path` to the installed version and to `policy`, under
// `function`. The client application is the one this updater serves: CorvaneApp.exe in the
// parent of the updater's folder.
// - a version outside the policy's TargetVersionPrefix (or none, when there is a prefix):
//   kNotAllowed, after the WARN line and notice "The installer's version <v> is not allowed
//   by the administrator.";
// - an older version: kOlder, after the WARN line and notice "The installer's version <v>
//   is older than the installed <v>."; with AllowDowngrade, kNone and a WARN line;
// - the same version: kNone, with an INFO line; a newer one: kNone, with an INFO line;
// - either version unreadable: kNone, with one WARN line that says which.
Refusal check_installer_version(const MachinePolicy& policy, const std::string& installer_path,
                                FrontendNotice& notice, const char* function);

}  // namespace policy
