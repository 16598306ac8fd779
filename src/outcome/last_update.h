// The record of the last update, "last-update.json" in the first run's update folder:
// the elevated run writes what became of its install there for the client application,
// the next first run reads it so that an installer that failed to install is not fetched
// and run again and again, and upgrade-watch --last tells it in words.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace outcome {

extern const char* const kRecordName;  // "last-update.json"

// The results and the reasons that a record names. An empty reason goes with installed.
extern const char* const kInstalled;   // "installed"
extern const char* const kRolledBack;  // "rolled_back": the install failed, the folder is back
extern const char* const kFailed;      // "failed": anything else
// The installer ran and ended with another code than 0, or left no client application:
// the two reasons that count as the installer failing to install.
extern const char* const kInstallerExitCode;  // "installer_exit_code"
extern const char* const kClientMissing;      // "client_missing"
// The elevated run could not make the installer's own TEMP folder: nothing ran, nothing
// changed, and the installer is not held to have failed.
extern const char* const kTempFolder;  // "temp_folder"
// The first run ended on the server's Retry-After, too long to wait for.
extern const char* const kRetryAfter;  // "retry_after"

// One record. Texts are UTF-8.
struct LastUpdate {
    std::string result;
    std::string reason;
    std::string message;                           // the text the progress window showed last
    std::string installer;                         // the installer's file name
    std::string md5;                               // lower-case hexadecimal
    std::optional<long long> installer_exit_code;  // none when the installer did not run
    std::optional<std::string> previous_version;   // DisplayVersion before the install
    std::optional<std::string> version;            // and after it
    std::string finished_at;                       // UTC, "2026-12-09T06:50:00Z"
    std::string log;                               // full path of the run's update.log
    long long failures_of_this_installer = 0;      // failed installs of this MD5 in a row
    // The first run ended because the server asked to be asked again no sooner than this
    // (UTC, as finished_at); no run asks before. Written only when set.
    std::optional<std::string> retry_after;
};

// The record as JSON text, one key a line.
std::string to_json(const LastUpdate& record);
// Reads `text` into `out`. -1, with `out` untouched, when it is no JSON object with the
// result, the MD5 (which only a retry_after record may leave empty) and the time of a
// record; keys of other types count as missing.
int from_json(const std::string& text, LastUpdate& out);

// `when` as UTC in ISO 8601, "2026-12-09T06:50:00Z".
std::string utc_text(std::time_t when);
// The reverse, for exactly that form. -1 for any other text.
int parse_utc_text(const std::string& text, std::time_t& out);

// How many installs of `md5` have failed in a row once this run ended with `result` and
// `reason`, after `previous` (the record found before, if any). An install failure adds
// one to a run of the same MD5; installed ends the run; other failures (refused before
// the installer, a restore) leave the count as it was.
long long failures_in_a_row(const std::optional<LastUpdate>& previous, const std::string& md5,
                            const std::string& result, const std::string& reason);

// Whether the first run must refuse to fetch `md5` again at `now` after `record`: the same
// installer failed to install less than an hour ago, or less than a day ago after two or
// more failures in a row. When it must, `next_try` is the time from which it may again.
bool must_wait(const LastUpdate& record, const std::string& md5, std::time_t now,
               std::time_t& next_try);

// Whether `record` still forbids asking the server at `now`: its retry_after lies ahead.
// `until` then gets that time.
bool server_asked_to_wait(const LastUpdate& record, std::time_t now, std::time_t& until);

// The record in words for a person, several lines, each ending in "\n".
std::string describe(const LastUpdate& record);

}  // namespace outcome
