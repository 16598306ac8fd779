// The steps of an install and the table that orders them (install_steps.h).
#include "driver/install_steps.h"

#include <cctype>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "brand.h"
#include "closing/close_processes.h"
#include "fs/file_tree.h"
#include "fs/folder_rights.h"
#include "fs/protected_folder.h"
#include "log/log.h"
#include "outcome/last_update_file.h"
#include "policy/versions.h"
#include "rollback/folder_snapshot.h"
#include "trust/protected_copy.h"
#include "trust/publisher.h"
#include "ui/progress_window.h"
#include "ui/window_texts.h"
#include "utils/desktop_launch.h"
#include "utils/install_location.h"
#include "utils/paths.h"
#include "utils/process.h"
#include "utils/system_calls.h"
#include "utils/text.h"

InstallStepHook g_install_step_hook = nullptr;

namespace {

constexpr const char* kPhase = kInstallPhaseName;

// Why fs::check_folder_and_above refused a folder, in the words of the refusal's line.
const char* folder_refusal_cause() {
    switch (GetLastError()) {
        case ERROR_ACCESS_DENIED:
            return "others than the administrators may change";
        case ERROR_CANT_ACCESS_FILE:
            return "a link, or no folder, is";
        default:
            return "this run cannot check";
    }
}

// Runs ended by force leave their protected folders behind; this run holds the lock, so
// none of them is in use by an update. Folders that this program did not make stay. A snapshot of a
// folder that an unfinished install may have changed stays: it may be the only copy of the
// application's previous version. A folder whose files cannot all be deleted is in use and stays
// too.
int clear_abandoned_folders(InstallRun& install) {
    // Where the checked copy, the snapshot and the log go: refused, nothing is installed.
    std::wstring base;
    std::wstring refused;
    if (fs::program_data_folder(base, &refused) < 0)
        return REPORT_FAILURE(install.run.notice, kPhase,
                              "The program-data folder is refused: %s %s. Nothing is installed.",
                              folder_refusal_cause(), narrow(refused).c_str());
    for (const std::wstring& folder : fs::protected_folders()) {
        const std::string shown = narrow(folder);
        // Anyone may make a folder there under our names, or a link to one of theirs, for
        // this run to delete what it holds or leads to.
        if (!fs::is_own_protected_folder(folder)) {
            LOG_WARN(kPhase, "Left %s alone: this program did not make it.\n", shown.c_str());
        } else if (rollback::holds_unfinished_install(folder)) {
            LOG_WARN(kPhase,
                     "Kept %s: it holds the snapshot of a folder that an unfinished install "
                     "may have changed.\n",
                     shown.c_str());
        } else if (fs::delete_tree(folder) == 0) {
            LOG_INFO(kPhase, "Removed %s.\n", shown.c_str());
        }
    }
    return 0;
}

// True when `folder` lies below the machine's Program Files folder, compared as text
// without regard to letter case once its "." and ".." are resolved ("C:\Program
// Files\..\Users" is not); the folder's links are check_folder_and_above's to find.
bool is_in_program_files(const std::wstring& folder) {
    const std::wstring base = find_program_files_folder() + L"\\";
    const std::wstring full = fs::full_path(folder);
    return base.size() > 1 && full.size() > base.size() &&
           CompareStringOrdinal(full.c_str(), static_cast<int>(base.size()), base.c_str(),
                                static_cast<int>(base.size()), TRUE) == CSTR_EQUAL;
}

// True when the folder of `path` is an update folder, ...\<vendor>\<product> as the
// first run makes it below the user's application data, compared without regard to letter
// case.
bool is_in_update_folder(const std::string& path) {
    const std::wstring folder = folder_of(path);
    const std::wstring suffix = widen(utils::kUpdateFolderSuffix);
    return folder.size() > suffix.size() &&
           CompareStringOrdinal(folder.c_str() + folder.size() - suffix.size(),
                                static_cast<int>(suffix.size()), suffix.c_str(),
                                static_cast<int>(suffix.size()), TRUE) == CSTR_EQUAL;
}

std::string file_name_of(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// write_record's reading and writing, as whoever the thread acts as.
void write_record_as_user(const std::wstring& folder, outcome::LastUpdate record) {
    std::optional<outcome::LastUpdate> previous;
    outcome::LastUpdate found;
    if (outcome::read_last_update(folder, found) == 0) previous = found;
    record.failures_of_this_installer =
        outcome::failures_in_a_row(previous, record.md5, record.result, record.reason);
    record.finished_at = outcome::utc_text(std::time(nullptr));
    record.log = narrow(fs::full_path(widen(log_path())));
    outcome::write_last_update(folder, record);
}

// The first run hands on the full path of the file it downloaded, on a disk of this
// machine. Whoever else starts this run may name anything: a share, where opening the file
// would sign in with this run's credentials; a device, read without end; a stream; a path
// relative to a folder of their choice. None of that is opened. The user's shell folders
// are the user's to point anywhere: this run makes none of them, and reads one only to
// narrow what it opens as that user (make_checked_copy).
int check_installer_path(InstallRun& install) {
    const std::string& path = install.run.installer_path;
    // The service opens what it is given as SYSTEM, for a caller it cannot act as: only a
    // file in an update folder, where first runs download, so that no request learns
    // whether any other file of the machine exists, or what it is.
    if (install.by_service && !is_in_update_folder(path)) {
        install.record_folder.clear();
        return REPORT_FAILURE(install.run.notice, kPhase,
                              "The installer path %s is not in an update folder: the service "
                              "opens nothing.",
                              path.c_str());
    }
    if (is_local_file_path(path)) return 0;
    // Nothing is written there either, not even the record.
    install.record_folder.clear();
    return REPORT_FAILURE(install.run.notice, kPhase,
                          "The installer path %s is not a file on a local disk: nothing is "
                          "installed.",
                          path.c_str());
}

// The installer lies where any program of the user can replace it after the first run
// checked it. This run checks its own copy, out of the user's reach, against the digest
// and runs that; before anything has changed, so that a refusal leaves everything as it
// was.
//
// Elevated, the installer is opened as the desktop user (the taskbar owner), and only in
// that user's update folder, where the first run downloads: nothing is read that the user
// could not read, nor from anywhere else. That folder is the user's to point anywhere; it
// only narrows what the user may name, and is neither made nor written.
int make_checked_copy(InstallRun& install) {
    const std::string& path = install.run.installer_path;
    trust::SourceOwner owner;
    utils::ScopedKernelHandle user;
    // The service acts for no user it could name: what it opens is held to the request's
    // form (service/request.h) and to the copy's own refusals, and runs only when signed.
    if (is_admin() && !install.by_service) {
        user.reset(get_shell_token());
        std::string folder;
        if (!user || utils::get_app_data_path(utils::kUpdateFolderSuffix, folder, user.get()) < 0) {
            install.reason = "installer_path";
            return REPORT_FAILURE(install.run.notice, kPhase,
                                  "Cannot act as the desktop user, so the installer %s is not "
                                  "opened: nothing is installed.",
                                  path.c_str());
        }
        owner.user_token = user.get();
        owner.folder = widen(folder);
    }
    const int copied =
        install.by_service
            ? trust::copy_signed_to_protected_folder(path, install.checked)
            : trust::copy_to_protected_folder(path, install.digest_arg, install.checked, owner);
    if (copied == -2) {
        // Nor is the record written beside it: the client application reads it only there.
        install.reason = "installer_path";
        install.record_folder.clear();
    }
    if (copied < 0) return -1;
    install.run.installer_path = install.checked.path();
    // Its signature is checked meanwhile (a fifth of a second under Wine, most of it
    // hashing), through the handle the copy is held by: the bytes checked are the bytes
    // copied. Where no thread can be started, check_publisher checks it.
    install.publisher_check =
        std::async(std::launch::async | std::launch::deferred,
                   [&own = install.own_publisher, path = install.checked.path(),
                    file = install.checked.handle()] {
                       return trust::check_installer_publisher(own, path, kPhase, file);
                   });
    return 0;
}

// The updater's copy that the steps before the checks made beside it goes when a check
// refuses the installer.
void remove_staged_copy(InstallRun& install) {
    if (!install.staged_path.empty()) remove_file(install.staged_path.c_str());
}

// Only an installer from the updater's own publisher runs with administrator rights. A
// refusal comes before anything has changed: the client application keeps running, and
// the checked copy and its folder go when the phase returns.
int check_publisher(InstallRun& install) {
    if (install.publisher_check.get() < 0) {
        install.failure_text = &WindowTexts::publisher_refused;
        remove_staged_copy(install);
        return -1;
    }
    return 0;
}

// The checked copy is held to the installed version and the machine policy again: the
// first run's check was made on a file the user could change since.
int hold_to_versions(InstallRun& install) {
    const policy::Refusal refusal =
        policy::check_installer_version(install.run.policy, install.run.installer_path,
                                        install.own_path, install.run.notice, kPhase);
    if (refusal == policy::Refusal::kOlder) install.failure_text = &WindowTexts::older;
    if (refusal != policy::Refusal::kNone) return -1;
    // The service also holds the installer to the highest version it ever installed here,
    // should the registration have been taken back meanwhile (an uninstall, an old
    // version installed by hand).
    policy::Version highest;
    policy::Version version;
    if (!install.by_service || install.run.policy.allow_downgrade ||
        !policy::read_highest_installed(highest) ||
        !policy::read_product_version(install.run.installer_path, version) ||
        policy::compare_versions(version, highest) >= 0)
        return 0;
    install.failure_text = &WindowTexts::older;
    return REPORT_FAILURE(install.run.notice, kPhase,
                          "The installer's version %s is older than %s, which the update service "
                          "installed before.",
                          version.text.c_str(), highest.text.c_str());
}

int check_version(InstallRun& install) {
    if (hold_to_versions(install) == 0) return 0;
    remove_staged_copy(install);
    return -1;
}

// With a registration, this run must be the updater in the registered folder, compared
// as a file and not as a path's text: a copy anywhere else lies in a folder whoever
// started it may change while it works, and its backup would be made there. The file
// compared is the one whose signature names the publisher, opened once. From here on
// every path of the updater comes from the install folder. Without a registration the
// parent-folder fallback stays (see install_folder).
int find_own_path(InstallRun& install) {
    std::string image;
    if (utils::get_current_image_path(image) < 0)
        return REPORT_FAILURE(install.run.notice, kPhase, "Failed to get current exe path.");
    const std::string& registered = install.registered_folder =
        utils::install_folder_text(find_install_location(utils::kApplicationName));
    // The service installs only into a registered folder, and the updater it moves aside
    // there is the first run's, not its own.
    if (install.by_service && registered.empty()) {
        install.ask_administrator = true;
        return REPORT_FAILURE(install.run.notice, kPhase,
                              "The application has no install location: the service installs "
                              "nothing.");
    }
    if (registered.empty()) {
        install.own_path = image;
        return 0;
    }
    const std::string expected = utils::join_path(registered, "upd\\updater.exe");
    if (install.by_service && !expected.empty()) {
        install.own_path = expected;
        return 0;
    }
    if (expected.empty() || !fs::same_file(install.own_publisher.image(), widen(expected)))
        return REPORT_FAILURE(install.run.notice, kPhase,
                              "The updater does not run from the application's folder: nothing "
                              "is installed.");
    install.own_path = expected;
    return 0;
}

// NSIS unpacks its plug-in DLLs into TEMP: the user's own could be written by anyone the
// user runs, and a DLL put there would run with the installer's rights. The installer gets
// a folder of its own beside the checked copy, made before anything is changed, so that a
// folder that cannot be made ends the phase with the client application still running.
int make_installer_temp(InstallRun& install) {
    if (install.checked.make_temp_folder(install.temp_folder) == 0) return 0;
    return REPORT_FAILURE(install.run.notice, kPhase,
                          "No folder could be made for the installer's temporary files: nothing "
                          "is installed.");
}

int make_backup_name(InstallRun& install) {
    const std::string& own = install.own_path;
    if (utils::gen_backup_name(own, utils::kBackupSuffix, install.backup_path) < 0 ||
        utils::gen_backup_name(own, utils::kStagedSuffix, install.staged_path) < 0)
        return REPORT_FAILURE(install.run.notice, kPhase, "Failed to generate backup name for %s.",
                              own.c_str());
    return 0;
}

// "Failed to <verb> <from> to <to> for <reason>", with the reason of the system call that
// just failed.
int report_file_failure(InstallRun& install, const char* verb, const char* from, const char* to) {
    return REPORT_FAILURE(install.run.notice, kPhase, "Failed to %s %s to %s for %s", verb, from,
                          to, last_error_text().c_str());
}

// The backup copies the running image first and then renames twice, so that a run ended
// between any two steps leaves an updater.exe for the next update.
int stage_own_copy(InstallRun& install) {
    const char* own = install.own_path.c_str();
    const char* staged = install.staged_path.c_str();
    if (utils::copy_file(own, staged) < 0) {
        report_file_failure(install, "copy", own, staged);
        remove_file(staged);
        return -1;
    }
    return 0;
}

// The running image moves to the backup name and its copy takes its place: the installer
// may then replace updater.exe, which no process runs.
int swap_in_backup(InstallRun& install) {
    const char* own = install.own_path.c_str();
    const char* backup = install.backup_path.c_str();
    const char* staged = install.staged_path.c_str();
    // The service moves the first run's image, which runs and waits for the outcome; the
    // elevated run its own.
    if ((install.by_service ? utils::move_file(own, backup)
                            : utils::try_change_current_image_name(install.backup_path)) < 0) {
        REPORT_FAILURE(install.run.notice, kPhase, "Failed to change exe name to %s.", backup);
        remove_file(staged);
        return -1;
    }
    LOG_INFO(kPhase, "process image name: rename %s to %s\n", own, backup);
    if (utils::move_file(staged, own) < 0) {
        report_file_failure(install, "move", staged, own);
        // Without this the folder would keep no updater.exe for the next update: the
        // running image goes back where it came from.
        if (utils::move_file(backup, own) < 0) {
            LOG_WARN(kPhase, "Failed to move %s back to %s: %s", backup, own,
                     last_error_text().c_str());
        }
        remove_file(staged);
        return -1;
    }
    return 0;
}

// The client application wherever it runs, and every program from the install folder,
// each asked first: the installer cannot replace a file that a running program holds. The
// updater itself stays, under either of its names: this run, and the first run, which may
// not have ended yet.
int close_client(InstallRun& install) {
    closing::CloseRequest request;
    request.folder = install.folder;
    request.image_name = utils::kClientExeName;
    request.spared = {install.own_path, install.backup_path};
    if (closing::close_processes(request, &install.holders_report) < 0)
        return REPORT_FAILURE(install.run.notice, kPhase,
                              "Failed to terminate " BRAND_APPLICATION_LOG_NAME " process.");
    return 0;
}

// The registered install folder, fit for "/D=", or else the folder the client application
// is started from.
std::string install_folder(const InstallRun& install) {
    if (!install.registered_folder.empty()) return install.registered_folder;
    std::string folder;
    std::string upd_folder;
    if (utils::get_parent_path(install.own_path, upd_folder) == 0)
        utils::get_parent_path(upd_folder, folder);
    LOG_WARN(kPhase, "No install location registered for %s, installing into %s.\n",
             utils::kApplicationName, folder.c_str());
    return folder;
}

// Before anything is written into the folder, the updater's own backup included: every
// write of this run there is an administrator's, so the folder must be the
// administrators' alone, and no folder above it a link or open to others (a folder made
// under C:\ is open to every signed-in user). Found before the client application is
// closed, since everything that runs from the folder goes too.
int find_install_folder(InstallRun& install) {
    install.folder = install_folder(install);
    if (!fs::system_keeps_file_rights())
        LOG_INFO(kPhase, "The system keeps no rights on files: no folder's rights are checked.\n");
    const std::wstring folder = widen(install.folder);
    // The service writes with nobody's consent: only below Program Files, whose folders
    // users cannot make or change by default. Elsewhere, and for a folder whose rights are
    // refused below, an administrator decides at the elevation prompt.
    install.ask_administrator = install.by_service;
    if (install.by_service && !is_in_program_files(folder))
        return REPORT_FAILURE(install.run.notice, kPhase,
                              "The install folder %s is not in Program Files: the service "
                              "installs nothing.",
                              install.folder.c_str());
    std::wstring refused;
    if (fs::check_folder_and_above(folder, fs::FolderUse::kWrittenInto, refused) == 0) {
        install.ask_administrator = false;
        return 0;
    }
    return REPORT_FAILURE(install.run.notice, kPhase,
                          "The install folder %s is refused: %s %s. Nothing is installed.",
                          install.folder.c_str(), folder_refusal_cause(), narrow(refused).c_str());
}

// The first run's log: in the working folder the elevated run was started in, which is
// the first run's (log_file_name() as it stands), and, where the first run waits for the
// update service, which runs elsewhere, in the folder the client application starts it in,
// its own.
std::string first_run_log(const InstallRun& install) {
    return utils::join_path(install.folder, log_file_name());
}

// An earlier run ended by force while its installer ran (a power cut, a logoff) left the
// folder half-installed and its snapshot behind. Once nothing runs from the folder, and
// before this run takes its own snapshot, the folder goes back to that snapshot. The
// first run's log and this run's own two files stay as they are: the running image under
// its backup name, and its copy, which is the updater the folder is to keep.
int restore_interrupted_install(InstallRun& install) {
    const std::vector<std::string> left_out{log_file_name(), first_run_log(install),
                                            install.own_path, install.backup_path};
    for (const std::wstring& folder : fs::protected_folders()) {
        if (!fs::is_own_protected_folder(folder) || !rollback::holds_interrupted_install(folder))
            continue;
        const std::string shown = narrow(folder);
        LOG_INFO(kPhase, "An install that did not finish left the snapshot %s: putting it back.\n",
                 shown.c_str());
        rollback::FolderSnapshot snapshot;
        if (rollback::open_interrupted_snapshot(folder, left_out, snapshot) < 0 ||
            rollback::restore_folder_snapshot(snapshot) < 0) {
            notify_frontend_text(install.run.notice, "Failed to restore the snapshot %s.",
                                 shown.c_str());
            return -1;
        }
    }
    return 0;
}

// Once the client application has ended and before the installer starts: what the folder
// holds then is what a failed install puts back, the updater's own sub-folder and its
// running image included. Without a snapshot the installer does not run.
int take_snapshot(InstallRun& install) {
    // The first run's log stays out of it: it keeps every line of that run whatever
    // happens to the folder, and a restore never has to write it.
    const std::vector<std::string> left_out{log_file_name(), first_run_log(install)};
    const int taken = rollback::take_folder_snapshot(install.folder, left_out, install.snapshot);
    // The installer starts once what holds the folder has been named.
    if (install.holders_report.valid()) install.holders_report.wait();
    if (taken < 0) {
        notify_frontend_text(install.run.notice, "Failed to take a snapshot of %s.",
                             install.folder.c_str());
        return -1;
    }
    return 0;
}

int run_installer(InstallRun& install) {
    const std::string& installer = install.run.installer_path;
    // The folder goes unquoted after /D=, which must come last on an NSIS command line.
    const std::string parameters = "/S /D=" + install.folder;
    unsigned long exit_code = 0;
    install.snapshot.note_installer_started();
    // Nobody watches the service's installer: one that hangs is ended after 15 minutes.
    const unsigned long limit_ms = install.by_service ? 15 * 60 * 1000 : INFINITE;
    const int started =
        utils::start_prog_wait(installer, parameters, &exit_code, install.temp_folder, limit_ms);
    if (started < 0) {
        LOG_WARN(kPhase, "Maybe failed to run installer %s status %d.\n", installer.c_str(),
                 started);
        install.reason = "installer_start";
        return -1;
    }
    install.exit_code = exit_code;
    // NSIS installers end with 1 when cancelled and 2 when aborted.
    if (exit_code != 0) {
        LOG_WARN(kPhase, "Installer %s exited with code %lu.\n", installer.c_str(), exit_code);
        return -1;
    }
    return 0;
}

int find_client(InstallRun& install) {
    if (gen_hubra_exe_path(install.own_path, install.client_path) < 0) {
        LOG_WARN(kPhase, "Failed to gen " BRAND_APPLICATION_LOG_NAME " path from %s\n",
                 install.own_path.c_str());
        return -1;
    }
    if (!utils::file_exists(install.client_path)) {
        LOG_WARN(kPhase, "The file %s not exist.\n", install.client_path.c_str());
        return -1;
    }
    return 0;
}

// A failed install leaves a mix of old and new files: the folder goes back to the
// snapshot before the client application is started again.
int restore_snapshot(InstallRun& install) {
    if (rollback::restore_folder_snapshot(install.snapshot) < 0) {
        install.reason = "restore";
        return -1;
    }
    install.failure_text = &WindowTexts::rolled_back;
    install.rolled_back = true;
    return 0;
}

int remove_snapshot(InstallRun& install) {
    install.snapshot.remove();
    return 0;
}

int start_client(InstallRun& install) {
    // The first run starts it, as the user it is.
    if (install.by_service) return 0;
    if (run_as_desktop_user(widen(install.client_path).c_str()) == 0) {
        LOG_WARN(kPhase, "Faield to start " BRAND_APPLICATION_LOG_NAME " executable(%s).\n",
                 install.client_path.c_str());
        return -1;
    }
    return 0;
}

// How the bar moves once a step is through: not at all, at once, or one unit per
// interval towards the target while the next step runs.
struct Bar {
    enum Kind { kNone, kSet, kAdvance } kind;
    int target;
    unsigned interval_ms;
};

// When a step runs: while every step before it went well, only once the install failed
// and a snapshot can put the folder back, or always.
enum class Runs { kWhileAllWent, kAfterFailedInstall, kAlways };

// One row: the step, when it runs, and what the window shows once it is through. The bar
// and the text are shown after the step has run, so the text names what comes next:
// "关闭主程序" appears when the backup is through and the client application is closed.
struct InstallStep {
    int (*run)(InstallRun&);
    Runs runs;
    // From the client application's closing on, a failure still brings it back; any
    // failure before it ends the phase where it happens.
    bool goes_on_after_failure;
    // The record's reason when this step is the first to fail and has not named one.
    const char* reason;
    Bar then_move;
    WindowText then_show;  // null keeps the text shown
};

const Runs kWhileAllWent = Runs::kWhileAllWent;
const char* const kInstallerExitCode = outcome::kInstallerExitCode;
const char* const kClientMissing = outcome::kClientMissing;

// One row a line, aligned by hand.
// clang-format off
const InstallStep kInstallSteps[] = {
    {check_installer_path, kWhileAllWent, false, "installer_path", {Bar::kSet, 10, 0}, nullptr},
    {find_own_path, kWhileAllWent, false, "updater_path", {Bar::kAdvance, 20, 50}, &WindowTexts::finding_updater},
    {find_install_folder, kWhileAllWent, false, "install_folder", {Bar::kNone, 0, 0}, nullptr},
    {clear_abandoned_folders, kWhileAllWent, false, "program_data", {Bar::kNone, 0, 0}, nullptr},
    // The signature is checked on its own thread from here to check_publisher.
    {make_checked_copy, kWhileAllWent, false, "digest", {Bar::kNone, 0, 0}, nullptr},
    {make_installer_temp, kWhileAllWent, false, outcome::kTempFolder, {Bar::kNone, 0, 0}, nullptr},
    {make_backup_name, kWhileAllWent, false, "backup", {Bar::kAdvance, 30, 100}, &WindowTexts::finding_backup},
    {stage_own_copy, kWhileAllWent, false, "backup", {Bar::kAdvance, 40, 100}, &WindowTexts::backing_up},
    {check_publisher, kWhileAllWent, false, "publisher", {Bar::kNone, 0, 0}, nullptr},
    {check_version, kWhileAllWent, false, "version", {Bar::kNone, 0, 0}, nullptr},
    {swap_in_backup, kWhileAllWent, false, "backup", {Bar::kAdvance, 50, 100}, &WindowTexts::closing},
    {close_client, kWhileAllWent, false, "close", {Bar::kAdvance, 90, 100}, &WindowTexts::running_installer},
    {restore_interrupted_install, kWhileAllWent, true, "restore", {Bar::kNone, 0, 0}, nullptr},
    {take_snapshot, kWhileAllWent, true, "snapshot", {Bar::kNone, 0, 0}, nullptr},
    {run_installer, kWhileAllWent, true, kInstallerExitCode, {Bar::kSet, 90, 0}, &WindowTexts::installer_ended},
    // CorvaneApp.exe missing after the installer is a failed install too.
    {find_client, kWhileAllWent, true, kClientMissing, {Bar::kNone, 0, 0}, nullptr},
    {restore_snapshot, Runs::kAfterFailedInstall, true, "restore", {Bar::kNone, 0, 0}, nullptr},
    {remove_snapshot, kWhileAllWent, false, "", {Bar::kNone, 0, 0}, nullptr},
    {record_outcome, Runs::kAlways, false, "", {Bar::kNone, 0, 0}, nullptr},
    {find_client, Runs::kAlways, false, "", {Bar::kNone, 0, 0}, &WindowTexts::starting},
    {start_client, Runs::kAlways, false, "", {Bar::kNone, 0, 0}, nullptr},
};
// clang-format on

bool applies(const InstallStep& step, const InstallRun& install) {
    switch (step.runs) {
        case Runs::kWhileAllWent:
            return !install.failed;
        case Runs::kAfterFailedInstall:
            return install.failed && install.snapshot.taken();
        case Runs::kAlways:
            return true;
    }
    return true;
}

}  // namespace

// Whether this run opens the installer path, or writes a record beside it: see
// check_installer_path.
bool is_local_file_path(const std::string& path) {
    return utils::is_local_drive_path(path) && utils::is_on_fixed_drive(path);
}

// The folder of an installer path, where the record of its update goes.
std::wstring folder_of(const std::string& path) {
    const std::wstring wide = widen(path);
    const size_t slash = wide.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : wide.substr(0, slash);
}

std::optional<std::string> installed_version() {
    const std::string version = find_display_version(utils::kApplicationName);
    if (version.empty()) return std::nullopt;
    return version;
}

// Writes `record` into `folder` for the client application, with what the record before
// it says about the same installer, the time and this run's log. The folder is the desktop
// user's and its path came with the command line: elevated, this run reads and writes
// there as that user (the taskbar owner's token), so that it reaches nothing the user could
// not reach, not a folder that whoever started it named nor what a junction on the way
// leads to. Without that token nothing is written.
void write_record(const std::wstring& folder, outcome::LastUpdate record) {
    if (folder.empty()) return;
    const bool elevated = is_admin();
    utils::ScopedKernelHandle user(elevated ? get_shell_token() : nullptr);
    if (elevated && (!user || !utils::system_calls().impersonate_logged_on_user(user.get()))) {
        LOG_WARN(kPhase,
                 "Cannot act as the desktop user, so the record of this update is not "
                 "written.\n");
        return;
    }
    write_record_as_user(folder, std::move(record));
    if (elevated && !RevertToSelf())
        LOG_WARN(kPhase, "Failed to stop acting as the desktop user: %s",
                 last_error_text().c_str());
}

// A record of the installer at `path` with the MD5 text `md5`.
outcome::LastUpdate record_of(const std::string& path, const std::string& md5) {
    outcome::LastUpdate record;
    record.installer = file_name_of(path);
    for (char c : md5) record.md5 += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return record;
}

// Before the client application starts again, so that it finds the record when it starts;
// on an early failure, before the phase ends.
int record_outcome(InstallRun& install) {
    // The first run writes the record from the service's status.
    if (install.recorded || install.by_service) return 0;
    install.recorded = true;
    outcome::LastUpdate record = record_of(install.installer_arg, install.digest_arg);
    record.result = !install.failed       ? outcome::kInstalled
                    : install.rolled_back ? outcome::kRolledBack
                                          : outcome::kFailed;
    record.reason = install.failed ? install.reason : "";
    record.message =
        narrow(install.texts.*(install.failed ? install.failure_text : &WindowTexts::done));
    record.installer_exit_code = install.exit_code;
    record.previous_version = install.previous_version;
    record.version = installed_version();
    write_record(install.record_folder, record);
    return 0;
}

const int kInstallStepCount = static_cast<int>(sizeof kInstallSteps / sizeof kInstallSteps[0]);

int close_step() {
    int step = 0;
    while (step < kInstallStepCount && kInstallSteps[step].run != close_client) ++step;
    return step;
}

void show_step(ProgressWindow* window, const WindowTexts& texts, int step) {
    if (step < 0 || step >= kInstallStepCount) return;
    const Bar& bar = kInstallSteps[step].then_move;
    if (bar.kind == Bar::kSet) progress_set_pos(window, bar.target);
    if (bar.kind == Bar::kAdvance) progress_advance(window, bar.target, bar.interval_ms);
    if (kInstallSteps[step].then_show != nullptr)
        progress_set_status(window, texts.*kInstallSteps[step].then_show);
}

namespace {

struct NamedText {
    const char* name;
    WindowText text;
};
const NamedText kEndTexts[] = {
    {"done", &WindowTexts::done},
    {"failed", &WindowTexts::failed},
    {"rolled_back", &WindowTexts::rolled_back},
    {"publisher_refused", &WindowTexts::publisher_refused},
    {"older", &WindowTexts::older},
};

}  // namespace

const char* window_text_name(WindowText text) {
    for (const NamedText& named : kEndTexts)
        if (named.text == text) return named.name;
    return "";
}

WindowText window_text_named(const std::string& name) {
    for (const NamedText& named : kEndTexts)
        if (name == named.name) return named.text;
    return &WindowTexts::failed;
}

void reached(int step, ProgressWindow* window) {
    if (g_install_step_hook != nullptr) g_install_step_hook(step, window);
}

// Runs the steps in order. 0 when every one succeeded, -1 otherwise.
int run_install_steps(InstallRun& install) {
    for (int index = 0; index < kInstallStepCount; ++index) {
        const InstallStep& step = kInstallSteps[index];
        if (applies(step, install)) {
            if (step.run(install) < 0) {
                if (!install.failed && install.reason.empty()) install.reason = step.reason;
                install.failed = true;
                if (!step.goes_on_after_failure) return -1;
            }
            show_step(install.window, install.texts, index);
        }
        reached(index, install.window);
        if (install.on_step != nullptr) install.on_step(install, index);
    }
    return install.failed ? -1 : 0;
}
