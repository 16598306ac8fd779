// libFuzzer target: the text rules of the proxy choice and of paths and download addresses,
// the portable functions that take text from outside the program (the command line, the
// environment, the user's Internet settings). The input is up to four fields split at
// "\n": an address, a list (bypass or no_proxy), a proxy setting and a suffix. Besides
// crashes and sanitizer reports, each call is checked against the rules its header gives
// where that is cheap; libFuzzer's -timeout catches a call that takes too long, such as
// a glob that backtracks without end.
//
//     scripts/fuzz text [SECONDS]
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "download/proxy.h"
#include "utils/paths.h"

namespace {

void check(bool holds, const char* rule, const std::string& text) {
    if (holds) return;
    std::fprintf(stderr, "%s does not hold for \"%s\"\n", rule, text.c_str());
    std::abort();
}

bool is_plain_host(const std::string& host) {
    if (host.empty() || host.front() == '.') return false;
    for (const char c : host) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
            return false;
    }
    return true;
}

bool has_ascii_upper(const std::string& text) {
    for (const char c : text)
        if (c >= 'A' && c <= 'Z') return true;
    return false;
}

void fuzz_proxy_rules(const std::string& url, const std::string& list, const std::string& setting) {
    const UrlParts parts = url_parts(url);
    check(!has_ascii_upper(parts.scheme) && !has_ascii_upper(parts.host),
          "url_parts: scheme and host in lower case", url);
    check(parts.host.size() <= url.size(), "url_parts: host within the address", url);

    const std::string shown = utils::redact_credentials(url);
    check(
        shown == url || (shown.size() < url.size() + 4 && shown.find("***@") != std::string::npos),
        "redact_credentials: address kept or user information masked", url);
    const std::string bare = utils::redact_credentials(url, "");
    check(bare.size() <= url.size(), "redact_credentials: nothing added with an empty mask", url);

    bypass_list_matches(list, parts);
    check(bypass_list_matches("*", parts), "bypass list: \"*\" names every host", url);
    if (is_plain_host(parts.host)) {
        check(bypass_list_matches(parts.host, parts), "bypass list: a host names itself", url);
        check(no_proxy_matches(parts.host, parts.host), "no_proxy: a host names itself", url);
    }
    no_proxy_matches(list, parts.host);
    check(no_proxy_matches("*", parts.host), "no_proxy: \"*\" names every host", url);

    const std::string proxy = proxy_for_scheme(setting, parts.scheme);
    check(proxy.empty() || (setting.find(proxy) != std::string::npos &&
                            proxy.find_first_of("; \t\r\n") == std::string::npos),
          "proxy_for_scheme: one entry of the setting", setting);
    const ProxyChoice fixed = proxy_from_fixed_setting(url, setting, list);
    check(fixed.proxy.empty() || fixed.proxy == proxy,
          "proxy_from_fixed_setting: the scheme's proxy or none", setting);
}

// The environment that proxy_from_environment reads: the list as no_proxy, the setting
// as every proxy variable.
std::string g_no_proxy, g_proxy;

const char* lookup(const char* name) {
    if (std::strcmp(name, "no_proxy") == 0 || std::strcmp(name, "NO_PROXY") == 0)
        return g_no_proxy.c_str();
    return g_proxy.c_str();
}

void fuzz_environment(const std::string& url, const std::string& list, const std::string& setting) {
    g_no_proxy = list;
    g_proxy = setting;
    ProxyChoice choice;
    // The variables are C strings: a NUL in the input ends them.
    if (proxy_from_environment(url, lookup, choice))
        check(choice.proxy.empty() || choice.proxy == g_proxy.c_str(),
              "proxy_from_environment: a variable's value or none", url);
}

void fuzz_paths(const std::string& text, const std::string& suffix) {
    std::string out = "untouched";
    if (utils::get_parent_path(text, out) == 0)
        check(out.size() < text.size() && text.compare(0, out.size(), out) == 0 &&
                  (text[out.size()] == '/' || text[out.size()] == '\\'),
              "get_parent_path: the text before a separator", text);
    else
        check(out == "untouched", "get_parent_path: out unchanged on failure", text);

    out = "untouched";
    const int dot = utils::gen_backup_name(text, suffix, out);
    if (dot >= 0)
        check(text[dot] == '.' && out == text.substr(0, dot) + suffix + text.substr(dot),
              "gen_backup_name: the suffix before the last dot", text);
    else
        check(out == "untouched", "gen_backup_name: out unchanged on failure", text);

    const std::string name = utils::installer_name_from_url(text, "setup.exe");
    check(name.size() >= 4 && name.size() <= 255 &&
              name.find_first_of("<>:\"/\\|?*") == std::string::npos,
          "installer_name_from_url: a usable file name", text);
    check(name == "setup.exe" || text.find(name.substr(0, name.size() - 4)) != std::string::npos,
          "installer_name_from_url: a segment of the address", text);

    if (utils::is_http_url(text))
        check(text.size() > 7 && text.find("://") != std::string::npos,
              "is_http_url: a scheme and something after it", text);

    const std::string folder = utils::install_folder_text(text);
    check(text.find(folder) != std::string::npos, "install_folder_text: a part of the text", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string fields[4];
    std::size_t field = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' && field < 3)
            ++field;
        else
            fields[field] += static_cast<char>(data[i]);
    }
    const std::string& url = fields[0];
    fuzz_proxy_rules(url, fields[1], fields[2]);
    fuzz_environment(url, fields[1], fields[2]);
    fuzz_paths(url, fields[3]);
    fuzz_paths(fields[1], fields[3]);
    return 0;
}
