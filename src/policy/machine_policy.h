// Machine policy: what an administrator sets for every user of the machine under
// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Corvane\Updater, by hand or through Group Policy
// with the template in policies/. Each run of an update reads it once, before it does
// anything else. Without the key the updater behaves as if no policy existed.
#pragma once

#include <string>
#include <vector>

namespace policy {

// The key, under HKEY_LOCAL_MACHINE.
extern const char* const kPolicyKey;

// The registry types of the values the updater reads.
enum class ValueType { kDword, kString, kMultiString };

struct PolicyValue {
    const char* name;
    ValueType type;
};

// Every value the updater reads, indexed by ValueIndex. policies/corvane-updater.admx
// names the same values with the same types.
enum ValueIndex {
    kUpdatesDisabled,
    kAllowDowngrade,
    kTargetVersionPrefix,
    kDownloadHosts,
    kFeedUrl,
    kChannel,
    kUseUpdateService
};
constexpr int kValueCount = 7;
extern const PolicyValue kPolicyValues[kValueCount];

// The policy in force. A DWORD setting is on when its value is 1.
struct MachinePolicy {
    bool updates_disabled = false;            // no update runs at all
    bool allow_downgrade = false;             // an older installer may replace a newer version
    std::string target_version_prefix;        // empty: any version; else the installer's
                                              // version must lie on this release line
                                              // (has_version_prefix: "2.1" is not 2.13)
    std::vector<std::string> download_hosts;  // empty: any host; else the only host names
                                              // the installer and its redirects may come from
    std::string feed_url;            // the release feed of --check and --feed when they name none
    std::string channel;             // the release channel when the command line names none
    bool use_update_service = true;  // the first run asks the update service, when there is
                                     // one, before it asks for elevation; off at 0
};

// Fills `out` from the key; leaves it as constructed when there is no key. A value of
// another type than its own is ignored, with a WARN line under `function` that names it.
// When the key exists, logs one INFO line under `function` with the policy in force
// (describe_policy). Main thread.
void read_machine_policy(MachinePolicy& out, const char* function);

// The policy as one text, every value named:
// "UpdatesDisabled=0, AllowDowngrade=1, TargetVersionPrefix=\"2.4.\", DownloadHosts=a;b,
// FeedUrl=\"\", Channel=\"\", UseUpdateService=1".
std::string describe_policy(const MachinePolicy& policy);

}  // namespace policy
