#include "driver/phases.h"
#include "log/log.h"

// The install phase is not part of this build yet: a run that asks for it is refused
// with a line in the log rather than reported as done.
int run_install_phase(UpdateRun&, const char*) {
    LOG_WARN("run_install_phase", "The install phase is not available in this build.\n");
    return -1;
}
