// The user's own Internet settings, read and applied through WinHTTP: the settings the
// user's browser and Windows' own programs follow.
#include <cstdlib>
#include <memory>

#include "download/proxy.h"
#include "log/log.h"
#include "utils/paths.h"
#include "utils/scoped_handle.h"
#include "utils/text.h"
#include "utils/win.h"
// After windows.h.
#include <winhttp.h>

namespace {

// Auto-detection asks DHCP and DNS for a script; an offline machine or a dead script
// server must not hold up the update for longer than this.
constexpr DWORD kScriptWaitMs = 5000;
constexpr int kScriptTimeoutMs = 4000;

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle invalid() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { WinHttpCloseHandle(handle); }
};
using ScopedInternetHandle = utils::ScopedHandle<InternetHandleTraits>;

// The strings WinHTTP hands over are the caller's to free with GlobalFree.
std::string take_global_text(LPWSTR text) {
    if (text == nullptr) return "";
    std::string result = narrow(text);
    GlobalFree(text);
    return result;
}

struct UserSettings {
    bool auto_detect = false;
    std::string script_url;
    std::string proxy;
    std::string bypass;
};

UserSettings read_user_settings() {
    UserSettings settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        // No settings at all (a service account, for one): as if nothing were set.
        LOG_DEBUG("choose_proxy", "No Internet settings of the user: error %lu.\n", GetLastError());
        return settings;
    }
    settings.auto_detect = config.fAutoDetect != FALSE;
    settings.script_url = take_global_text(config.lpszAutoConfigUrl);
    settings.proxy = take_global_text(config.lpszProxy);
    settings.bypass = take_global_text(config.lpszProxyBypass);
    return settings;
}

// One question to the proxy script, asked on its own thread so that the caller can stop
// waiting. Shared by the two threads; the last one to let go deletes it.
struct ScriptQuery {
    std::wstring url;
    std::wstring script_url;  // empty: none named
    bool auto_detect = false;

    // Filled by the worker; the caller reads them once the thread has ended.
    enum Outcome { kNoAnswer, kAnswered, kScriptFailed, kNothingDetected } outcome = kNoAnswer;
    std::string source;  // "script <url>" or "auto-detection"
    std::string proxy;   // the script's first proxy, empty for DIRECT
    DWORD error = 0;     // of the failed script
};

bool ask_script(HINTERNET session, ScriptQuery& query, WINHTTP_AUTOPROXY_OPTIONS& options) {
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session, query.url.c_str(), &options, &info)) {
        query.error = GetLastError();
        return false;
    }
    const std::string list = take_global_text(info.lpszProxy);
    take_global_text(info.lpszProxyBypass);
    query.proxy = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY
                      ? proxy_for_scheme(list, url_parts(narrow(query.url)).scheme)
                      : "";
    query.outcome = ScriptQuery::kAnswered;
    return true;
}

DWORD WINAPI run_script_query(void* data) {
    const std::unique_ptr<std::shared_ptr<ScriptQuery>> hold(
        static_cast<std::shared_ptr<ScriptQuery>*>(data));
    ScriptQuery& query = **hold;
    ScopedInternetHandle session(
        WinHttpOpen(L"updater", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    if (!session) {
        query.error = GetLastError();
        query.outcome = ScriptQuery::kScriptFailed;
        return 0;
    }
    WinHttpSetTimeouts(session.get(), kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs,
                       kScriptTimeoutMs);
    // The named script first, as Windows does; auto-detection after it.
    if (!query.script_url.empty()) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = query.script_url.c_str();
        query.source = "script " + utils::redact_credentials(narrow(query.script_url));
        if (ask_script(session.get(), query, options)) return 0;
        query.outcome = ScriptQuery::kScriptFailed;
    }
    if (query.auto_detect) {
        const ScriptQuery::Outcome named_outcome = query.outcome;
        const std::string named_source = query.source;
        const DWORD named_error = query.error;
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        query.source = "auto-detection";
        if (ask_script(session.get(), query, options)) return 0;
        if (query.error != ERROR_WINHTTP_AUTODETECTION_FAILED) {
            query.outcome = ScriptQuery::kScriptFailed;  // found, but not fetched or run
        } else if (named_outcome == ScriptQuery::kScriptFailed) {
            query.source = named_source;
            query.error = named_error;
        } else {
            query.outcome = ScriptQuery::kNothingDetected;
        }
    }
    return 0;
}

// The answer of the named or detected script for `url`. False when auto-detection found
// no script, so that the fixed setting decides.
bool proxy_from_script(const std::string& url, const UserSettings& settings, ProxyChoice& choice) {
    const auto query = std::make_shared<ScriptQuery>();
    // A script sees no credentials of the installer's URL.
    query->url = widen(utils::redact_credentials(url, ""));
    query->script_url = widen(settings.script_url);
    query->auto_detect = settings.auto_detect;
    auto* handoff = new std::shared_ptr<ScriptQuery>(query);
    const utils::ScopedKernelHandle thread(
        CreateThread(nullptr, 0, run_script_query, handoff, 0, nullptr));
    if (!thread) {
        delete handoff;
        LOG_WARN("choose_proxy", "Failed to ask the proxy script: %s", last_error_text().c_str());
        choice = {"", "direct: the proxy script could not be asked"};
        return true;
    }
    // The thread owns its share of the query: when it outlives the wait, it ends on its
    // own (or with the process) and nothing of this frame is left for it to touch.
    if (WaitForSingleObject(thread.get(), kScriptWaitMs) != WAIT_OBJECT_0) {
        LOG_WARN("choose_proxy", "The proxy script gave no answer within %lu s; going direct.\n",
                 kScriptWaitMs / 1000);
        choice = {"", "direct: no answer from the proxy script in time"};
        return true;
    }
    switch (query->outcome) {
        case ScriptQuery::kAnswered:
            choice = {query->proxy,
                      query->source + (query->proxy.empty() ? " answered DIRECT" : "")};
            return true;
        case ScriptQuery::kNothingDetected:
            return false;
        default:
            LOG_WARN("choose_proxy", "Failed to run the proxy %s: error %lu; going direct.\n",
                     query->source.c_str(), query->error);
            choice = {"", "direct: the proxy script failed"};
            return true;
    }
}

}  // namespace

ProxyChoice choose_proxy(const std::string& url) {
    ProxyChoice choice{"", "direct: no proxy set"};
    if (!proxy_from_environment(
            url, [](const char* name) -> const char* { return std::getenv(name); }, choice)) {
        const UserSettings settings = read_user_settings();
        bool decided = false;
        if (settings.auto_detect || !settings.script_url.empty())
            decided = proxy_from_script(url, settings, choice);
        if (!decided && !settings.proxy.empty())
            choice = proxy_from_fixed_setting(url, settings.proxy, settings.bypass);
        else if (!decided && settings.auto_detect)
            choice.reason = "direct: auto-detection found no script";
    }
    log_proxy_choice(url, choice);
    return choice;
}
