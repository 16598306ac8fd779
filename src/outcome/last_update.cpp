#include "outcome/last_update.h"

#include <cJSON.h>

#include <cctype>
#include <cstdio>
#include <memory>

namespace outcome {

const char* const kRecordName = "last-update.json";
const char* const kInstalled = "installed";
const char* const kRolledBack = "rolled_back";
const char* const kFailed = "failed";
const char* const kInstallerExitCode = "installer_exit_code";
const char* const kClientMissing = "client_missing";
const char* const kTempFolder = "temp_folder";
const char* const kRetryAfter = "retry_after";

namespace {

constexpr std::time_t kHour = 60 * 60;
constexpr std::time_t kDay = 24 * kHour;

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back (after
// Howard Hinnant's civil calendar algorithms): the C libraries of the two targets share
// no UTC conversion that needs no time zone.
long long days_from_civil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

void civil_from_days(long long days, long long& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    year = static_cast<long long>(year_of_era) + era * 400 + (month <= 2);
}

std::string text_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) ? item->valuestring : "";
}

std::optional<std::string> optional_text_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsString(item)) return std::nullopt;
    return std::string(item->valuestring);
}

std::optional<long long> optional_number_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsNumber(item)) return std::nullopt;
    return static_cast<long long>(item->valuedouble);
}

void add_text(cJSON* object, const char* key, const std::optional<std::string>& text) {
    if (text)
        cJSON_AddStringToObject(object, key, text->c_str());
    else
        cJSON_AddNullToObject(object, key);
}

bool is_install_failure(const std::string& reason) {
    return reason == kInstallerExitCode || reason == kClientMissing;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string to_json(const LastUpdate& record) {
    Json json(cJSON_CreateObject());
    if (!json) return std::string();
    cJSON* object = json.get();
    cJSON_AddStringToObject(object, "result", record.result.c_str());
    cJSON_AddStringToObject(object, "reason", record.reason.c_str());
    cJSON_AddStringToObject(object, "message", record.message.c_str());
    cJSON_AddStringToObject(object, "installer", record.installer.c_str());
    cJSON_AddStringToObject(object, "md5", record.md5.c_str());
    if (record.installer_exit_code)
        cJSON_AddNumberToObject(object, "installer_exit_code",
                                static_cast<double>(*record.installer_exit_code));
    else
        cJSON_AddNullToObject(object, "installer_exit_code");
    add_text(object, "previous_version", record.previous_version);
    add_text(object, "version", record.version);
    cJSON_AddStringToObject(object, "finished_at", record.finished_at.c_str());
    cJSON_AddStringToObject(object, "log", record.log.c_str());
    cJSON_AddNumberToObject(object, "failures_of_this_installer",
                            static_cast<double>(record.failures_of_this_installer));
    if (record.retry_after)
        cJSON_AddStringToObject(object, "retry_after", record.retry_after->c_str());
    char* printed = cJSON_Print(object);
    if (printed == nullptr) return std::string();
    std::string text = std::string(printed) + "\n";
    cJSON_free(printed);
    return text;
}

int from_json(const std::string& text, LastUpdate& out) {
    const Json json(cJSON_Parse(text.c_str()));
    const cJSON* object = json.get();
    if (!cJSON_IsObject(object)) return -1;
    LastUpdate record;
    record.result = text_of(object, "result");
    record.md5 = lower(text_of(object, "md5"));
    record.finished_at = text_of(object, "finished_at");
    std::time_t finished = 0;
    record.reason = text_of(object, "reason");
    // A release feed's server can ask for the wait before any installer is known.
    if (record.result.empty() || (record.md5.empty() && record.reason != kRetryAfter) ||
        parse_utc_text(record.finished_at, finished) < 0)
        return -1;
    record.message = text_of(object, "message");
    record.installer = text_of(object, "installer");
    record.installer_exit_code = optional_number_of(object, "installer_exit_code");
    record.previous_version = optional_text_of(object, "previous_version");
    record.version = optional_text_of(object, "version");
    record.log = text_of(object, "log");
    record.failures_of_this_installer =
        optional_number_of(object, "failures_of_this_installer").value_or(0);
    record.retry_after = optional_text_of(object, "retry_after");
    out = record;
    return 0;
}

std::string utc_text(std::time_t when) {
    const long long seconds = static_cast<long long>(when);
    long long days = seconds / kDay;
    long long in_day = seconds % kDay;
    if (in_day < 0) {
        in_day += kDay;
        --days;
    }
    long long year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    char text[64] = {0};
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", year, month, day,
                  in_day / 3600, in_day / 60 % 60, in_day % 60);
    return text;
}

int parse_utc_text(const std::string& text, std::time_t& out) {
    // "YYYY-MM-DDTHH:MM:SSZ", nothing else.
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kShape - 1) return -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return -1;
    }
    const auto number = [&](size_t at, size_t count) { return std::stoi(text.substr(at, count)); };
    const int year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return -1;
    out = static_cast<std::time_t>(
        days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * kDay +
        hour * kHour + minute * 60 + second);
    return 0;
}

long long failures_in_a_row(const std::optional<LastUpdate>& previous, const std::string& md5,
                            const std::string& result, const std::string& reason) {
    const long long before =
        previous && previous->md5 == lower(md5) ? previous->failures_of_this_installer : 0;
    if (result == kInstalled) return 0;
    return is_install_failure(reason) ? before + 1 : before;
}

bool must_wait(const LastUpdate& record, const std::string& md5, std::time_t now,
               std::time_t& next_try) {
    std::time_t finished = 0;
    if (record.md5 != lower(md5) || record.result == kInstalled ||
        !is_install_failure(record.reason) || parse_utc_text(record.finished_at, finished) < 0)
        return false;
    const std::time_t until = finished + (record.failures_of_this_installer >= 2 ? kDay : kHour);
    // A record from the future says more about the clock than about the installer.
    if (now < finished || now >= until) return false;
    next_try = until;
    return true;
}

bool server_asked_to_wait(const LastUpdate& record, std::time_t now, std::time_t& until) {
    std::time_t asked = 0;
    if (!record.retry_after || parse_utc_text(*record.retry_after, asked) < 0 || asked <= now)
        return false;
    until = asked;
    return true;
}

std::string describe(const LastUpdate& record) {
    std::string text;
    if (record.result == kInstalled)
        text = "The last update installed " + record.installer + ".\n";
    else if (record.result == kRolledBack)
        text = "The last update failed to install " + record.installer + " (" + record.reason +
               "); the previous version was put back.\n";
    else
        text = "The last update with " + record.installer + " failed (" + record.reason + ").\n";
    text += "Finished: " + record.finished_at + "\n";
    text += "Version: " + record.previous_version.value_or("none") + " -> " +
            record.version.value_or("none") + "\n";
    if (record.installer_exit_code)
        text += "Installer exit code: " + std::to_string(*record.installer_exit_code) + "\n";
    else
        text += "Installer exit code: none (it did not run)\n";
    if (record.result != kInstalled)
        text += "Failures of this installer in a row: " +
                std::to_string(record.failures_of_this_installer) + "\n";
    if (record.retry_after)
        text += "The server asked to retry after: " + *record.retry_after + "\n";
    text += "Window: " + record.message + "\n";
    text += "Log: " + record.log + "\n";
    return text;
}

}  // namespace outcome
