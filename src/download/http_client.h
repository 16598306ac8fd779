// One HTTP(S) GET of a URL into an output stream, over one libcurl easy handle with the
// updater's fixed connection, redirect and stall limits. Created, used for one
// download and destroyed on the main thread.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// libcurl's CURLOPT_PROGRESSFUNCTION: client data, download total and now, upload total
// and now (bytes). A non-zero result aborts the transfer.
using HttpProgressCallback = int (*)(void* data, double total, double received, double upload_total,
                                     double upload_received);

// Where a download's body goes.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Takes the next bytes of the body. false refuses them, which ends the transfer as a
    // write error.
    virtual bool write(const char* data, size_t size) = 0;
    // The server sent the whole body where only its end was asked for: everything written
    // so far must go, the body starts again. false when that cannot be done.
    virtual bool start_again() = 0;
};

class HttpClient {
public:
    // How long a transfer may move less than `bytes_per_second` before it is abandoned.
    struct StallLimit {
        long bytes_per_second;
        long seconds;
    };
    // The program's limit: less than 1 byte per second for 300 seconds.
    static constexpr StallLimit kStallLimit = {1, 300};

    // Initialises libcurl for the process when no other client exists. Only tests pass
    // a shorter stall limit.
    explicit HttpClient(StallLimit stall = kStallLimit);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends this client's transfers through `proxy` (as CURLOPT_PROXY takes it; empty:
    // straight to the server), whatever the environment says. libcurl answers the proxy's
    // challenge with the best method it offers: the credentials written in the proxy
    // address (Basic among them), or, when there are none, Negotiate or NTLM as the
    // logged-on user (SSPI's default credentials). HTTPS goes through CONNECT. Without
    // this call libcurl's own environment rules apply.
    void use_proxy(const std::string& proxy);

    // Lets this client's transfers reach only the hosts named in `hosts`, compared without
    // regard to ASCII letter case; an empty list lets them reach any host. The URL's own
    // host is checked before anything is sent, and every redirect's before its request
    // goes out: another host fails the transfer with CURLE_ABORTED_BY_CALLBACK, after a
    // WARN line that names it.
    void allow_hosts(const std::vector<std::string>& hosts);

    // Fetches `url` into `sink`, asking for the body from byte `resume_from` on when it is
    // above 0, and then only if the body still is what `if_range` (an ETag or a date, as
    // last_validator gives it) names, when that is not empty. A server that sends the whole
    // body instead (it changed, or the server ignores ranges) has the sink start again; a
    // range that starts elsewhere fails the transfer with CURLE_RANGE_ERROR. Returns 0 when
    // the transfer completed with a success status; libcurl's code otherwise, logged
    // (CURLE_HTTP_RETURNED_ERROR for a status of 400 or more, when nothing of the error
    // page reaches the sink); -1 without a handle. A 416 answer to a resumed request counts
    // as success: the file is whole already.
    int download(const std::string& url, BodySink* sink, int64_t resume_from,
                 const std::string& if_range, HttpProgressCallback progress, void* progress_data);
    // The same into a stream, which cannot start again: a whole body where a range was
    // asked for fails the transfer with CURLE_RANGE_ERROR.
    int download(const std::string& url, std::ostream* out, int64_t resume_from,
                 HttpProgressCallback progress, void* progress_data);

    // What the last download's final answer said (after redirects): its status (0 when none
    // came), its Retry-After header lines as sent, and whether it came over https.
    long last_status() const { return last_status_; }
    const std::vector<std::string>& last_retry_after() const { return last_retry_after_; }
    bool last_over_https() const { return last_over_https_; }
    // What names the version of the body the last answer sent, for a later `if_range`: its
    // strong ETag, else its Last-Modified date; empty when it sent neither, or only values
    // that cannot be sent back (over 1 KiB, or with control characters).
    const std::string& last_validator() const { return last_validator_; }
    // Whether `value` may go back to a server in If-Range as it came: not empty, at most
    // 1 KiB, no control characters.
    static bool sendable_validator(const std::string& value);
    // Whether the bytes the last download wrote began at the body's first byte.
    bool last_body_from_start() const { return last_body_from_start_; }

    // libcurl's write function: writes to the WriteTarget's sink. Returns 0, which ends the
    // transfer with CURLE_WRITE_ERROR, when there is no sink, when it refuses the bytes,
    // when the answer is an HTTP error, or when its range does not fit.
    static size_t write_callback(char* data, size_t size, size_t count, void* target);

    // Live clients; libcurl's process-wide state exists while it is above 0.
    static int64_t global_init_count;

private:
    // libcurl's CURLOPT_PREREQFUNCTION: refuses the request that is about to go out when
    // its host is not allowed.
    static int check_request_host(void* self, char* primary_ip, char* local_ip, int primary_port,
                                  int local_port);
    // Whether `url`'s host is allowed; when not, it is kept in refused_host_.
    bool host_allowed(const char* url);
    // Logs refused_host_ and gives the transfer's result.
    int refuse_host() const;

    struct WriteTarget {
        HttpClient* client;
        BodySink* sink;
        int64_t resume_from;
        bool body_seen;  // the final answer's first body byte has been taken
    };
    // Decides, before the first body byte is taken, where the body goes: false when the
    // answer's range does not continue the sink's bytes.
    bool place_body(WriteTarget& target);
    // Keeps the final answer's status and scheme.
    void record_answer();
    // libcurl's header function: keeps the Retry-After lines, validators and range of the
    // answer under way.
    static size_t header_callback(char* data, size_t size, size_t count, void* self);
    // Sets the options of one download of `address` into `target`, which must outlive it.
    void prepare(const std::string& address, WriteTarget& target, const std::string& if_range,
                 HttpProgressCallback progress, void* progress_data);
    // libcurl's result and the log lines for a transfer that ended with `code`.
    int judge(CURLcode code, const std::string& address, const WriteTarget& target);

    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::vector<std::string> allowed_hosts_;
    std::string refused_host_;
    long last_status_ = 0;
    std::vector<std::string> last_retry_after_;
    bool last_over_https_ = false;
    std::string etag_;           // of the answer under way, as sent
    std::string last_modified_;  // of the answer under way, as sent
    int64_t range_start_ = -1;   // its Content-Range's first byte; -1 without one
    std::string last_validator_;
    bool last_body_from_start_ = false;
    bool range_refused_ =
        false;  // the answer's range did not fit, or the sink could not start again
};
