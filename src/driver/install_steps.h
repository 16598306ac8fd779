// The steps of an install, from the checked copy of the installer to the client
// application started again, in one table, and what they find out and hand on to each
// other. The elevated run (install_phase.cpp) runs them between taking the update lock
// and showing how the update ended.
#pragma once

#include <future>
#include <optional>
#include <string>

#include "driver/phases.h"
#include "outcome/last_update.h"
#include "rollback/folder_snapshot.h"
#include "trust/protected_copy.h"
#include "trust/publisher.h"
#include "ui/window_texts.h"

struct ProgressWindow;

// The client application's version as registered, if any.
std::optional<std::string> installed_version();

// The function name of the install's log lines.
inline constexpr const char* kInstallPhaseName = "run_install_phase";

// What the steps of one install phase find out and hand on to the steps after them.
struct InstallRun {
    InstallRun(UpdateRun& run_, const char* installer, const char* digest, ProgressWindow* window_)
        : run(run_), installer_arg(installer), digest_arg(digest), window(window_) {}

    UpdateRun& run;
    const char* installer_arg;  // as the first run gave it, never null
    const char* digest_arg;     // the installer's MD5 text, never null
    ProgressWindow* window;
    trust::ProtectedCopy checked;             // the copy of the installer that runs
    trust::OwnPublisherReader own_publisher;  // read while the phase starts and copies
    std::string own_path;     // updater.exe; the running image leaves it for backup_path
    std::string backup_path;  // updater.old.exe
    std::string staged_path;  // updater.new.exe: the copy that becomes updater.exe
    std::string client_path;
    std::string registered_folder;  // from the uninstall registration; empty without one
    std::string folder;             // the install folder, "/D=" of the installer
    std::wstring temp_folder;       // the installer's TEMP, beside the checked copy
    // Declared after `checked`, so that it goes first; kept on disk when a restore failed.
    rollback::FolderSnapshot snapshot;
    bool failed = false;  // a step that goes on after a failure has failed
    const WindowTexts& texts = user_window_texts();
    WindowText failure_text = &WindowTexts::failed;  // the window's last text when a step failed

    // For the record of this update.
    std::wstring record_folder;          // the first run's update folder
    std::string reason;                  // of the first failure; empty while all went well
    bool rolled_back = false;            // the install failed and the folder is back
    std::optional<long long> exit_code;  // the installer's, once it ran
    // Read as the run starts: whichever step it ends at, the version it found.
    std::optional<std::string> previous_version = installed_version();
    bool recorded = false;

    // Set when the update service runs the steps for a first run that waits for it: the
    // installer comes without a digest, the install folder only from the registration and
    // under Program Files, the updater image moved aside is the first run's, and the first
    // run records the outcome and starts the application, as the user.
    bool by_service = false;
    // A refusal that an administrator may overrule: the first run asks for elevation then.
    bool ask_administrator = false;
    // Called after each step the steps go on from, with its index; null: nothing.
    void (*on_step)(InstallRun& install, int step) = nullptr;

    // What still holds the install folder once its programs have ended, looked for while
    // the snapshot is taken (closing::close_processes).
    std::future<int> holders_report;

    // The checked copy's signature, checked on a thread of its own from the copy on while
    // the steps that change nothing outside this run's own files go on: check_publisher's
    // result. Declared last, so that it is waited for before the copy and the publisher it
    // reads go.
    std::future<int> publisher_check;
};

// Runs the steps in order, showing each in the window. 0 when every one succeeded. -1
// otherwise: when a step failed that no later step goes on from, the record of the
// outcome is still to be written (record_outcome).
int run_install_steps(InstallRun& install);
// Writes the record of the update for the client application, once per run.
int record_outcome(InstallRun& install);
// Tells g_install_step_hook, when set, that step `step` is through.
void reached(int step, ProgressWindow* window);
// The index of the step that closes the client application and what runs from the install
// folder: every check has passed before it.
int close_step();
// Shows in `window` what the window shows once step `step` is through, in `texts`: for a
// first run that follows the steps the service runs.
void show_step(ProgressWindow* window, const WindowTexts& texts, int step);
// The field of WindowTexts that `text` is, by its name ("done", "failed", "rolled_back",
// "publisher_refused", "older"), and back: empty, or `failed`, for any other.
const char* window_text_name(WindowText text);
WindowText window_text_named(const std::string& name);

// The record of an update, for the runs that end before the steps: see the definitions.
bool is_local_file_path(const std::string& path);
std::wstring folder_of(const std::string& path);
outcome::LastUpdate record_of(const std::string& path, const std::string& md5);
void write_record(const std::wstring& folder, outcome::LastUpdate record);
