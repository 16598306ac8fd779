#include "policy/machine_policy.h"

#include "brand.h"

namespace policy {

const char* const kPolicyKey = BRAND_POLICY_KEY;

const PolicyValue kPolicyValues[kValueCount] = {
    {"UpdatesDisabled", ValueType::kDword},
    {"AllowDowngrade", ValueType::kDword},
    {"TargetVersionPrefix", ValueType::kString},
    {"DownloadHosts", ValueType::kMultiString},
    {"FeedUrl", ValueType::kString},
    {"Channel", ValueType::kString},
    {"UseUpdateService", ValueType::kDword},
};

std::string describe_policy(const MachinePolicy& policy) {
    std::string hosts;
    for (const std::string& host : policy.download_hosts)
        hosts += (hosts.empty() ? "" : ";") + host;
    return std::string(kPolicyValues[kUpdatesDisabled].name) + "=" +
           (policy.updates_disabled ? "1" : "0") + ", " + kPolicyValues[kAllowDowngrade].name +
           "=" + (policy.allow_downgrade ? "1" : "0") + ", " +
           kPolicyValues[kTargetVersionPrefix].name + "=\"" + policy.target_version_prefix +
           "\", " + kPolicyValues[kDownloadHosts].name + "=" + hosts + ", " +
           kPolicyValues[kFeedUrl].name + "=\"" + policy.feed_url + "\", " +
           kPolicyValues[kChannel].name + "=\"" + policy.channel + "\", " +
           kPolicyValues[kUseUpdateService].name + "=" + (policy.use_update_service ? "1" : "0");
}

}  // namespace policy
