// The text rules of paths and download addresses; no system calls, so they build and are
// tested on both targets.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "utils/paths.h"

namespace utils {

namespace {

// Longest name of one element on the file systems Windows writes to.
constexpr size_t kMaxNameBytes = 255;

// Windows opens these as devices, whatever the extension and the letter case.
bool is_device_name(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
    return base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

bool is_usable_file_name(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes) return false;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || std::strchr("<>:\"/\\|?*", c) != nullptr) return false;
    }
    return !is_device_name(name);
}

// ".exe" in any letter case ends the name.
bool ends_with_exe(const std::string& name) {
    static const char kExe[] = ".exe";
    const size_t length = sizeof kExe - 1;
    if (name.size() < length) return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[name.size() - length + i];
        if (std::tolower(static_cast<unsigned char>(c)) != kExe[i]) return false;
    }
    return true;
}

}  // namespace

int get_parent_path(const std::string& path, std::string& out) {
    if (path.empty()) return -1;
    const size_t separator = path.find_last_of("/\\");
    if (separator == std::string::npos) return -1;
    std::string parent = path.substr(0, separator);
    out.swap(parent);
    return 0;
}

int gen_backup_name(const std::string& path, const std::string& suffix, std::string& out) {
    if (path.empty()) return -1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return -1;
    std::string backup = path.substr(0, dot) + suffix + path.substr(dot);
    out.swap(backup);
    return static_cast<int>(dot);
}

std::string installer_name_from_url(const std::string& url, const std::string& default_name) {
    // A "?" inside the fragment belongs to the fragment, so the fragment goes first.
    std::string address = url.substr(0, url.find('#'));
    address.erase(std::min(address.find('?'), address.size()));

    // The path starts at the first "/" after the host; without a scheme (curl then
    // guesses one) the host starts the text.
    const size_t scheme_end = address.find("://");
    const size_t host = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    const size_t path = address.find('/', host);
    if (path == std::string::npos) return default_name;

    std::string name = address.substr(address.rfind('/') + 1);
    if (!is_usable_file_name(name)) return default_name;
    if (!ends_with_exe(name)) name += ".exe";
    return is_usable_file_name(name) ? name : default_name;
}

std::string install_folder_text(const std::string& stored) {
    const char* const blanks = " \t";
    std::string folder = stored;
    const auto trim = [&folder, blanks] {
        folder.erase(0, std::min(folder.find_first_not_of(blanks), folder.size()));
        folder.erase(folder.find_last_not_of(blanks) + 1);
    };
    trim();
    if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
        folder = folder.substr(1, folder.size() - 2);
        trim();
    }
    const auto is_drive_root = [&folder] { return folder.size() == 3 && folder[1] == ':'; };
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/') && !is_drive_root())
        folder.pop_back();
    return folder;
}

}  // namespace utils

namespace utils {

bool is_http_url(const std::string& url) {
    for (const char* scheme : {"http://", "https://"}) {
        const size_t length = std::strlen(scheme);
        if (url.size() <= length) continue;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i)
            same = std::tolower(static_cast<unsigned char>(url[i])) == scheme[i];
        // Something must follow that is not the path already.
        if (same && url[length] != '/') return true;
    }
    return false;
}

size_t url_authority_start(const std::string& text) {
    const size_t scheme_end = text.find("://");
    return scheme_end == std::string::npos ? 0 : scheme_end + 3;
}

size_t url_authority_end(const std::string& text, size_t start) {
    const size_t end = text.find_first_of("/?#", start);
    return end == std::string::npos ? text.size() : end;
}

bool is_local_drive_path(const std::string& path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() < 4 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' ||
        !separator(path[2]))
        return false;
    // Names from the drive's root on: none empty, "." or "..", none with a ":", which would
    // name a stream of the file, not the file.
    size_t start = 3;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !separator(path[end])) ++end;
        const std::string name = path.substr(start, end - start);
        if (name.empty() || name == "." || name == ".." || name.find(':') != std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

std::string redact_credentials(const std::string& text, const char* mask) {
    const size_t start = url_authority_start(text);
    const size_t end = url_authority_end(text, start);
    const size_t at = end == 0 ? std::string::npos : text.rfind('@', end - 1);
    if (at == std::string::npos || at < start) return text;
    return text.substr(0, start) + mask + text.substr(at + 1);
}

}  // namespace utils
