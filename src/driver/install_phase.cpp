// The second, elevated run of an update: back up this program, close the client
// application, run the installer silently into its folder and start it again as the
// desktop user, showing each step in the progress window.
#include <cstdio>
#include <string>

#include "driver/phases.h"
#include "log/log.h"
#include "ui/progress_window.h"
#include "utils/desktop_launch.h"
#include "utils/install_location.h"
#include "utils/paths.h"
#include "utils/process.h"
#include "utils/protected_copy.h"
#include "utils/publisher.h"
#include "utils/singleton_mutex.h"
#include "utils/system_calls.h"
#include "utils/text.h"

namespace {

const char* const kApplicationName = "CorvaneApp";

// The window's UI thread keeps using the record until the process ends when the phase
// fails, so it lives as long as the process.
ProgressWindow g_window;

int fail(UpdateRun& run, const char* notice_text) {
    notify_frontend_text(run.notice, "%s", notice_text);
    return -1;
}

// Only an installer from the updater's own publisher runs with administrator rights. A
// refusal comes before anything has changed: the client application keeps running, and
// the checked copy and its folder go when the phase returns.
int check_publisher(UpdateRun& run, ProgressWindow* window, utils::OwnPublisherReader& reader) {
    utils::OwnPublisher publisher;
    reader.get(publisher);
    if (utils::check_installer_publisher(publisher, run.installer_path, "run_install_phase") < 0) {
        progress_set_status(window, L"安装程序的发布者验证失败");
        return -1;
    }
    return 0;
}

bool file_exists(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

}  // namespace

int run_install_phase(UpdateRun& run, const char* installer_arg, const char* digest_arg) {
    // Waits until the download phase that started us has let go. When it is gone
    // already, the lock no longer exists and the phase goes on without it.
    SingletonMutex lock(kLockBaseName, false);
    lock.acquire();

    if (installer_arg != nullptr) {
        LOG_WARN("run_install_phase", "path changed (%s -> %s).\n", kDefaultInstallerName,
                 installer_arg);
        run.installer_path = installer_arg;
    }
    ProgressWindow* window = &g_window;
    progress_start(window);

    if (utils::get_app_data_path(utils::kUpdateFolderSuffix, run.update_folder) < 0) {
        LOG_WARN("run_install_phase", "Failed to generate app data path.\n");
        return fail(run, "Failed to generate app data path.");
    }
    progress_set_pos(window, 10);
    // An absolute path from the download phase stays as it is; a bare name lands in the
    // update folder.
    run.installer_path = utils::join_path(run.update_folder, run.installer_path);

    // The installer lies where any program of the user can replace it after the first run
    // checked it. With the digest at hand, this run checks its own copy, out of the
    // user's reach, and runs that; before anything has changed, so that a refusal leaves
    // everything as it was. Declared after the lock: the copy goes before the lock does.
    utils::ProtectedCopy checked;
    utils::OwnPublisherReader own_publisher;  // read while the copy is made
    if (digest_arg != nullptr) {
        if (utils::copy_to_protected_folder(run.installer_path, digest_arg, checked) < 0) return -1;
        run.installer_path = checked.path();
    }
    // Without a digest there is no copy, and the file is checked where it lies.
    if (check_publisher(run, window, own_publisher) < 0) return -1;

    std::string own_path;
    if (utils::get_current_image_path(own_path) < 0) {
        LOG_WARN("run_install_phase", "Failed to get current exe path.\n");
        return fail(run, "Failed to get current exe path.");
    }
    progress_advance(window, 20, 50);
    progress_set_status(window, L"获取当前程序的路径");

    std::string backup_path;
    if (utils::gen_backup_name(own_path, utils::kBackupSuffix, backup_path) < 0) {
        LOG_WARN("run_install_phase", "Failed to generate backup name for %s.\n", own_path.c_str());
        notify_frontend_text(run.notice, "Failed to generate backup name for %s.",
                             own_path.c_str());
        return -1;
    }
    progress_advance(window, 30, 100);
    progress_set_status(window, L"获取当前程序的备份路径");

    if (utils::try_change_current_image_name(backup_path) < 0) {
        LOG_WARN("run_install_phase", "Failed to change exe name to %s.\n", backup_path.c_str());
        notify_frontend_text(run.notice, "Failed to change exe name to %s.", backup_path.c_str());
        return -1;
    }
    LOG_INFO("run_install_phase", "process image name: rename %s to %s\n", own_path.c_str(),
             backup_path.c_str());
    progress_advance(window, 40, 100);
    progress_set_status(window, L"备份程序");

    if (!utils::system_calls().copy_file_a(backup_path.c_str(), own_path.c_str(), FALSE)) {
        const std::string reason = last_error_text();
        LOG_WARN("run_install_phase", "Failed to copy %s to %s for %s\n", backup_path.c_str(),
                 own_path.c_str(), reason.c_str());
        notify_frontend_text(run.notice, "Failed to copy %s to %s for %s.", backup_path.c_str(),
                             own_path.c_str(), reason.c_str());
        // Without this the folder would keep no updater.exe for the next update: the
        // running image goes back where it came from.
        if (!utils::system_calls().move_file_ex_a(backup_path.c_str(), own_path.c_str(),
                                                  MOVEFILE_REPLACE_EXISTING)) {
            LOG_WARN("run_install_phase", "Failed to move %s back to %s: %s", backup_path.c_str(),
                     own_path.c_str(), last_error_text().c_str());
        }
        return -1;
    }
    progress_advance(window, 50, 100);
    progress_set_status(window, L"关闭主程序");

    if (utils::kill_process(utils::kClientExeName) < 0) {
        LOG_WARN("run_install_phase", "Failed to terminate hubra process.\n");
        return fail(run, "Failed to terminate hubra process.");
    }
    progress_advance(window, 90, 100);
    progress_set_status(window, L"运行安装程序...");

    // The folder goes unquoted after /D=, which must come last on an NSIS command line.
    const std::string parameters = "/S /D=" + find_install_location(kApplicationName);
    unsigned long exit_code = 0;
    const int started = utils::start_prog_wait(run.installer_path, parameters, &exit_code);
    if (started < 0) {
        LOG_WARN("run_install_phase", "Maybe failed to run installer %s status %d.\n",
                 run.installer_path.c_str(), started);
    } else if (exit_code != 0) {
        // The client application comes back all the same; the log keeps the trace.
        LOG_WARN("run_install_phase", "Installer %s exited with code %lu.\n",
                 run.installer_path.c_str(), exit_code);
    }
    progress_set_pos(window, 90);
    progress_set_status(window, L"安装程序已经运行结束");

    std::string client_path;
    if (gen_hubra_exe_path(own_path, client_path) < 0) {
        LOG_WARN("run_install_phase", "Failed to gen hubra path from %s\n", own_path.c_str());
        return -1;
    }
    if (!file_exists(client_path)) {
        LOG_WARN("run_install_phase", "The file %s not exist.\n", client_path.c_str());
        return -1;
    }
    progress_set_status(window, L"启动主程序");
    if (run_as_desktop_user(widen(client_path).c_str()) == 0) {
        LOG_WARN("run_install_phase", "Faield to start hubra executable(%s).\n",
                 client_path.c_str());
        return -1;
    }

    progress_set_pos(window, 100);
    progress_set_status(window, L"更新已完成");
    // A checked installer is deleted through the handle it was checked by; the copy goes
    // with `checked`.
    if (digest_arg != nullptr)
        checked.remove_source();
    else
        remove_file(run.installer_path);
    progress_close(window);
    return 0;
}
