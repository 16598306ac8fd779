// What the first run asks of the update service and what the service tells it back: the
// arguments of a request, and the status of one as text. The rules are portable, so that
// the tests read them natively too; the service itself is Win32 (service.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace service {

// The one verb: StartServiceW's arguments after the service's name are exactly
// "install", a request id and the installer's path.
inline constexpr const char* kInstallVerb = "install";

struct Request {
    std::string id;         // a GUID in its usual form (is_request_id)
    std::string installer;  // a full path on a drive (is_plain_drive_path), UTF-8
};

// The arguments the service was started with, its own name left out. False, with `why`
// saying which argument is wrong, for anything but the verb, an id and a path, in that
// order and nothing more.
bool read_request(const std::vector<std::string>& arguments, Request& out, std::string& why);

// A GUID as 8-4-4-4-12 hexadecimal digits, 36 characters, no braces.
bool is_request_id(const std::string& text);

// A path that names one file on a drive and nothing else: a drive letter, ":\", then names
// joined by single backslashes, none of them "." or "..", none ending in a dot or a space,
// no other colon (a stream), no forward slash, no control character nor any of <>"|?*,
// shorter than MAX_PATH (260) in all. Shares, \\?\ and device paths, relative paths and
// streams fail. Whether the drive is a local fixed disk is the system's to say.
bool is_plain_drive_path(const std::string& path);

// A request's status: the service writes it as it goes, the first run reads it.
struct Status {
    int step = -1;       // the last install step through, -1 before the first
    std::string result;  // empty while the service works; then "installed", "rolled_back"
                         // or "failed", as in the record of an update
    std::string reason;  // of a failure, in the record's words
    // The progress window's last text, by the name of its field in WindowTexts
    // ("done", "failed", "rolled_back", "publisher_refused", "older").
    std::string window_text;
    std::string notice;  // the last notice of the service, for the front end
    // Refused for a reason that an administrator may overrule at the elevation prompt.
    bool ask_administrator = false;
    std::optional<long long> exit_code;  // the installer's, once it ran
    std::optional<std::string> previous_version;
    std::optional<std::string> version;
};

// The status as JSON text, and back: false, with `out` untouched, for text that is no
// such object.
std::string status_text(const Status& status);
bool read_status_text(const std::string& text, Status& out);

}  // namespace service
