// The updater's entry: log the build, step out of sight, run the phase the command line
// asks for and turn its outcome into the exit code.
#include "driver/entry.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/phases.h"
#include "fs/protected_folder.h"
#include "log/log.h"
#include "service/service.h"
#include "utils/console.h"
#include "utils/text.h"
#include "version.h"

const char* const kVersionText = UPDATER_VERSION_TEXT;

namespace {

// The elevated run's working folder is the user's: an "update.log" there could be a link
// to any file, which an administrator's append would create or write. Its log lives where
// only administrators write (see fs::open_protected_log); when that fails, it runs
// without a log.
void open_elevated_log() {
    std::wstring path;
    utils::ScopedKernelHandle file;
    if (fs::open_protected_log(path, file) < 0) {
        std::fprintf(stderr, "Failed to open log file(%s): %s", log_file_name(),
                     last_error_text().c_str());
        return;
    }
    attach_log(file, path);
}

// The first run's log is "update.log" in its working folder, which the client application
// chooses, usually its own folder. Under Program Files a standard user cannot write there
// (Wine does not enforce that; a folder of that name fails the same way): the log then
// goes to the update folder, which the first run makes anyway, and the first status line
// says where it is.
void open_first_run_log(UpdateRun& run) {
    FILE* stream = open_file(log_file_name(), "a+");
    if (stream != nullptr) {
        log_attach(stream, log_file_name());
        return;
    }
    const std::string path =
        make_update_folder(run) < 0 ? std::string() : run.update_folder + "\\" + log_file_name();
    stream = path.empty() ? nullptr : open_file(path, "a+");
    if (stream == nullptr) {
        std::fprintf(stderr, "Failed to open log file(%s).\n", log_file_name());
        return;
    }
    log_attach(stream, path);
    LOG_INFO("main", "The working folder cannot be written: the log is %s.\n", path.c_str());
    notify_frontend_text(run.notice, "The working folder cannot be written: the log is %s.",
                         path.c_str());
}

// `--check [FEED_URL] [--channel C]` or `--feed ...` into `out`. False for any other
// command line, a malformed one of these among them.
bool read_feed_request(int argc, char** argv, FeedRequest& out) {
    const std::string verb = argv[1];
    if (verb != "--check" && verb != "--feed") return false;
    FeedRequest request;
    request.install = verb == "--feed";
    int at = 2;
    if (at < argc && std::strcmp(argv[at], "--channel") != 0) request.url = argv[at++];
    if (at + 1 < argc && std::strcmp(argv[at], "--channel") == 0) {
        request.channel = argv[at + 1];
        at += 2;
    }
    if (at != argc) return false;
    out = request;
    return true;
}

}  // namespace

int updater_main(int argc, char** argv) {
    // The update service opens its own log, in its folder, once it has a request.
    if (argc == 2 && widen(argv[1]) == service::kServiceArgument) return run_service_phase();
    UpdateRun run{};
    run.installer_path = kDefaultInstallerName;
    const bool elevated = argc >= 2 && widen(argv[1]) == kPhaseMarker;
    const std::string verb = argc == 2 ? argv[1] : "";
    // Registering the service is an administrator's run too, in the user's working folder.
    const bool registration = verb == "--register-service" || verb == "--unregister-service";
    if (elevated || registration)
        open_elevated_log();
    else
        open_first_run_log(run);
    LOG_WARN("main", "Build %s at %s %s.\n", kVersionText, __DATE__, __TIME__);
    // The elevated run does not wait for its console's window (utils/console.h): it takes
    // the lock and brings its own window up meanwhile, and its signature reader starts
    // only once the window's libraries are loaded (install_phase.cpp). A first run hides
    // its console here, before its own reader starts.
    if (elevated)
        utils::hide_own_console_meanwhile();
    else
        utils::hide_own_console();

    int result = 0;
    FeedRequest feed;
    if (registration) {
        // Run elevated by the application's installer and uninstaller.
        result = verb == "--register-service" ? service::register_service()
                                              : service::unregister_service();
    } else if (elevated) {
        result =
            run_install_phase(run, argc >= 3 ? argv[2] : nullptr, argc >= 4 ? argv[3] : nullptr);
    } else if (argc >= 2 && read_feed_request(argc, argv, feed)) {
        // The check's own exit codes tell the caller what it found.
        result = run_feed_phase(run, feed);
        return result < 0 ? -1 : result;
    } else if (argc >= 2 && std::strncmp(argv[1], "--", 2) == 0) {
        result = REPORT_FAILURE(run.notice, "main",
                                "Usage: updater.exe URL MD5 | --check [FEED_URL] [--channel C] | "
                                "--feed [FEED_URL] [--channel C] | --register-service | "
                                "--unregister-service");
    } else if (argc >= 3) {
        result = run_download_phase(run, argv[1], argv[2]);
    }
    return result < 0 ? -1 : 0;
}
