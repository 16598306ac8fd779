// The update check: the publisher's signed release feed says which release this machine
// is to run, and where its installer is; `--feed` then installs it as the first run does.
#include <ctime>
#include <string>

#include "download/proxy.h"
#include "download/release_feed.h"
#include "driver/phases.h"
#include "integrity/file_digest.h"
#include "log/log.h"
#include "outcome/last_update_file.h"
#include "policy/versions.h"
#include "trust/publisher.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"

namespace {

const char* const kPhase = "run_feed_phase";

// The release notes as far as the log takes them.
constexpr std::size_t kLoggedNotes = 2000;

// How fetching the feed ended.
enum class Fetched { kAccepted, kFailed, kServerAsked, kTooLong };

// Fetches the feed into `body`, waiting between attempts as the retry policy says, as the
// installer is fetched: the fleet that asks for the feed is the fleet that asks for the
// installer.
Fetched fetch_feed(UpdateRun& run, const std::string& url, std::string& body) {
    const ProxyChoice proxy = choose_proxy(url);
    const std::string shown_url = utils::redact_credentials(url);
    bool named_bad_wait = false;
    for (int attempt = 1; attempt <= download::kAttempts; ++attempt) {
        DownloadAnswer answer;
        DownloadOptions options;
        options.proxy = &proxy.proxy;
        options.hosts = &run.policy.download_hosts;
        const int result = download_text(url, download::kLargestFeedBytes, options, body, &answer);
        if (result == 0) return Fetched::kAccepted;
        if (result > 0) return Fetched::kTooLong;
        LOG_WARN(kPhase, "Failed to fetch the release feed from %s.\n", shown_url.c_str());
        const download::AttemptEnd end = failed_transfer(answer, url, named_bad_wait);
        const download::NextAttempt next = download::next_attempt(attempt, end, draw());
        if (next.server_asked && next.server_seconds > download::kLongestServerWaitSeconds) {
            end_on_server_wait(run, std::string(), next.server_seconds);
            return Fetched::kServerAsked;
        }
        if (!next.again) break;
        if (next.wait_seconds > 0) wait_before(run, next.wait_seconds, attempt + 1);
    }
    return Fetched::kFailed;
}

// The SHA-256 of the feed's content, as the memory of accepted feeds keeps it.
std::string sha256_text(const std::string& bytes) {
    RunningDigests digests;
    digests.add(bytes.data(), bytes.size());
    char md5[33] = {0};
    char sha256[65] = {0};
    digests.texts(md5, sha256);
    return sha256;
}

// The running Windows as "major.minor.build": RtlGetVersion, which reports it whatever
// the program's manifest declares (GetVersionEx does not).
policy::Version windows_version() {
    policy::Version version;
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto get = ntdll != nullptr ? reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
                                            GetProcAddress(ntdll, "RtlGetVersion")))
                                      : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (get != nullptr && get(&info) == 0)
        policy::parse_version(std::to_string(info.dwMajorVersion) + "." +
                                  std::to_string(info.dwMinorVersion) + "." +
                                  std::to_string(info.dwBuildNumber),
                              version);
    return version;
}

// The machine's id for staged rollouts: Windows' MachineGuid, read from the native view.
// Empty when there is none. It is hashed here and never sent anywhere.
std::string machine_id() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return std::string();
    const utils::ScopedRegistryKey key(opened);
    wchar_t text[64] = {0};
    DWORD type = REG_NONE;
    DWORD bytes = sizeof text - sizeof(wchar_t);  // the last unit stays the terminator
    if (RegQueryValueExW(key.get(), L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(text),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::string();
    return narrow(text);
}

// The installed version, as the version check finds it for the updater that runs.
policy::Version installed_version() {
    policy::Version installed;
    std::string own_path;
    std::string client_path;
    if (utils::get_current_image_path(own_path) < 0 ||
        gen_hubra_exe_path(own_path, client_path) < 0 ||
        !policy::read_installed_version(client_path, installed))
        installed = policy::Version{};
    return installed;
}

int refused(UpdateRun& run, const std::string& why) {
    return REPORT_FAILURE(run.notice, kPhase, "The release feed is refused: %s.", why.c_str());
}

// Holds what came to the publisher, the feed's rules and what this machine saw before;
// the feed's JSON in `feed`. 0 or -1.
int accept_release_feed(UpdateRun& run, trust::OwnPublisherReader& own, const std::string& body,
                        download::ReleaseFeed& feed) {
    const std::time_t clock = std::time(nullptr);
    std::string content;
    std::string why;
    if (trust::open_release_feed(own, body, clock, content, why, kPhase) < 0 ||
        download::parse_release_feed(content, feed, why) < 0)
        return refused(run, why);
    if (feed.product != policy::kProductName)
        return refused(run, "it is for " + download::printable_text(feed.product, 64) +
                                ", not for " + policy::kProductName);
    const std::string memory_path = utils::join_path(run.update_folder, download::kFeedMemoryName);
    download::FeedMemory memory;
    if (download::read_feed_memory(memory_path, memory) < 0)
        LOG_WARN(kPhase, "%s is not what this updater writes: it is written anew.\n",
                 memory_path.c_str());
    if (download::accept_feed(feed, sha256_text(content), clock, memory, why) < 0)
        return REPORT_FAILURE(run.notice, kPhase, "%s.", why.c_str());
    if (download::write_feed_memory(memory_path, memory) < 0)
        return REPORT_FAILURE(run.notice, kPhase, "Failed to write %s.", memory_path.c_str());
    LOG_INFO(kPhase, "The release feed %lld of %s holds, with %zu releases.\n", feed.serial,
             outcome::utc_text(feed.issued).c_str(), feed.releases.size());
    return 0;
}

int channel_of(UpdateRun& run, const FeedRequest& request, int& channel) {
    const std::string name = !request.channel.empty()      ? request.channel
                             : !run.policy.channel.empty() ? run.policy.channel
                                                           : download::kChannels[0];
    for (channel = 0; channel < download::kChannelCount; ++channel) {
        if (name == download::kChannels[channel]) return 0;
    }
    return REPORT_FAILURE(run.notice, kPhase, "The channel %s is not one of stable, beta.",
                          download::printable_text(name, 32).c_str());
}

}  // namespace

int run_feed_phase(UpdateRun& run, const FeedRequest& request) {
    if (read_policy_first(run, kPhase) < 0) return -1;
    const std::string url = !request.url.empty() ? request.url : run.policy.feed_url;
    if (url.empty())
        return REPORT_FAILURE(run.notice, kPhase,
                              "No release feed: give its address, or set the FeedUrl policy.");
    if (!utils::is_http_url(url))
        return REPORT_FAILURE(
            run.notice, kPhase, "The release feed's address %s is not an http or https URL.",
            utils::redact_credentials(download::printable_text(url, 256)).c_str());
    download::ChoiceInput input;
    if (channel_of(run, request, input.channel) < 0 || make_update_folder(run) < 0) return -1;
    outcome::LastUpdate last;
    if (outcome::read_last_update(widen(run.update_folder), last) == 0 &&
        refuse_while_server_waits(run, last) < 0)
        return kCheckDeferred;

    // Read while the feed downloads.
    trust::OwnPublisherReader own_publisher;
    std::string body;
    const Fetched fetched = fetch_feed(run, url, body);
    if (fetched == Fetched::kServerAsked) return kCheckDeferred;
    if (fetched == Fetched::kTooLong)
        return refused(
            run, "it is larger than " + std::to_string(download::kLargestFeedBytes) + " bytes");
    if (fetched == Fetched::kFailed)
        return REPORT_FAILURE(run.notice, kPhase, "Failed to fetch the release feed.");
    download::ReleaseFeed feed;
    if (accept_release_feed(run, own_publisher, body, feed) < 0) return -1;

    input.installed = installed_version();
    input.windows = windows_version();
    input.target_prefix = run.policy.target_version_prefix;
    input.allow_downgrade = run.policy.allow_downgrade;
    input.machine_id = machine_id();
    const download::Choice choice = download::choose_release(feed, input);
    if (choice.kind == download::Choice::Kind::kUpToDate) {
        notify_frontend_text(run.notice, "Up to date: %s",
                             input.installed.count > 0 ? input.installed.text.c_str() : "unknown");
        return kCheckUpToDate;
    }
    const download::FeedRelease& release = *choice.release;
    if (choice.kind == download::Choice::Kind::kDeferred) {
        notify_frontend_text(run.notice, "Update deferred: %s has not reached this machine yet.",
                             release.version.text.c_str());
        return kCheckDeferred;
    }
    LOG_INFO(
        kPhase, "The release %s%s from %s; its notes: \"%s\".\n", release.version.text.c_str(),
        choice.critical ? " (critical)" : "",
        download::printable_text(utils::redact_credentials(release.installer.url), 512).c_str(),
        download::printable_text(release.notes, kLoggedNotes).c_str());
    notify_frontend_text(run.notice, "Update available: %s", release.version.text.c_str());
    if (!request.install) return kCheckUpdateAvailable;

    ListedInstaller listed;
    listed.sha256 = release.installer.sha256;
    listed.size = release.installer.size;
    listed.critical = choice.critical;
    return download_and_request_install(run, release.installer.url, release.installer.md5, &listed,
                                        own_publisher);
}
