#include <cstring>
#include <vector>

#include "log/log.h"
#include "policy/machine_policy.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"

namespace policy {

namespace {

DWORD registry_type(ValueType type) {
    switch (type) {
        case ValueType::kDword:
            return REG_DWORD;
        case ValueType::kString:
            return REG_SZ;
        case ValueType::kMultiString:
            return REG_MULTI_SZ;
    }
    return REG_NONE;
}

// True, with its data in `data`, when `value` exists with its own type; the data is
// followed by at least two zeroed UTF-16 units, which end a text or a list of texts whose
// stored form lacks them. A value of another type is logged and refused.
bool read_value(HKEY key, const PolicyValue& value, std::vector<wchar_t>& data,
                const char* function) {
    const std::wstring name = widen(value.name);
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
        return false;
    if (type != registry_type(value.type)) {
        LOG_WARN(function,
                 "The policy value %s has the registry type %lu, not %lu: it is ignored.\n",
                 value.name, type, registry_type(value.type));
        return false;
    }
    data.assign((bytes + 1) / sizeof(wchar_t) + 2, L'\0');
    DWORD size = bytes;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS ||
        type != registry_type(value.type))
        return false;
    return true;
}

}  // namespace

void read_machine_policy(MachinePolicy& out, const char* function) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(kPolicyKey).c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
        return;
    const utils::ScopedRegistryKey key(opened);
    out = MachinePolicy();

    std::vector<wchar_t> data;
    const auto number = [&data] {
        DWORD value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return value;
    };
    if (read_value(key.get(), kPolicyValues[kUpdatesDisabled], data, function))
        out.updates_disabled = number() == 1;
    if (read_value(key.get(), kPolicyValues[kAllowDowngrade], data, function))
        out.allow_downgrade = number() == 1;
    if (read_value(key.get(), kPolicyValues[kTargetVersionPrefix], data, function))
        out.target_version_prefix = narrow(data.data());
    if (read_value(key.get(), kPolicyValues[kDownloadHosts], data, function)) {
        // NUL-separated names, ended by an empty one.
        for (const wchar_t* host = data.data(); *host != L'\0'; host += wcslen(host) + 1)
            out.download_hosts.push_back(narrow(host));
    }
    if (read_value(key.get(), kPolicyValues[kFeedUrl], data, function))
        out.feed_url = narrow(data.data());
    if (read_value(key.get(), kPolicyValues[kChannel], data, function))
        out.channel = narrow(data.data());
    // On unless set to 0: unlike the others, this setting's default is on.
    if (read_value(key.get(), kPolicyValues[kUseUpdateService], data, function))
        out.use_update_service = number() != 0;
    LOG_INFO(function, "Machine policy in force: %s.\n", describe_policy(out).c_str());
}

}  // namespace policy
