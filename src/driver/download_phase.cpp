// The first run of an update: fetch the installer into the update folder, accept it only
// with the expected MD5 digest, and start this program again elevated to install it.
#include <cctype>
#include <cmath>
#include <ctime>
#include <optional>
#include <random>
#include <string>

#include "download/download_file.h"
#include "download/partial_record.h"
#include "download/proxy.h"
#include "download/retry_policy.h"
#include "driver/phases.h"
#include "frontend/pipe.h"
#include "integrity/digest_text.h"
#include "log/log.h"
#include "outcome/last_update_file.h"
#include "policy/versions.h"
#include "trust/publisher.h"
#include "utils/paths.h"
#include "utils/singleton_mutex.h"
#include "utils/system_calls.h"
#include "utils/text.h"

namespace {

const char* const kPhase = "run_download_phase";

// How fetching the installer ended.
enum class Fetched { kAccepted, kFailed, kServerAsked };

bool is_https(const std::string& url) {
    std::string scheme = url.substr(0, 8);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "https://";
}

}  // namespace

double g_wait_scale = 1.0;

double draw() {
    static std::mt19937_64 random(std::random_device{}());
    return std::uniform_real_distribution<double>(0.0, 1.0)(random);
}

download::AttemptEnd failed_transfer(const DownloadAnswer& answer, const std::string& url,
                                     bool& named_bad_wait) {
    download::AttemptEnd end;
    if (answer.status >= 400) {
        end.kind = download::AttemptEnd::Kind::kStatus;
        end.status = answer.status;
    }
    bool bad = false;
    end.retry_after = download::parse_retry_after(answer.retry_after, std::time(nullptr), bad);
    if (bad && !named_bad_wait) {
        named_bad_wait = true;
        LOG_WARN(kPhase, "The server's Retry-After \"%s\"%s is not followed.\n",
                 answer.retry_after[0].c_str(),
                 answer.retry_after.size() > 1 ? " (given twice)" : "");
    }
    // Over a plain connection to an https address a proxy, or anyone on the way, could
    // make every copy that passes wait.
    end.trusted = answer.over_https || !is_https(url);
    return end;
}

void wait_before(UpdateRun& run, double seconds, int attempt) {
    const long shown = static_cast<long>(std::ceil(seconds));
    LOG_INFO(kPhase, "Waiting %ld s before attempt %d of %d.\n", shown, attempt,
             download::kAttempts);
    notify_frontend_text(run.notice, "Waiting %ld s before attempt %d of %d.", shown, attempt,
                         download::kAttempts);
    Sleep(static_cast<DWORD>(seconds * g_wait_scale * 1000));
}

void end_on_server_wait(UpdateRun& run, const std::string& expected_md5, long seconds) {
    const std::time_t now = std::time(nullptr);
    const std::string until = outcome::utc_text(now + seconds);
    REPORT_FAILURE(run.notice, kPhase, "The server asked to retry after %s.", until.c_str());
    outcome::LastUpdate record;
    std::optional<outcome::LastUpdate> previous;
    if (outcome::read_last_update(widen(run.update_folder), record) == 0) previous = record;
    record = outcome::LastUpdate{};
    record.result = outcome::kFailed;
    record.reason = outcome::kRetryAfter;
    record.installer = run.installer_path.substr(run.installer_path.find_last_of("\\/") + 1);
    record.md5 = expected_md5;
    for (char& c : record.md5) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    record.failures_of_this_installer =
        outcome::failures_in_a_row(previous, record.md5, record.result, record.reason);
    record.finished_at = outcome::utc_text(now);
    record.log = log_path();
    record.retry_after = until;
    outcome::write_last_update(widen(run.update_folder), record);
}

int make_update_folder(UpdateRun& run) {
    if (utils::get_app_data_path(utils::kUpdateFolderSuffix, run.update_folder) < 0)
        return REPORT_FAILURE(run.notice, kPhase, "Failed to generate app data path.");
    // The client application normally made the folder above the update folder; on a
    // machine where it did not, the update folder could not be made and every attempt
    // would fail. Errors, an existing folder among them, change nothing here.
    std::string vendor_folder;
    if (utils::get_parent_path(run.update_folder, vendor_folder) == 0)
        utils::make_folder(vendor_folder);
    utils::make_folder(run.update_folder);
    return 0;
}

int refuse_while_server_waits(UpdateRun& run, const outcome::LastUpdate& last) {
    std::time_t until = 0;
    // The server's wish holds for every installer it serves: nothing is asked before then.
    if (!outcome::server_asked_to_wait(last, std::time(nullptr), until)) return 0;
    return REPORT_FAILURE(run.notice, kPhase, "The server asked to retry after %s.",
                          last.retry_after->c_str());
}

namespace {

// Where the next attempt starts: the file's end under its validator, the file's end as
// an earlier run left it without one (the digest decides), or afresh.
struct NextStart {
    bool resume = true;
    std::string if_range;
};

// The first attempt continues what an earlier run left, under the validator it noted;
// a note that is not for this file has it started afresh.
NextStart first_start(const UpdateRun& run, const std::string& expected_md5) {
    NextStart start;
    const download::PartialRecord note =
        download::read_partial_record(run.installer_path, expected_md5, start.if_range);
    if (note == download::PartialRecord::kRefused) {
        LOG_WARN(kPhase, "The note beside %s is not for it: the file is fetched afresh.\n",
                 run.installer_path.c_str());
        start.resume = false;
    }
    download::remove_partial_record(run.installer_path);
    return start;
}

// After a failed transfer the file is continued only under a validator of its bytes, and
// noted for a later run; otherwise the next attempt starts afresh.
NextStart after_failed_transfer(const UpdateRun& run, const std::string& expected_md5,
                                const DownloadAnswer& answer) {
    NextStart start;
    start.if_range = answer.validator;
    start.resume =
        !start.if_range.empty() &&
        download::write_partial_record(run.installer_path, expected_md5, start.if_range) == 0;
    if (!start.resume) download::remove_partial_record(run.installer_path);
    return start;
}

// Whether the attempt's file has the expected digest, from the digests taken as its bytes
// arrived.
// With a release feed's listing, its SHA-256 and size must hold as well.
bool has_expected_digest(const UpdateRun& run, const std::string& expected_md5,
                         const ListedInstaller* listed, const DownloadAnswer& answer) {
    download::remove_partial_record(run.installer_path);
    LOG_INFO(kPhase, "file hash:%s %s %s\n", run.installer_path.c_str(), answer.sha256.c_str(),
             answer.md5.c_str());
    if (!same_digest_text(expected_md5, answer.md5)) {
        LOG_WARN(kPhase, "file hash:%s %s %s not match\n", run.installer_path.c_str(),
                 expected_md5.c_str(), answer.md5.c_str());
        return false;
    }
    if (listed != nullptr &&
        (answer.size < 0 || static_cast<unsigned long long>(answer.size) != listed->size ||
         !same_digest_text(listed->sha256, answer.sha256))) {
        LOG_WARN(kPhase,
                 "The installer %s has %lld bytes and the SHA-256 %s; the release feed lists "
                 "%llu bytes and %s.\n",
                 run.installer_path.c_str(), answer.size, answer.sha256.c_str(), listed->size,
                 listed->sha256.c_str());
        return false;
    }
    return true;
}

// Downloads until an attempt yields the expected digest, waiting between attempts as the
// retry policy says. The proxy is chosen once, before the first attempt; every attempt
// uses it.
Fetched fetch_checked_installer(UpdateRun& run, const std::string& url,
                                const std::string& expected_md5, const ListedInstaller* listed) {
    const ProxyChoice proxy = choose_proxy(url);
    // Credentials in the address are used, but never written where they can be read.
    const std::string shown_url = utils::redact_credentials(url);
    bool named_bad_wait = false;
    NextStart start = first_start(run, expected_md5);
    // Held through the waits, so that a front end stays connected from the first attempt
    // to the last; when it cannot be made here, each attempt tries again.
    const std::unique_ptr<Pipe> pipe = open_upgrade_pipe();
    for (int attempt = 1; attempt <= download::kAttempts; ++attempt) {
        download::AttemptEnd end;
        end.kind = download::AttemptEnd::Kind::kDigest;
        DownloadAnswer answer;
        DownloadOptions options;
        options.proxy = &proxy.proxy;
        options.hosts = &run.policy.download_hosts;
        options.if_range = start.if_range;
        options.pipe = pipe.get();
        if (download_file(url, run.installer_path, start.resume, options, &answer) < 0) {
            REPORT_FAILURE(run.notice, kPhase, "Failed to download %s from %s",
                           run.installer_path.c_str(), shown_url.c_str());
            end = failed_transfer(answer, url, named_bad_wait);
            start = after_failed_transfer(run, expected_md5, answer);
        } else {
            if (has_expected_digest(run, expected_md5, listed, answer)) return Fetched::kAccepted;
            start = NextStart{false, std::string()};
        }
        const download::NextAttempt next = download::next_attempt(attempt, end, draw());
        if (next.server_asked && next.server_seconds > download::kLongestServerWaitSeconds) {
            end_on_server_wait(run, expected_md5, next.server_seconds);
            return Fetched::kServerAsked;
        }
        if (!next.again) break;
        if (next.wait_seconds > 0) wait_before(run, next.wait_seconds, attempt + 1);
    }
    return Fetched::kFailed;
}

// Has the update service install, or else starts this program again with administrator
// rights for the install phase. 0, or -1 when the service's install failed or the system
// did not start the elevated run (the user refused the elevation, for one).
// The elevated run gets the accepted digest too: the file stays in a folder the user can
// write, so that run checks again what it is about to start. Having matched the MD5
// text, the digest is 32 hexadecimal digits and needs no escaping inside the quotes.
int request_install_phase(UpdateRun& run, const std::string& expected_md5) {
    // The update service first, where there is one: nobody is asked for consent.
    const int through_service = install_through_service(run, expected_md5);
    if (through_service != kAskForElevation) return through_service;
    const std::wstring parameters = std::wstring(L"\"") + kPhaseMarker + L"\" \"" +
                                    widen(run.installer_path) + L"\" \"" + widen(expected_md5) +
                                    L"\"";
    // In this run's working folder, where a program the user starts would start. The
    // elevated run neither reads nor writes anything there: its log is in a folder of the
    // administrators'.
    std::wstring own_path;
    std::wstring working_folder;
    if (utils::get_current_image_path(own_path) < 0 ||
        utils::get_working_folder(working_folder) < 0) {
        notify_frontend_text(run.notice, "Failed to start the install phase.");
        return -1;
    }
    const INT_PTR result = reinterpret_cast<INT_PTR>(utils::system_calls().shell_execute_w(
        nullptr, L"runas", own_path.c_str(), parameters.c_str(), working_folder.c_str(), SW_SHOW));
    if (result <= 32) {
        LOG_WARN(kPhase, "Failed to start the install phase, error %d.\n",
                 static_cast<int>(result));
        notify_frontend_text(run.notice, "Failed to start the install phase.");
        return -1;
    }
    return 0;
}

// Arguments that can never give an accepted installer end the run at once, before
// anything is locked, made or fetched (six downloads for a digest that cannot match, or
// five waits for an address that cannot be fetched, help nobody). 0 when they may.
int refuse_arguments(UpdateRun& run, const std::string& url, const std::string& expected_md5) {
    if (!is_md5_text(expected_md5)) {
        LOG_WARN(kPhase, "The expected digest %s is not an MD5 digest.\n", expected_md5.c_str());
        notify_frontend_text(run.notice, "Failed to download file with correct hash(md5/sha1).");
        return -1;
    }
    if (!utils::is_http_url(url)) {
        LOG_WARN(kPhase, "The address %s is not an http or https URL.\n",
                 utils::redact_credentials(url).c_str());
        notify_frontend_text(run.notice, "Failed to download file with correct hash(md5/sha1).");
        return -1;
    }
    return 0;
}

// The update folder, made when missing, and the installer's path in it.
int prepare_installer_path(UpdateRun& run, const std::string& url) {
    if (make_update_folder(run) < 0) return -1;
    run.installer_path = utils::join_path(
        run.update_folder, utils::installer_name_from_url(url, kDefaultInstallerName));
    if (run.installer_path.empty()) {
        LOG_WARN(kPhase, "The installer path in %s is too long.\n", run.update_folder.c_str());
        notify_frontend_text(run.notice, "Failed to download file with correct hash(md5/sha1).");
        return -1;
    }
    return 0;
}

// An installer that failed to install a short while ago fails again the same way: the
// user is spared another download, elevation prompt and restart until the record of the
// last update says it is time to try again, unless the release feed marks the update
// critical. -1 when this run must not go on.
int refuse_recent_failure(UpdateRun& run, const std::string& expected_md5, bool critical) {
    outcome::LastUpdate last;
    std::time_t next_try = 0;
    if (outcome::read_last_update(widen(run.update_folder), last) != 0) return 0;
    if (refuse_while_server_waits(run, last) < 0) return -1;
    if (critical || !outcome::must_wait(last, expected_md5, std::time(nullptr), next_try)) return 0;
    return REPORT_FAILURE(run.notice, kPhase,
                          "The same installer failed to install at %s; next try after %s.",
                          last.finished_at.c_str(), outcome::utc_text(next_try).c_str());
}

// An installer that would be refused in the elevated run is refused here, before the
// user is asked for elevation. 0 when it may go on.
int check_version(UpdateRun& run) {
    std::string own_path;
    if (utils::get_current_image_path(own_path) < 0) own_path.clear();
    if (policy::check_installer_version(run.policy, run.installer_path, own_path, run.notice,
                                        kPhase) != policy::Refusal::kNone)
        return -1;
    return 0;
}

}  // namespace

int run_download_phase(UpdateRun& run, const std::string& url, const std::string& expected_md5) {
    if (read_policy_first(run, kPhase) < 0) return -1;
    // Read while the installer downloads.
    trust::OwnPublisherReader own_publisher;
    return download_and_request_install(run, url, expected_md5, nullptr, own_publisher);
}

int download_and_request_install(UpdateRun& run, const std::string& url,
                                 const std::string& expected_md5, const ListedInstaller* listed,
                                 trust::OwnPublisherReader& own_publisher) {
    if (refuse_arguments(run, url, expected_md5) < 0) return -1;
    // Held until the elevated run has been asked for, which then waits for it.
    SingletonMutex lock(kLockBaseName, true);
    if (!lock.acquire()) {
        LOG_WARN(kPhase, "Another process already running.\n");
        return -1;
    }
    if (prepare_installer_path(run, url) < 0 ||
        refuse_recent_failure(run, expected_md5, listed != nullptr && listed->critical) < 0)
        return -1;

    const Fetched fetched = fetch_checked_installer(run, url, expected_md5, listed);
    if (fetched == Fetched::kServerAsked) return -1;
    if (fetched == Fetched::kFailed)
        return REPORT_FAILURE(run.notice, kPhase,
                              "Failed to download file with correct hash(md5/sha1).");
    // The elevated run refuses an installer of another publisher; the user is not asked to
    // allow one that would be refused.
    if (trust::check_installer_publisher(own_publisher, run.installer_path, kPhase) < 0) {
        notify_frontend_text(run.notice, "Failed to verify the installer's publisher.");
        remove_file(run.installer_path);
        return -1;
    }
    // An older installer fetched again would be refused again.
    if (check_version(run) < 0) {
        remove_file(run.installer_path);
        return -1;
    }
    // The installer stays when the restart fails: a later run resumes and checks it.
    return request_install_phase(run, expected_md5);
}
