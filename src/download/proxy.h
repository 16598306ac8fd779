// The proxy of a download: chosen once per download phase for the installer's URL, from
// the environment (https_proxy, http_proxy, all_proxy, no_proxy, as libcurl reads them)
// and, on Windows, from the user's own Internet settings (a fixed proxy with its bypass
// list, a proxy auto-config script, or auto-detection). Main thread.
//
// The text rules below are portable; choose_proxy has one implementation per platform
// (proxy_win.cpp asks WinHTTP, proxy_posix.cpp knows the environment only).
#pragma once

#include <string>

struct ProxyChoice {
    // The proxy as libcurl's CURLOPT_PROXY takes it ("host:port", "http://user:pw@host:port");
    // empty: straight to the server.
    std::string proxy;
    // Why, for the log: "environment", "fixed setting", "script <url>", "auto-detection",
    // "bypass list", "direct", with a short detail.
    std::string reason;
};

// Chooses the proxy for `url` and logs one INFO line with the choice and its reason,
// credentials left out. A proxy script that cannot be fetched or run gives "no proxy"
// and one WARN line. Never fails; auto-detection is given a few seconds at most.
ProxyChoice choose_proxy(const std::string& url);

// --- Text rules (proxy_rules.cpp) ---

// The parts of an http(s) URL or a proxy address that the rules need: the scheme in
// lower case ("" when the text has none), the host in lower case without IPv6 brackets,
// and the port (the scheme's default when none is written, 0 when unknown).
struct UrlParts {
    std::string scheme;
    std::string host;
    int port = 0;
};
UrlParts url_parts(const std::string& url);

// True when the Windows bypass list `list` (entries split by ";", "," or white space)
// names the URL: "<local>" for host names without a dot and loopback addresses, exact
// host names, and patterns with "*", each optionally with "scheme://" before and ":port"
// after it. Case-insensitive.
bool bypass_list_matches(const std::string& list, const UrlParts& url);

// True when libcurl's no_proxy list `list` (entries split by "," or white space) names
// `host`: "*" names every host, a name names itself and its sub-domains (a leading "."
// is ignored), an IP address names only itself.
bool no_proxy_matches(const std::string& list, const std::string& host);

// The proxy of a Windows proxy setting for `scheme`: "host:port" serves every scheme;
// in the per-scheme form "http=a:1;https=b:2" the entry of the scheme, "" when there is
// none. Of several proxies the first. "DIRECT" and an empty setting give "".
std::string proxy_for_scheme(const std::string& setting, const std::string& scheme);

// A fixed Windows setting (proxy list and bypass list) applied to `url`.
ProxyChoice proxy_from_fixed_setting(const std::string& url, const std::string& setting,
                                     const std::string& bypass);

// The environment's choice for `url`, read through `lookup` (null for an unset
// variable): false when the environment names no proxy for the URL's scheme and its
// no_proxy does not name the host, so that the system's settings decide.
using EnvironmentLookup = const char* (*)(const char* name);
bool proxy_from_environment(const std::string& url, EnvironmentLookup lookup, ProxyChoice& choice);

// Logs the INFO line of a choice.
void log_proxy_choice(const std::string& url, const ProxyChoice& choice);
