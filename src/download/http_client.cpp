#include "download/http_client.h"

#include <cstdio>

#include "log/log.h"
#include "utils/paths.h"

namespace {

const char* const kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/85.0.4183.121 Safari/537.36";
constexpr long kConnectTimeoutSeconds = 20;
constexpr long kMaxRedirects = 5;
constexpr long kFirstErrorStatus = 400;
constexpr long kPartialContent = 206;
constexpr long kRangeNotSatisfiable = 416;
// A validator is sent back as it came; a longer one is not worth a resume.
constexpr size_t kLongestValidator = 1024;
constexpr long kReceiveBufferBytes = 512 * 1024;

bool has_scheme(const char* url, const char* scheme) {
    for (; *scheme != '\0'; ++url, ++scheme) {
        if (*url == '\0' || (*url | 0x20) != *scheme) return false;
    }
    return true;
}

// The host name of `url`, as libcurl reads it; empty when it has none.
std::string host_of(const char* url) {
    std::string host;
    CURLU* parsed = curl_url();
    char* part = nullptr;
    if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
        host = part;
        curl_free(part);
    }
    curl_url_cleanup(parsed);
    return host;
}

bool same_ascii_text(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t at = 0; at < a.size(); ++at) {
        const char x = a[at] >= 'A' && a[at] <= 'Z' ? static_cast<char>(a[at] | 0x20) : a[at];
        const char y = b[at] >= 'A' && b[at] <= 'Z' ? static_cast<char>(b[at] | 0x20) : b[at];
        if (x != y) return false;
    }
    return true;
}

// The value of the header line `line` when it is the header `name` (lower case, with
// its colon), without the blanks around it and the line's end.
bool header_value(const std::string& line, const char* name, std::string& value) {
    const std::string wanted(name);
    if (line.size() < wanted.size() || !same_ascii_text(line.substr(0, wanted.size()), wanted))
        return false;
    const size_t first = line.find_first_not_of(" \t", wanted.size());
    const size_t last = line.find_last_not_of(" \t\r\n");
    value = first == std::string::npos || last < first ? std::string()
                                                       : line.substr(first, last + 1 - first);
    return true;
}

// A stream as a body sink: it cannot take back what it was given.
class StreamSink : public BodySink {
public:
    explicit StreamSink(std::ostream& out) : out_(out) {}
    bool write(const char* data, size_t size) override {
        out_.write(data, static_cast<std::streamsize>(size));
        return out_.good();
    }
    bool start_again() override { return false; }

private:
    std::ostream& out_;
};

}  // namespace

int64_t HttpClient::global_init_count = 0;

bool HttpClient::sendable_validator(const std::string& value) {
    if (value.empty() || value.size() > kLongestValidator) return false;
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

HttpClient::HttpClient(StallLimit stall) {
    if (global_init_count == 0) curl_global_init(CURL_GLOBAL_ALL);
    ++global_init_count;
    easy = curl_easy_init();
    if (easy == nullptr) return;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, stall.bytes_per_second);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stall.seconds);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
    // libcurl's largest receive buffer: one read, write and progress call where its 16 KiB
    // default makes thirty-two, for half a MiB of memory.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    // An installer comes over HTTP(S) only: a file:, ftp: or other URL, given or
    // redirected to, is refused with CURLE_UNSUPPORTED_PROTOCOL.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

HttpClient::~HttpClient() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (headers != nullptr) {
        curl_slist_free_all(headers);
        headers = nullptr;
    }
    if (--global_init_count == 0) curl_global_cleanup();
}

void HttpClient::use_proxy(const std::string& proxy) {
    if (easy == nullptr) return;
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
    // The choice is made: libcurl must not apply no_proxy from the environment again.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    // An empty user name and password stand for the logged-on user's own credentials;
    // credentials in the address take precedence over them.
    if (!proxy.empty() && proxy.find('@') == std::string::npos)
        curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
}

void HttpClient::allow_hosts(const std::vector<std::string>& hosts) { allowed_hosts_ = hosts; }

bool HttpClient::host_allowed(const char* url) {
    if (allowed_hosts_.empty()) return true;
    const std::string host = host_of(url);
    for (const std::string& allowed : allowed_hosts_)
        if (!host.empty() && same_ascii_text(host, allowed)) return true;
    refused_host_ = host.empty() ? utils::redact_credentials(url) : host;
    return false;
}

int HttpClient::refuse_host() const {
    LOG_WARN("HttpClient::download",
             "Refused the host %s: it is not one of the download hosts that the administrator "
             "allows.\n",
             refused_host_.c_str());
    return CURLE_ABORTED_BY_CALLBACK;
}

int HttpClient::check_request_host(void* self, char*, char*, int, int) {
    HttpClient& client = *static_cast<HttpClient*>(self);
    // By now libcurl has made a redirect's target the effective URL.
    const char* url = nullptr;
    curl_easy_getinfo(client.easy, CURLINFO_EFFECTIVE_URL, &url);
    return url != nullptr && client.host_allowed(url) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

void HttpClient::prepare(const std::string& address, WriteTarget& target,
                         const std::string& if_range, HttpProgressCallback progress,
                         void* progress_data) {
    if (!allowed_hosts_.empty()) {
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &HttpClient::check_request_host);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    }
    curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
    // What began over https never goes on in clear text: a redirect to http fails the
    // transfer, as one to file: does.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     has_scheme(address.c_str(), "https://") ? "https" : "http,https");
    // A range of our own rather than libcurl's resume, which fails the transfer on a whole
    // body; here a whole body replaces what the sink holds (place_body).
    const std::string range = std::to_string(target.resume_from) + "-";
    curl_easy_setopt(easy, CURLOPT_RANGE, target.resume_from > 0 ? range.c_str() : nullptr);
    if (headers != nullptr) curl_slist_free_all(headers);
    headers = nullptr;
    if (target.resume_from > 0 && !if_range.empty())
        headers = curl_slist_append(nullptr, ("If-Range: " + if_range).c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_PROGRESSFUNCTION, progress);
    curl_easy_setopt(easy, CURLOPT_PROGRESSDATA, progress_data);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, target.sink != nullptr ? &target : nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpClient::write_callback);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpClient::header_callback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
}

size_t HttpClient::header_callback(char* data, size_t size, size_t count, void* self) {
    HttpClient& client = *static_cast<HttpClient*>(self);
    const size_t bytes = size * count;
    const std::string line(data, bytes);
    std::string value;
    // Every answer, a redirect's or a proxy's included, starts with its status line: only
    // the last one's header lines count.
    if (line.compare(0, 5, "HTTP/") == 0) {
        client.last_retry_after_.clear();
        client.etag_.clear();
        client.last_modified_.clear();
        client.range_start_ = -1;
    } else if (header_value(line, "retry-after:", value)) {
        client.last_retry_after_.push_back(value);
    } else if (header_value(line, "etag:", value)) {
        client.etag_ = value;
    } else if (header_value(line, "last-modified:", value)) {
        client.last_modified_ = value;
    } else if (header_value(line, "content-range:", value)) {
        long long first = -1;
        if (std::sscanf(value.c_str(), "bytes %lld-", &first) == 1 && first >= 0)
            client.range_start_ = first;
    }
    return bytes;
}

bool HttpClient::place_body(WriteTarget& target) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    const int64_t asked = target.resume_from > 0 ? target.resume_from : 0;
    if (status == kPartialContent) {
        if (range_start_ == asked) {
            last_body_from_start_ = asked == 0;
            return true;
        }
        LOG_WARN("HttpClient::download",
                 "The server sent the body from byte %lld where byte %lld was asked for.\n",
                 static_cast<long long>(range_start_), static_cast<long long>(asked));
        range_refused_ = true;
        return false;
    }
    last_body_from_start_ = true;
    if (asked == 0) return true;
    // The file changed since the bytes the sink holds, or the server ignores ranges.
    if (!target.sink->start_again()) {
        range_refused_ = true;
        return false;
    }
    LOG_INFO("HttpClient::download",
             "The server sent the whole body where byte %lld on was asked for: it starts "
             "again.\n",
             static_cast<long long>(asked));
    return true;
}

int HttpClient::download(const std::string& url, std::ostream* out, int64_t resume_from,
                         HttpProgressCallback progress, void* progress_data) {
    if (out == nullptr)
        return download(url, static_cast<BodySink*>(nullptr), resume_from, std::string(), progress,
                        progress_data);
    StreamSink sink(*out);
    return download(url, &sink, resume_from, std::string(), progress, progress_data);
}

int HttpClient::download(const std::string& url, BodySink* sink, int64_t resume_from,
                         const std::string& if_range, HttpProgressCallback progress,
                         void* progress_data) {
    const std::string address = url;
    if (easy == nullptr) return -1;

    refused_host_.clear();
    last_validator_.clear();
    last_body_from_start_ = false;
    range_refused_ = false;
    // No connection at all to a host that is not allowed; a redirect's host is known only
    // once the answer has come, and is checked before its request goes out.
    if (!host_allowed(address.c_str())) return refuse_host();
    WriteTarget target{this, sink, resume_from, false};
    prepare(address, target, if_range, progress, progress_data);

    last_retry_after_.clear();
    const CURLcode code = curl_easy_perform(easy);
    record_answer();
    // A whole body that was empty never reached the sink.
    if (code == CURLE_OK && sink != nullptr && resume_from > 0 && !target.body_seen &&
        last_status_ == 200 && !place_body(target))
        return CURLE_RANGE_ERROR;
    return judge(code, address, target);
}

int HttpClient::judge(CURLcode code, const std::string& address, const WriteTarget& target) {
    // An error answer is a failed transfer whatever else libcurl made of it (the write
    // callback refused its body). A 416 to a resumed request means the file is whole
    // already: the digest check judges it.
    if (last_status_ >= kFirstErrorStatus) {
        if (target.resume_from > 0 && last_status_ == kRangeNotSatisfiable) return 0;
        code = CURLE_HTTP_RETURNED_ERROR;
    }
    if (code == CURLE_WRITE_ERROR && range_refused_) code = CURLE_RANGE_ERROR;
    if (code == CURLE_ABORTED_BY_CALLBACK && !refused_host_.empty()) return refuse_host();
    if (code == CURLE_UNSUPPORTED_PROTOCOL && has_scheme(address.c_str(), "https://")) {
        // Having followed the redirect, libcurl reports its target as the address.
        const char* target_url = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &target_url);
        if (target_url != nullptr && has_scheme(target_url, "http://")) {
            LOG_WARN("HttpClient::download",
                     "Refused the redirect from %s to %s: a download over https does not go "
                     "on over http.\n",
                     utils::redact_credentials(address).c_str(),
                     utils::redact_credentials(target_url).c_str());
            return code;
        }
    }
    if (code != CURLE_OK) {
        LOG_WARN("HttpClient::download", "Failed to perform the HTTP request for %d\n",
                 static_cast<int>(code));
        return code;
    }
    return 0;
}

void HttpClient::record_answer() {
    last_status_ = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &last_status_);
    const char* scheme = nullptr;
    last_over_https_ = curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme) == CURLE_OK &&
                       scheme != nullptr && same_ascii_text(scheme, "https");
    // An error answer names no body of ours; a weak ETag may not ask for a range (RFC
    // 9110, 13.1.5).
    if (last_status_ >= kFirstErrorStatus)
        last_validator_.clear();
    else if (etag_.compare(0, 2, "W/") != 0 && sendable_validator(etag_))
        last_validator_ = etag_;
    else if (sendable_validator(last_modified_))
        last_validator_ = last_modified_;
}

size_t HttpClient::write_callback(char* data, size_t size, size_t count, void* target_data) {
    if (target_data == nullptr) return 0;
    WriteTarget& target = *static_cast<WriteTarget*>(target_data);
    // The status line is known before the first body byte. An error page must not end up
    // in the installer file; a redirect's body never reaches this callback.
    long status = 0;
    curl_easy_getinfo(target.client->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= kFirstErrorStatus) return 0;
    if (!target.body_seen) {
        if (!target.client->place_body(target)) return 0;
        target.body_seen = true;
    }
    const size_t bytes = size * count;
    // A sink that refuses bytes (a full disk) ends the transfer as a write error.
    return target.sink->write(data, bytes) ? bytes : 0;
}
