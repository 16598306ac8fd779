#include <cctype>
#include <cstdlib>
#include <vector>

#include "download/proxy.h"
#include "log/log.h"
#include "utils/paths.h"

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool same_text(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::vector<std::string> split(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(separators, start);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > start) parts.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return parts;
}

// Where the user information and host of `text` start: after "scheme://", else at 0.
bool is_ipv4(const std::string& host) {
    const std::vector<std::string> parts = split(host, ".");
    if (parts.size() != 4 || host.back() == '.') return false;
    for (const std::string& part : parts) {
        if (part.size() > 3) return false;
        for (char c : part)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        if (std::atoi(part.c_str()) > 255) return false;
    }
    return true;
}

bool is_ip_address(const std::string& host) {
    return is_ipv4(host) || host.find(':') != std::string::npos;
}

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" ||
           (is_ipv4(host) && host.compare(0, 4, "127.") == 0);
}

// Glob match with "*" for any run of characters, every other character literal; both
// sides in lower case. Only the last "*" passed is ever retried, one character further
// on each time: whatever an earlier "*" could take instead, the last one can take too.
// So a match costs at most text length times pattern length steps, however many "*"
// a bypass entry holds.
bool glob_matches(const char* pattern, const char* text) {
    const char* after_star = nullptr;  // the pattern just after the last "*" passed
    const char* star_text = nullptr;   // the text that "*" stands for ends here
    while (*text != '\0') {
        if (*pattern == '*') {
            after_star = ++pattern;
            star_text = text;
        } else if (*pattern != '\0' && *pattern == *text) {
            ++pattern;
            ++text;
        } else if (after_star != nullptr) {
            pattern = after_star;
            text = ++star_text;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

bool bypass_entry_matches(std::string entry, const UrlParts& url) {
    entry = lower(entry);
    if (entry == "<local>")
        return is_loopback(url.host) ||
               (url.host.find('.') == std::string::npos && url.host.find(':') == std::string::npos);
    const size_t scheme_end = entry.find("://");
    if (scheme_end != std::string::npos) {
        if (entry.compare(0, scheme_end, url.scheme) != 0) return false;
        entry.erase(0, scheme_end + 3);
    }
    // A port after the host pattern; an IPv6 literal keeps its colons inside brackets.
    const size_t colon = entry.rfind(':');
    const size_t bracket = entry.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket) &&
        entry.find(':') == colon) {
        if (std::atoi(entry.c_str() + colon + 1) != url.port) return false;
        entry.erase(colon);
    }
    if (entry.size() > 1 && entry.front() == '[' && entry.back() == ']')
        entry = entry.substr(1, entry.size() - 2);
    // ".example.com" is the usual short form of "*.example.com".
    if (!entry.empty() && entry.front() == '.') entry.insert(0, "*");
    return !entry.empty() && glob_matches(entry.c_str(), url.host.c_str());
}

}  // namespace

UrlParts url_parts(const std::string& url) {
    UrlParts parts;
    const size_t scheme_end = url.find("://");
    if (scheme_end != std::string::npos) parts.scheme = lower(url.substr(0, scheme_end));
    const size_t start = utils::url_authority_start(url);
    std::string authority = url.substr(start, utils::url_authority_end(url, start) - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);

    std::string port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        parts.host =
            authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos && close + 1 < authority.size() &&
            authority[close + 1] == ':')
            port = authority.substr(close + 2);
    } else {
        const size_t colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string::npos) port = authority.substr(colon + 1);
    }
    parts.host = lower(parts.host);
    // A fully qualified name may end with the root's dot.
    if (!parts.host.empty() && parts.host.back() == '.') parts.host.pop_back();
    if (!port.empty())
        parts.port = std::atoi(port.c_str());
    else if (parts.scheme == "http")
        parts.port = 80;
    else if (parts.scheme == "https")
        parts.port = 443;
    return parts;
}

bool bypass_list_matches(const std::string& list, const UrlParts& url) {
    for (const std::string& entry : split(list, "; ,\t\r\n"))
        if (bypass_entry_matches(entry, url)) return true;
    return false;
}

bool no_proxy_matches(const std::string& list, const std::string& host) {
    const std::string name = lower(host);
    for (std::string entry : split(list, ", \t")) {
        entry = lower(entry);
        if (entry == "*") return true;
        if (entry.size() > 1 && entry.front() == '[' && entry.back() == ']')
            entry = entry.substr(1, entry.size() - 2);
        if (is_ip_address(name)) {
            if (entry == name) return true;
            continue;
        }
        // Brackets around nothing ("[]") leave an empty entry.
        if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (name == entry) return true;
        if (name.size() > entry.size() &&
            name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

std::string proxy_for_scheme(const std::string& setting, const std::string& scheme) {
    std::string any;
    for (const std::string& entry : split(setting, "; \t\r\n")) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (any.empty()) any = entry;
            continue;
        }
        if (same_text(entry.substr(0, equals), scheme)) {
            const std::string proxy = entry.substr(equals + 1);
            return same_text(proxy, "DIRECT") ? std::string() : proxy;
        }
    }
    return same_text(any, "DIRECT") ? std::string() : any;
}

ProxyChoice proxy_from_fixed_setting(const std::string& url, const std::string& setting,
                                     const std::string& bypass) {
    const UrlParts parts = url_parts(url);
    const std::string proxy = proxy_for_scheme(setting, parts.scheme);
    if (proxy.empty()) return {"", "direct: the fixed setting names no proxy for " + parts.scheme};
    if (bypass_list_matches(bypass, parts)) return {"", "bypass list of the fixed setting"};
    return {proxy, "fixed setting"};
}

bool proxy_from_environment(const std::string& url, EnvironmentLookup lookup, ProxyChoice& choice) {
    const UrlParts parts = url_parts(url);
    auto value = [lookup](const std::string& name) -> std::string {
        const char* text = lookup(name.c_str());
        return text != nullptr ? text : "";
    };
    // libcurl's order: the scheme's variable (http_proxy only in lower case: a CGI
    // program receives HTTP_PROXY from a request header), then all_proxy.
    std::vector<std::string> names = {parts.scheme + "_proxy"};
    if (parts.scheme != "http") names.push_back(upper(parts.scheme) + "_PROXY");
    names.push_back("all_proxy");
    names.push_back("ALL_PROXY");

    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        const std::string list = value(name);
        if (list.empty()) continue;
        if (no_proxy_matches(list, parts.host)) {
            choice = {"", std::string("environment: ") + name + " names the host"};
            return true;
        }
        break;
    }
    for (const std::string& name : names) {
        const std::string proxy = value(name);
        if (proxy.empty()) continue;
        choice = {proxy, "environment: " + name};
        return true;
    }
    return false;
}

void log_proxy_choice(const std::string& url, const ProxyChoice& choice) {
    LOG_INFO("choose_proxy", "Proxy for %s: %s (%s).\n", utils::redact_credentials(url).c_str(),
             choice.proxy.empty() ? "none" : utils::redact_credentials(choice.proxy).c_str(),
             choice.reason.c_str());
}
