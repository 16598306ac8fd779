// The first run's side of the update service: the checked installer handed to the service
// by its path alone, the service's steps shown in this run's window as it reports them,
// and then what the elevated run does as the user: the record of the update written and
// the client application started again.
#include "closing/close_processes.h"
#include "driver/install_steps.h"
#include "log/log.h"
#include "service/service.h"
#include "ui/progress_window.h"
#include "utils/desktop_launch.h"
#include "utils/paths.h"
#include "utils/text.h"

unsigned long g_service_busy_wait_ms = 60000;

namespace {

constexpr const char* kPhase = "install_through_service";
// How often the status is read, and how long the service may take in all: its installer's
// limit and the steps around it.
constexpr DWORD kPollMs = 50;
constexpr DWORD kLongestRequestMs = 20 * 60 * 1000;

// Lives as long as the process, as the elevated run's does.
ProgressWindow g_window;

// The service runs in a session of its own, whose programs cannot reach the user's
// windows: it could only end the client application and the programs of its folder by
// force once its grace period is over. This run, on the user's desktop, asks them to close
// meanwhile, as the elevated run asks them, so that they save their work and end by
// themselves. The install folder is the one this run's updater lies in, as the service's
// own updater path is taken from it.
void ask_client_to_close() {
    std::string own;
    closing::CloseRequest request;
    if (utils::get_current_image_path(own) < 0 || utils::get_parent_path(own, request.folder) < 0 ||
        utils::get_parent_path(request.folder, request.folder) < 0)
        return;
    request.image_name = utils::kClientExeName;
    closing::close_processes(request);
}

// Follows the request's status until it has an outcome. False when the service stopped or
// ran out of time without one.
bool follow_status(const std::wstring& folder, const std::string& id,
                   const service::ScopedServiceHandle& running, service::Status& status) {
    const WindowTexts& texts = user_window_texts();
    int shown = -1;
    for (DWORD waited = 0; waited < kLongestRequestMs; waited += kPollMs) {
        // Read before asking whether it stopped: a service that wrote its outcome and
        // stopped since the last read still has its outcome read.
        const bool stopped = service::has_stopped(running);
        if (service::read_status(folder, id, status) == 0) {
            // Every check has passed once the step before the closing is through.
            if (shown < close_step() - 1 && status.step >= close_step() - 1 &&
                status.result.empty())
                ask_client_to_close();
            for (; shown < status.step; ++shown) show_step(&g_window, texts, shown + 1);
            if (!status.result.empty()) return true;
        }
        if (stopped) return false;
        Sleep(kPollMs);
    }
    return false;
}

// What the elevated run would do after its steps, as this user: the record, the client
// application started again, the installer removed after an install.
int finish(UpdateRun& run, const std::string& expected_md5, const service::Status& status) {
    const WindowTexts& texts = user_window_texts();
    const WindowText end = window_text_named(status.window_text);
    const bool installed = status.result == outcome::kInstalled;
    if (!status.notice.empty()) notify_frontend_text(run.notice, "%s", status.notice.c_str());
    outcome::LastUpdate record = record_of(run.installer_path, expected_md5);
    record.result = status.result;
    record.reason = status.reason;
    record.message = narrow(texts.*(installed ? &WindowTexts::done : end));
    record.installer_exit_code = status.exit_code;
    record.previous_version = status.previous_version;
    record.version = status.version;
    write_record(folder_of(run.installer_path), record);

    progress_set_status(&g_window, texts.*(installed ? &WindowTexts::done : end));
    // The service put a new updater where this one ran and left the application closed.
    std::string own;
    std::string client;
    if (utils::get_current_image_path(own) == 0 && gen_hubra_exe_path(own, client) == 0 &&
        utils::file_exists(client) && run_as_desktop_user(widen(client).c_str()) == 0)
        LOG_WARN(kPhase, "Failed to start the client application %s.\n", client.c_str());
    if (!installed) {
        if (g_window.thread != nullptr) WaitForSingleObject(g_window.thread, g_failure_shown_ms);
        return -1;
    }
    progress_set_pos(&g_window, 100);
    remove_file(run.installer_path);
    progress_close(&g_window);
    return 0;
}

}  // namespace

int install_through_service(UpdateRun& run, const std::string& expected_md5) {
    if (!run.policy.use_update_service) {
        LOG_INFO(kPhase, "The policy turns the update service off: asking for elevation.\n");
        return kAskForElevation;
    }
    std::wstring folder;
    service::Request request{service::make_request_id(), run.installer_path};
    if (request.id.empty() || !service::is_plain_drive_path(request.installer) ||
        service::service_folder(folder) < 0) {
        LOG_INFO(kPhase, "No request can be made for %s: asking for elevation.\n",
                 run.installer_path.c_str());
        return kAskForElevation;
    }
    service::ScopedServiceHandle running;
    const service::Answer answer = service::start_request(request, g_service_busy_wait_ms, running);
    if (answer != service::Answer::kStarted) {
        LOG_INFO(kPhase, "The update service is %s: asking for elevation.\n",
                 service::answer_text(answer));
        return kAskForElevation;
    }
    LOG_INFO(kPhase, "The update service installs %s (request %s).\n", request.installer.c_str(),
             request.id.c_str());
    progress_start(&g_window);
    service::Status status;
    if (!follow_status(folder, request.id, running, status)) {
        status.result = outcome::kFailed;
        status.reason = "service";
        status.window_text = "failed";
        status.notice = "The update service ended without an outcome.";
        LOG_WARN(kPhase, "The update service ended without an outcome for request %s.\n",
                 request.id.c_str());
    }
    if (status.ask_administrator) {
        LOG_INFO(kPhase, "The update service refused the install (%s): asking for elevation.\n",
                 status.reason.c_str());
        progress_close(&g_window);
        return kAskForElevation;
    }
    LOG_INFO(kPhase, "The update service ended request %s: %s%s%s.\n", request.id.c_str(),
             status.result.c_str(), status.reason.empty() ? "" : ", ", status.reason.c_str());
    return finish(run, expected_md5, status);
}
