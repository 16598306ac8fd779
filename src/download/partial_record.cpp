#include "download/partial_record.h"

#include <cJSON.h>

#include <cstdio>
#include <memory>

#include "download/http_client.h"
#include "integrity/digest_text.h"
#include "utils/text.h"

namespace download {

namespace {

// A note is a hundred bytes or so; anything much larger is not one.
constexpr long kMostBytes = 4096;

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string record_path(const std::string& installer_path) {
    return installer_path + ".partial.json";
}

// The size of the file at `path`; -1 when it cannot be opened.
int64_t size_of(const std::string& path) {
    File file(open_file(path, "rb"));
    if (!file) return -1;
#ifdef _WIN32
    if (_fseeki64(file.get(), 0, SEEK_END) != 0) return -1;
    return _ftelli64(file.get());
#else
    if (fseeko(file.get(), 0, SEEK_END) != 0) return -1;
    return ftello(file.get());
#endif
}

}  // namespace

std::string partial_record_json(const std::string& md5, const std::string& validator,
                                int64_t bytes) {
    Json json(cJSON_CreateObject());
    cJSON_AddStringToObject(json.get(), "md5", md5.c_str());
    cJSON_AddStringToObject(json.get(), "validator", validator.c_str());
    // As a string: a double holds every size of a file, but the text says what it is.
    cJSON_AddStringToObject(json.get(), "bytes", std::to_string(bytes).c_str());
    char* text = cJSON_Print(json.get());
    std::string result = text != nullptr ? text : "";
    cJSON_free(text);
    return result;
}

bool parse_partial_record(const std::string& text, const std::string& md5, int64_t bytes,
                          std::string& validator) {
    const Json json(cJSON_Parse(text.c_str()));
    if (!cJSON_IsObject(json.get())) return false;
    const cJSON* md5_item = cJSON_GetObjectItemCaseSensitive(json.get(), "md5");
    const cJSON* validator_item = cJSON_GetObjectItemCaseSensitive(json.get(), "validator");
    const cJSON* bytes_item = cJSON_GetObjectItemCaseSensitive(json.get(), "bytes");
    if (!cJSON_IsString(md5_item) || !cJSON_IsString(validator_item) || !cJSON_IsString(bytes_item))
        return false;
    if (!same_digest_text(md5, md5_item->valuestring) ||
        !HttpClient::sendable_validator(validator_item->valuestring) || bytes <= 0 ||
        std::string(bytes_item->valuestring) != std::to_string(bytes))
        return false;
    validator = validator_item->valuestring;
    return true;
}

PartialRecord read_partial_record(const std::string& installer_path, const std::string& md5,
                                  std::string& validator) {
    File file(open_file(record_path(installer_path), "rb"));
    const int64_t bytes = size_of(installer_path);
    // Without a file there is nothing to continue, whatever the note says.
    if (!file || bytes < 0) return PartialRecord::kNone;
    std::string text(kMostBytes + 1, '\0');
    text.resize(std::fread(&text[0], 1, text.size(), file.get()));
    if (text.size() > static_cast<size_t>(kMostBytes)) return PartialRecord::kRefused;
    return parse_partial_record(text, md5, bytes, validator) ? PartialRecord::kUsable
                                                             : PartialRecord::kRefused;
}

int write_partial_record(const std::string& installer_path, const std::string& md5,
                         const std::string& validator) {
    const std::string text = partial_record_json(md5, validator, size_of(installer_path));
    bool written = false;
    {
        File file(open_file(record_path(installer_path), "wb"));
        written = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    }
    if (written) return 0;
    remove_partial_record(installer_path);
    return -1;
}

void remove_partial_record(const std::string& installer_path) {
    remove_file(record_path(installer_path));
}

}  // namespace download
