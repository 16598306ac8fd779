// What every run of the updater shares, whichever phase it runs: the brand's names of the
// installer, the lock and the elevated run's marker, and the machine policy read first.
#include "brand.h"
#include "driver/phases.h"
#include "log/log.h"

const char* const kDefaultInstallerName = BRAND_INSTALLER_NAME;
const char* const kLockBaseName = BRAND_LOCK_NAME;
const wchar_t* const kPhaseMarker = BRAND_PHASE_MARKER_W;

int read_policy_first(UpdateRun& run, const char* function) {
    policy::read_machine_policy(run.policy, function);
    if (run.policy.updates_disabled)
        return REPORT_FAILURE(run.notice, function, "Updates are turned off by the administrator.");
    return 0;
}
