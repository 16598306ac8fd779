#include "driver/phases.h"
#include "log/log.h"

// The download phase is not part of this build yet: a run that asks for it is refused
// with a line in the log rather than reported as done.
int run_download_phase(UpdateRun&, const std::string&, const std::string&) {
    LOG_WARN("run_download_phase", "The download phase is not available in this build.\n");
    return -1;
}
