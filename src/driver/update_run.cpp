// What every run of the updater shares, whichever phase it runs: the brand's names of the
// installer, the lock and the elevated run's marker, the machine policy read first, and
// the log of the runs that write it where only administrators can.
#include <fcntl.h>
#include <io.h>

#include "brand.h"
#include "driver/phases.h"
#include "log/log.h"
#include "utils/text.h"

const char* const kDefaultInstallerName = BRAND_INSTALLER_NAME;
const char* const kLockBaseName = BRAND_LOCK_NAME;
const wchar_t* const kPhaseMarker = BRAND_PHASE_MARKER_W;

int read_policy_first(UpdateRun& run, const char* function) {
    policy::read_machine_policy(run.policy, function);
    if (run.policy.updates_disabled)
        return REPORT_FAILURE(run.notice, function, "Updates are turned off by the administrator.");
    return 0;
}

void attach_log(utils::ScopedKernelHandle& file, const std::wstring& path) {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND);
    if (descriptor < 0) return;
    file.release();  // the descriptor owns it now
    FILE* stream = _fdopen(descriptor, "a");
    if (stream == nullptr) {
        _close(descriptor);
        return;
    }
    log_attach(stream, narrow(path));
}
