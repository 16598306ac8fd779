// The update service's run: `updater.exe --service`, started by the service control
// manager as LocalSystem with a first run's request, "install <id> <installer path>". It
// takes nothing else from the caller: the install folder comes from the application's
// registration, the installer's arguments are its own, and what runs is its own copy of
// the file, signed by the publisher and newer than what is installed. The update lock is
// the first run's, which holds it while it waits; the service runs one request at a time.
#include <cstdio>

#include "brand.h"
#include "driver/install_steps.h"
#include "log/log.h"
#include "policy/versions.h"
#include "service/service.h"
#include "ui/progress_window.h"
#include "utils/text.h"
#include "version.h"

namespace {

constexpr const char* kPhase = "run_service_phase";

// What the request's status goes into, for the step callback.
std::wstring g_folder;
std::string g_request_id;
int g_last_step = -1;

void write_step(InstallRun&, int step) {
    g_last_step = step;
    service::Status status;
    status.step = step;
    service::write_status(g_folder, g_request_id, status);
}

// The outcome, for the first run, the log and the event log.
void write_outcome(InstallRun& install, int step) {
    service::Status status;
    status.step = step;
    status.result = !install.failed       ? outcome::kInstalled
                    : install.rolled_back ? outcome::kRolledBack
                                          : outcome::kFailed;
    status.reason = install.failed ? install.reason : "";
    status.window_text =
        window_text_name(install.failed ? install.failure_text : &WindowTexts::done);
    if (install.run.notice.kind == FRONTEND_NOTICE_TEXT) status.notice = install.run.notice.text;
    status.ask_administrator = install.failed && install.ask_administrator;
    status.exit_code = install.exit_code;
    status.previous_version = install.previous_version;
    status.version = installed_version();
    if (service::write_status(g_folder, g_request_id, status) < 0)
        LOG_WARN(kPhase, "Failed to write the status of request %s: %s", g_request_id.c_str(),
                 last_error_text().c_str());
    const std::string request = "Request " + g_request_id + " for " + install.installer_arg;
    if (!install.failed)
        service::report_event(service::EventKind::kInformation, request + ": installed.");
    else if (install.rolled_back)
        service::report_event(
            service::EventKind::kError,
            request + ": the install failed and was rolled back (" + install.reason + ").");
    else
        service::report_event(service::EventKind::kWarning,
                              request + ": refused (" + install.reason + "): " + status.notice);
}

}  // namespace

int run_service_request(const std::vector<std::string>& arguments) {
    if (service::service_folder(g_folder) < 0) return -1;
    // The requests before this one have ended: the service runs one at a time.
    service::remove_leftovers(g_folder);
    utils::ScopedKernelHandle log;
    if (service::open_service_log(g_folder, log) == 0)
        attach_log(log, g_folder + L"\\" + widen(log_file_name()));
    LOG_WARN(kPhase, "Build %s, the update service.\n", kVersionText);

    service::Request request;
    std::string why;
    if (!service::read_request(arguments, request, why)) {
        // Without a request id that is surely the first run's, nothing is written for it.
        LOG_WARN(kPhase, "Refused a request of %zu arguments: %s.\n", arguments.size(),
                 why.c_str());
        service::report_event(service::EventKind::kWarning, "Refused a request: " + why + ".");
        return -1;
    }
    g_request_id = request.id;
    LOG_INFO(kPhase, "Request %s: install %s.\n", request.id.c_str(), request.installer.c_str());
    service::report_event(service::EventKind::kInformation,
                          "Accepted request " + request.id + " for " + request.installer + ".");

    UpdateRun run{};
    run.installer_path = request.installer;
    // Never shown: the first run shows the steps in the user's session.
    static ProgressWindow window;
    InstallRun install(run, request.installer.c_str(), "", &window);
    install.by_service = true;
    install.on_step = write_step;
    // Turned off since the first run read the policy: updates at all, or this way of
    // installing them, when the first run asks for elevation instead.
    if (read_policy_first(run, kPhase) < 0 || !run.policy.use_update_service) {
        if (!run.policy.updates_disabled)
            LOG_WARN(kPhase, "The policy turns the update service off: nothing is installed.\n");
        install.reason = "policy";
        install.ask_administrator = !run.policy.updates_disabled;
        install.failed = true;
        write_outcome(install, -1);
        return -1;
    }
    const int result = run_install_steps(install);
    policy::Version version;
    if (result == 0 && policy::read_product_version(install.run.installer_path, version) &&
        !policy::note_installed(version))
        LOG_WARN(kPhase, "Failed to note version %s as installed.\n", version.text.c_str());
    write_outcome(install, g_last_step);
    return result;
}

int run_service_phase() {
    // A service has no standard output: the notices of its steps go nowhere, rather than
    // each failing with a line in the log. The first run gets them from the status.
    if (std::freopen("NUL", "w", stdout) == nullptr) LOG_WARN(kPhase, "No standard output.\n");
    return service::run_dispatcher(run_service_request);
}
