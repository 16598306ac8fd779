// The two runs of an update, selected by main from the command line.
#pragma once

#include <string>
#include <vector>

#include "download/download_file.h"
#include "download/retry_policy.h"
#include "frontend/notice.h"
#include "outcome/last_update.h"
#include "policy/machine_policy.h"
#include "utils/scoped_handle.h"

// What main owns for its whole run and lends to the phase it runs.
struct UpdateRun {
    std::string installer_path;    // starts as kDefaultInstallerName
    std::string update_folder;     // empty until the phase fills it
    FrontendNotice notice;         // every failure notice of the phase goes through it
    policy::MachinePolicy policy;  // read by the phase before anything else
};

// The first step of either phase: reads the machine policy into run.policy, under the
// phase's `function`. -1, after the WARN line and notice "Updates are turned off by the
// administrator.", when the administrator turned updates off; 0 otherwise.
int read_policy_first(UpdateRun& run, const char* function);

// The log of a run that writes it where only administrators can: `file`, open for
// appending, becomes the log's stream, named `path`. Nothing is logged when that fails.
void attach_log(utils::ScopedKernelHandle& file, const std::wstring& path);

extern const char* const kVersionText;
extern const char* const kDefaultInstallerName;
// The single-instance lock that orders the two runs of an update.
extern const char* const kLockBaseName;
// The first argument of the elevated restart; compared as a whole, case-sensitively.
extern const wchar_t* const kPhaseMarker;

// First run: download and check the installer, restart elevated. 0 or -1.
int run_download_phase(UpdateRun& run, const std::string& url, const std::string& expected_md5);

// What a release feed lists for the installer it chose, held against the download
// besides the MD5.
struct ListedInstaller {
    std::string sha256;  // lower-case hexadecimal
    unsigned long long size = 0;
    bool critical = false;  // the back-off after failed installs does not hold it back
};

namespace trust {
class OwnPublisherReader;
}
// The first run after its policy was read: the installer at `url` fetched and checked
// (with `listed`, its SHA-256 and size too), the elevated run asked for. 0 or -1.
int download_and_request_install(UpdateRun& run, const std::string& url,
                                 const std::string& expected_md5, const ListedInstaller* listed,
                                 trust::OwnPublisherReader& own_publisher);

// The release feed's runs: `updater.exe --check [FEED_URL] [--channel C]` fetches the
// signed feed (FEED_URL, else the policy's FeedUrl), checks it, chooses the release for
// this machine and says so in one notice: kCheckUpToDate, kCheckUpdateAvailable,
// kCheckDeferred (its rollout has not reached this machine, or the server asked to be
// asked later), or -1. With `install` (`--feed`), an update found is then fetched and
// installed as run_download_phase does, its SHA-256 and size held to the feed's: 0 when
// the elevated run was asked for or nothing was to do, kCheckDeferred, or -1.
struct FeedRequest {
    std::string url;      // empty: the policy's
    std::string channel;  // empty: the policy's, else "stable"
    bool install = false;
};
constexpr int kCheckUpToDate = 0;
constexpr int kCheckUpdateAvailable = 1;
constexpr int kCheckDeferred = 2;
int run_feed_phase(UpdateRun& run, const FeedRequest& request);

// Shared by the first run's fetches (download_phase.cpp).
// One uniform draw in [0, 1) for the retry policy, from a source seeded afresh by every
// run, so that copies started in the same second wait differently.
double draw();
// A failed transfer as the retry policy sees it. A Retry-After that is not believed is
// named once per run (`named_bad_wait`).
download::AttemptEnd failed_transfer(const DownloadAnswer& answer, const std::string& url,
                                     bool& named_bad_wait);
// Logs and announces the wait, then sleeps it (times g_wait_scale).
void wait_before(UpdateRun& run, double seconds, int attempt);
// The server asked for a longer wait than a run waits: no run asks before then. The
// record says so to the next run, and to the client application.
void end_on_server_wait(UpdateRun& run, const std::string& expected_md5, long seconds);
// The update folder into run.update_folder, made when missing. 0 or -1.
int make_update_folder(UpdateRun& run);
// -1 after the notice "The server asked to retry after <time>." while the record `last`
// still forbids asking the server.
int refuse_while_server_waits(UpdateRun& run, const outcome::LastUpdate& last);

// Second, elevated run: install and restart the client application. `installer_arg` is
// argument 2 when the command line had one, else null. `digest_arg` is argument 3, the
// installer's expected MD5 text, else null: when given, the phase runs a checked copy of
// the installer that the user cannot change, and ends before changing anything when the
// copy cannot be made or does not match. 0 or -1.
// The phase runs its steps in order. Before the installer runs it takes a snapshot of the
// install folder; when that fails, the installer does not run. When the installer fails
// (it cannot be started or ends with a code other than 0) or leaves no client
// application, the folder is restored from the snapshot and the window shows
// "更新失败，已恢复原来的版本"; either way the client application is still started again
// and the phase ends with -1, keeping the downloaded installer. Other failures show
// "更新失败". Before the installer, once nothing runs from the install folder, a snapshot
// that a run ended by force left behind while its installer ran is put back first; when
// that fails, the client application is started again and the phase ends with -1.
// Before it starts the client application again (or ends early) the phase writes
// "last-update.json" into the installer's folder (outcome/last_update.h). A failure
// stays in the window for g_failure_shown_ms before the phase ends, unless the user
// closes it. The phase holds the single-instance lock from its start to its end.
int run_install_phase(UpdateRun& run, const char* installer_arg, const char* digest_arg);

// The update service's run (`updater.exe --service`, started by the service control
// manager): runs the request it was started with (service/request.h) through the install
// steps as LocalSystem, writing its status for the first run that waits. 0 or -1.
int run_service_phase();
// What the service does with the arguments it was started with, its name left out: the
// request refused or run. 0 or -1. Tests run it in-process.
int run_service_request(const std::vector<std::string>& arguments);
// The first run's side: hands the checked installer to the update service and waits for
// its outcome, showing its steps, then records it and starts the client application
// again. kAskForElevation when the service is not there, not to be used, busy or refused
// for a reason an administrator may overrule; else 0 or -1.
constexpr int kAskForElevation = 1;
int install_through_service(UpdateRun& run, const std::string& expected_md5);

struct ProgressWindow;
// For tests only, null in the product: called on the phase's thread after each step the
// phase goes on from, with the step's index from 0, and once more with kInstallStepCount
// when the outcome is shown, before anything is cleaned up.
using InstallStepHook = void (*)(int step, ProgressWindow* window);
extern InstallStepHook g_install_step_hook;
extern const int kInstallStepCount;
// How long a failed install phase keeps its window up before it ends, in ms: 5000 in
// the product; tests that run many failures in-process shorten it.
extern unsigned long g_failure_shown_ms;
// How long the first run waits for the update service to end another request before it
// asks for elevation instead, in ms: 60000 in the product.
extern unsigned long g_service_busy_wait_ms;
// How long the elevated run waits for the first run to let go of the update lock, in ms:
// 60000 in the product.
extern unsigned long g_lock_patience_ms;
// The waits between download attempts are this many times the retry policy's: 1 in the
// product. A test build of the program (see main.cpp) shortens both, where a test is
// about what the waits lead to rather than about their length.
extern double g_wait_scale;
