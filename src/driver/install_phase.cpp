// The second, elevated run of an update: back up this program, close the client
// application, run the installer silently into its folder and start it again as the
// desktop user, showing each step in the progress window.
#include <cstdio>

#include "driver/install_steps.h"
#include "log/log.h"
#include "ui/progress_window.h"
#include "utils/singleton_mutex.h"

unsigned long g_failure_shown_ms = 5000;
unsigned long g_lock_patience_ms = 60000;

namespace {

constexpr const char* kPhase = kInstallPhaseName;

// The window's UI thread keeps using the record until the process ends when the phase
// fails, so it lives as long as the process.
ProgressWindow g_window;

}  // namespace

int run_install_phase(UpdateRun& run, const char* installer_arg, const char* digest_arg) {
    // Started elevated, this run has a console of its own that nobody reads, and under Wine
    // its first line there cost 20 to 40 ms on the way to the installer (measured).
    // Buffered, what is not flushed at once (the install-location lookup's count) goes out
    // with the next notice or as the run ends; notices flush themselves.
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    if (read_policy_first(run, kPhase) < 0) return -1;
    // The first run always hands on the digest that it checked. Without it nothing says
    // what may run with administrator rights, so nothing does.
    if (installer_arg == nullptr || digest_arg == nullptr) {
        LOG_WARN(kPhase, "No installer and digest were given: nothing is installed.\n");
        return -1;
    }
    // Held from here to the end: waits until the download phase that started us has let
    // go, and creates the lock when that run has ended already, so that no other update
    // starts while this one installs. Anyone may create the mutex and hold it; then this
    // run ends, changing nothing, rather than wait for ever or install unguarded.
    // Declared first: the checked copy goes before it.
    SingletonMutex lock(kLockBaseName, false);
    if (!lock.acquire_within(g_lock_patience_ms)) {
        LOG_WARN(kPhase, "The update lock %s is held by another process: nothing is installed.\n",
                 lock.name().c_str());
        outcome::LastUpdate record = record_of(installer_arg, digest_arg);
        record.result = outcome::kFailed;
        record.reason = "lock";
        record.previous_version = record.version = installed_version();
        if (is_local_file_path(installer_arg)) write_record(folder_of(installer_arg), record);
        return -1;
    }

    LOG_WARN(kPhase, "path changed (%s -> %s).\n", kDefaultInstallerName, installer_arg);
    run.installer_path = installer_arg;
    // The window's thread first: the run's own signature is read on a thread that starts
    // with `install`, and the two starting together loaded the code-signing and window
    // libraries at the same time, which under Wine could hang the run for good.
    progress_start(&g_window);
    InstallRun install(run, installer_arg, digest_arg, &g_window);
    install.record_folder = folder_of(installer_arg);

    if (run_install_steps(install) < 0) {
        // The installer that was downloaded stays for the client application's next try;
        // the checked copy goes with `install`.
        progress_set_status(install.window, install.texts.*install.failure_text);
        record_outcome(install);
        reached(kInstallStepCount, install.window);
        // The failure stays on screen for a while, or until the user closes the window:
        // ending at once would take it away before anyone could read it. The lock is held
        // meanwhile: an update started now would fail at the backup, since this run's
        // image is still running as updater.old.exe.
        if (g_window.thread != nullptr) WaitForSingleObject(g_window.thread, g_failure_shown_ms);
        return -1;
    }
    progress_set_pos(install.window, 100);
    progress_set_status(install.window, install.texts.done);
    reached(kInstallStepCount, install.window);
    // The installer is deleted through the handle it was checked by.
    install.checked.remove_source();
    progress_close(install.window);
    return 0;
}
