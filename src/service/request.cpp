#include "service/request.h"

#include <cJSON.h>

#include <cctype>
#include <memory>

namespace service {

namespace {

constexpr size_t kMaxPath = 260;

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// One name between backslashes of a plain path.
bool is_plain_name(const std::string& name) {
    // Windows drops a trailing dot or space, so that the name opened is not the one given;
    // "." and ".." go with that.
    if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 32) return false;
        for (const char* bad = "<>:\"/\\|?*"; *bad != '\0'; ++bad)
            if (c == *bad) return false;
    }
    return true;
}

void add_optional(cJSON* object, const char* key, const std::optional<std::string>& text) {
    if (text)
        cJSON_AddStringToObject(object, key, text->c_str());
    else
        cJSON_AddNullToObject(object, key);
}

std::string string_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) ? item->valuestring : "";
}

std::optional<std::string> optional_string_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsString(item)) return std::nullopt;
    return std::string(item->valuestring);
}

}  // namespace

bool is_request_id(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !is_hex(text[i])) return false;
    }
    return true;
}

bool is_plain_drive_path(const std::string& path) {
    if (path.size() < 4 || path.size() >= kMaxPath) return false;
    if (!std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' || path[2] != '\\')
        return false;
    size_t start = 3;
    while (true) {
        const size_t slash = path.find('\\', start);
        if (!is_plain_name(path.substr(start, slash - start))) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

bool read_request(const std::vector<std::string>& arguments, Request& out, std::string& why) {
    if (arguments.size() != 3) {
        why = "the request has " + std::to_string(arguments.size()) + " arguments, not 3";
        return false;
    }
    if (arguments[0] != kInstallVerb) {
        why = "the verb is not " + std::string(kInstallVerb);
        return false;
    }
    if (!is_request_id(arguments[1])) {
        why = "the request id is not a GUID";
        return false;
    }
    if (!is_plain_drive_path(arguments[2])) {
        why = "the installer path is not a plain path on a drive";
        return false;
    }
    out.id = arguments[1];
    out.installer = arguments[2];
    return true;
}

std::string status_text(const Status& status) {
    Json json(cJSON_CreateObject());
    cJSON* object = json.get();
    if (object == nullptr) return "";
    cJSON_AddNumberToObject(object, "step", status.step);
    cJSON_AddStringToObject(object, "result", status.result.c_str());
    cJSON_AddStringToObject(object, "reason", status.reason.c_str());
    cJSON_AddStringToObject(object, "window_text", status.window_text.c_str());
    cJSON_AddStringToObject(object, "notice", status.notice.c_str());
    cJSON_AddBoolToObject(object, "ask_administrator", status.ask_administrator);
    if (status.exit_code)
        cJSON_AddNumberToObject(object, "exit_code", static_cast<double>(*status.exit_code));
    else
        cJSON_AddNullToObject(object, "exit_code");
    add_optional(object, "previous_version", status.previous_version);
    add_optional(object, "version", status.version);
    char* printed = cJSON_Print(object);
    if (printed == nullptr) return "";
    std::string text(printed);
    cJSON_free(printed);
    return text + "\n";
}

bool read_status_text(const std::string& text, Status& out) {
    Json json(cJSON_Parse(text.c_str()));
    const cJSON* object = json.get();
    const cJSON* step = cJSON_GetObjectItemCaseSensitive(object, "step");
    if (!cJSON_IsObject(object) || !cJSON_IsNumber(step)) return false;
    Status status;
    status.step = step->valueint;
    status.result = string_of(object, "result");
    status.reason = string_of(object, "reason");
    status.window_text = string_of(object, "window_text");
    status.notice = string_of(object, "notice");
    status.ask_administrator =
        cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(object, "ask_administrator"));
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(object, "exit_code");
    if (cJSON_IsNumber(code)) status.exit_code = static_cast<long long>(code->valuedouble);
    status.previous_version = optional_string_of(object, "previous_version");
    status.version = optional_string_of(object, "version");
    out = status;
    return true;
}

}  // namespace service
