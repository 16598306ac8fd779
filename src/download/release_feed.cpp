#include "download/release_feed.h"

#include <cJSON.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>

#include "integrity/digest_text.h"
#include "integrity/sha256.h"
#include "outcome/last_update.h"
#include "utils/text.h"

namespace download {

const char* const kChannels[] = {"stable", "beta"};
const int kChannelCount = 2;

namespace {

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// The largest integer a JSON number (a double) holds exactly.
constexpr double kLargestExactInteger = 9007199254740992.0;  // 2^53

// Reads members of one object, and names the first one that is wrong.
class Members {
public:
    Members(const cJSON* object, std::string where, std::string& why)
        : object_(object), where_(std::move(where)), why_(why) {}

    const cJSON* get(const char* name) const {
        return cJSON_GetObjectItemCaseSensitive(object_, name);
    }
    bool fail(const char* name, const char* what) {
        why_ = "the member \"" + where_ + name + "\" " + what;
        return false;
    }
    bool text(const char* name, std::string& out, bool required = true) {
        const cJSON* item = get(name);
        if (item == nullptr && !required) return true;
        if (!cJSON_IsString(item) || item->valuestring == nullptr)
            return fail(name, "is not a text");
        out = item->valuestring;
        return true;
    }
    // A whole number from `low` to `high`; 1e2 is 100, 25.5 and "25" are not numbers here.
    bool integer(const char* name, double low, double high, double& out, bool required = true) {
        const cJSON* item = get(name);
        if (item == nullptr && !required) return true;
        if (!cJSON_IsNumber(item)) return fail(name, "is not a number");
        const double value = item->valuedouble;
        if (!(value >= low && value <= high) || std::floor(value) != value)
            return fail(name, "is not a whole number in its range");
        out = value;
        return true;
    }
    bool version(const char* name, std::optional<policy::Version>& out, bool required) {
        std::string text_value;
        if (!text(name, text_value, required)) return false;
        if (get(name) == nullptr) return true;
        policy::Version parsed;
        if (!policy::parse_version(text_value, parsed)) return fail(name, "is not a version");
        out = parsed;
        return true;
    }
    bool time(const char* name, std::time_t& out) {
        std::string text_value;
        if (!text(name, text_value)) return false;
        if (outcome::parse_utc_text(text_value, out) < 0)
            return fail(name, "is not a time as \"2026-12-01T09:00:00Z\"");
        return true;
    }
    bool digest(const char* name, std::size_t digits, std::string& out) {
        if (!text(name, out)) return false;
        if (out.size() != digits) return fail(name, "is not a digest of its length");
        for (char& c : out) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return fail(name, "is not a digest of its length");
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return true;
    }

private:
    const cJSON* object_;
    std::string where_;
    std::string& why_;
};

// An https address with something after the scheme, and no space or control character
// anywhere: the address goes to libcurl and, in part, into a file name.
bool is_https_address(const std::string& url) {
    static const char kScheme[] = "https://";
    if (url.size() <= sizeof kScheme - 1) return false;
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    }
    for (std::size_t i = 0; i < sizeof kScheme - 1; ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return false;
    }
    return true;
}

int channel_index(const std::string& name) {
    for (int i = 0; i < kChannelCount; ++i) {
        if (name == kChannels[i]) return i;
    }
    return -1;
}

bool read_release(const cJSON* item, int index, FeedRelease& out, std::string& why) {
    const std::string where = "releases[" + std::to_string(index) + "].";
    if (!cJSON_IsObject(item)) {
        why = "the member \"releases[" + std::to_string(index) + "]\" is not an object";
        return false;
    }
    Members release(item, where, why);
    std::optional<policy::Version> version;
    std::string channel;
    double rollout = 100;
    if (!release.version("version", version, true) || !release.text("channel", channel) ||
        !release.integer("rollout_percent", 0, 100, rollout, false) ||
        !release.version("critical_below", out.critical_below, false) ||
        !release.version("min_windows", out.min_windows, false) ||
        !release.text("notes", out.notes, false))
        return false;
    out.version = *version;
    out.channel = channel_index(channel);
    if (out.channel < 0) return release.fail("channel", "names no channel (stable, beta)");
    out.rollout_percent = static_cast<int>(rollout);

    const cJSON* installer = release.get("installer");
    if (!cJSON_IsObject(installer)) return release.fail("installer", "is not an object");
    Members file(installer, where + "installer.", why);
    double size = 0;
    if (!file.text("url", out.installer.url) ||
        !file.integer("size", 1, static_cast<double>(kLargestInstallerBytes), size) ||
        !file.digest("sha256", 64, out.installer.sha256) ||
        !file.digest("md5", 32, out.installer.md5))
        return false;
    // The feed's signature vouches for the bytes (size and digests); https keeps the
    // address itself from being watched or held back on the way.
    if (!is_https_address(out.installer.url)) return file.fail("url", "is not an https address");
    out.installer.size = static_cast<unsigned long long>(size);
    return true;
}

}  // namespace

int parse_release_feed(const std::string& text, ReleaseFeed& out, std::string& why) {
    if (text.size() > kLargestFeedBytes) {
        why = "it is larger than " + std::to_string(kLargestFeedBytes) + " bytes";
        return -1;
    }
    const Json json(cJSON_ParseWithLength(text.data(), text.size()));
    if (!cJSON_IsObject(json.get())) {
        why = "it is not a JSON object";
        return -1;
    }
    Members feed(json.get(), "", why);
    double schema = 0;
    double serial = 0;
    ReleaseFeed read;
    if (!feed.integer("schema", 0, kLargestExactInteger, schema)) return -1;
    if (schema != 1) {
        feed.fail("schema", "is not 1, the only schema this updater reads");
        return -1;
    }
    if (!feed.text("product", read.product) ||
        !feed.integer("serial", 0, kLargestExactInteger, serial) ||
        !feed.time("issued", read.issued) || !feed.time("expires", read.expires))
        return -1;
    if (read.expires <= read.issued) {
        feed.fail("expires", "is not after \"issued\"");
        return -1;
    }
    read.serial = static_cast<long long>(serial);
    const cJSON* releases = feed.get("releases");
    if (!cJSON_IsArray(releases)) {
        feed.fail("releases", "is not a list");
        return -1;
    }
    int index = 0;
    for (const cJSON* item = releases->child; item != nullptr; item = item->next, ++index) {
        FeedRelease release;
        if (!read_release(item, index, release, why)) return -1;
        read.releases.push_back(std::move(release));
    }
    out = std::move(read);
    return 0;
}

int accept_feed(const ReleaseFeed& feed, const std::string& sha256, std::time_t clock,
                FeedMemory& memory, std::string& why) {
    const std::time_t now = clock > memory.newest_issued ? clock : memory.newest_issued;
    if (now >= feed.expires) {
        why = "The release feed expired at " + outcome::utc_text(feed.expires);
        return -1;
    }
    if (feed.serial < memory.serial) {
        why = "The release feed's serial " + std::to_string(feed.serial) +
              " is older than the serial " + std::to_string(memory.serial) + " seen before";
        return -1;
    }
    if (feed.serial == memory.serial && !same_digest_text(memory.sha256, sha256)) {
        why = "The release feed's serial " + std::to_string(feed.serial) +
              " was seen before with other contents";
        return -1;
    }
    memory.serial = feed.serial;
    memory.sha256 = sha256;
    if (feed.issued > memory.newest_issued) memory.newest_issued = feed.issued;
    return 0;
}

const char* const kFeedMemoryName = "feed-seen.json";

std::string feed_memory_json(const FeedMemory& memory) {
    Json json(cJSON_CreateObject());
    // As a string, as in the feed's own rules a number this size would be exact anyway,
    // but the text says what it is.
    cJSON_AddStringToObject(json.get(), "serial", std::to_string(memory.serial).c_str());
    cJSON_AddStringToObject(json.get(), "sha256", memory.sha256.c_str());
    cJSON_AddStringToObject(json.get(), "newest_issued",
                            outcome::utc_text(memory.newest_issued).c_str());
    char* text = cJSON_Print(json.get());
    std::string result = text != nullptr ? std::string(text) + "\n" : "";
    cJSON_free(text);
    return result;
}

bool parse_feed_memory(const std::string& text, FeedMemory& out) {
    const Json json(cJSON_ParseWithLength(text.data(), text.size()));
    std::string why;
    Members memory(json.get(), "", why);
    std::string serial;
    std::string issued;
    FeedMemory read;
    if (!cJSON_IsObject(json.get()) || !memory.text("serial", serial) ||
        !memory.digest("sha256", 64, read.sha256) || !memory.text("newest_issued", issued) ||
        outcome::parse_utc_text(issued, read.newest_issued) < 0 || serial.empty() ||
        serial.size() > 15 || serial.find_first_not_of("0123456789") != std::string::npos)
        return false;
    read.serial = std::stoll(serial);
    out = read;
    return true;
}

int read_feed_memory(const std::string& path, FeedMemory& out) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(open_file(path, "rb"), &std::fclose);
    if (!file) return 1;
    std::string text(4097, '\0');
    text.resize(std::fread(&text[0], 1, text.size(), file.get()));
    return text.size() < 4097 && parse_feed_memory(text, out) ? 0 : -1;
}

int write_feed_memory(const std::string& path, const FeedMemory& memory) {
    const std::string text = feed_memory_json(memory);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(open_file(path, "wb"), &std::fclose);
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) return -1;
    return std::fflush(file.get()) == 0 ? 0 : -1;
}

int rollout_bucket(const std::string& machine_id, const std::string& product,
                   const std::string& version) {
    Sha256Context context;
    sha256_init(context);
    const std::string parts[] = {"rollout", machine_id, product, version};
    for (const std::string& part : parts)
        sha256_update(context, reinterpret_cast<const unsigned char*>(part.data()), part.size());
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_final(context, digest);
    const unsigned long head = static_cast<unsigned long>(digest[0]) << 24 |
                               static_cast<unsigned long>(digest[1]) << 16 |
                               static_cast<unsigned long>(digest[2]) << 8 | digest[3];
    return static_cast<int>(head % 100);
}

Choice choose_release(const ReleaseFeed& feed, const ChoiceInput& input) {
    const bool installed_known = input.installed.count > 0;
    const auto below = [](const policy::Version& a, const policy::Version& b) {
        return policy::compare_versions(a, b) < 0;
    };
    const FeedRelease* best = nullptr;      // the highest release that reaches this machine
    const FeedRelease* withheld = nullptr;  // the highest one whose rollout does not
    bool best_critical = false;
    for (const FeedRelease& release : feed.releases) {
        if (release.channel > input.channel) continue;
        if (release.min_windows && below(input.windows, *release.min_windows)) continue;
        if (!policy::has_version_prefix(release.version, input.target_prefix)) continue;
        const bool critical = installed_known && release.critical_below &&
                              below(input.installed, *release.critical_below);
        // Without a machine id the machine comes last in every rollout.
        const int bucket = input.machine_id.empty() ? 99
                                                    : rollout_bucket(input.machine_id, feed.product,
                                                                     release.version.text);
        if (!critical && bucket >= release.rollout_percent) {
            if (withheld == nullptr || below(withheld->version, release.version))
                withheld = &release;
            continue;
        }
        if (best == nullptr || below(best->version, release.version) ||
            (critical && policy::compare_versions(best->version, release.version) == 0)) {
            best = &release;
            best_critical = critical;
        }
    }
    Choice choice;
    if (best != nullptr) {
        const int order =
            installed_known ? policy::compare_versions(best->version, input.installed) : 1;
        const bool off_line = !policy::has_version_prefix(input.installed, input.target_prefix);
        if (order > 0 ||
            (order < 0 && input.allow_downgrade && !input.target_prefix.empty() && off_line)) {
            choice.kind = Choice::Kind::kUpdate;
            choice.release = best;
            choice.critical = best_critical;
            return choice;
        }
    }
    if (withheld != nullptr && (!installed_known || below(input.installed, withheld->version)) &&
        (best == nullptr || below(best->version, withheld->version))) {
        choice.kind = Choice::Kind::kDeferred;
        choice.release = withheld;
    }
    return choice;
}

std::string printable_text(const std::string& text, std::size_t limit) {
    std::string out;
    for (const char c : text) {
        if (out.size() >= limit) return out + "...";
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace download
