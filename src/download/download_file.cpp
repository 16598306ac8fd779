#include "download/download_file.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "brand.h"
#include "download/http_client.h"
#include "frontend/notice.h"
#include "frontend/pipe.h"
#include "integrity/file_digest.h"
#include "log/log.h"
#include "utils/text.h"

const char* const kUpgradePipeName = "\\\\.\\pipe\\" BRAND_PIPE_NAME;

namespace {

constexpr uint32_t kPipeBufferSize = 1024;

// Standard output gets a record when the completed fraction moved by more than this...
const double kFractionStep = static_cast<double>(0.001f);
// ...or when the two byte counts are equal (no size yet, or the last byte arrived).
const double kSameCount = static_cast<double>(0.0001f);

struct ProgressContext {
    Pipe* pipe;
    double last_fraction;
};

int progress_callback(void* data, double total, double received, double, double) {
    ProgressContext& context = *static_cast<ProgressContext*>(data);
    char message[1024] = {0};
    std::snprintf(message, sizeof message, "%d, %f, %f;", 0, total, received);
    if (!context.pipe->send(message, static_cast<uint32_t>(std::strlen(message))))
        LOG_DEBUG("download_file::progress_callback", "Failed to write data to pipe.\n");

    const double fraction = std::fabs(total) > 0 ? received / total : 0;
    LOG_DEBUG("download_file::progress_callback", "download progress: %f - %f, percent %f\n",
              received, total, fraction);
    if (std::fabs(fraction - context.last_fraction) > kFractionStep ||
        std::fabs(total - received) <= kSameCount) {
        try_notify_to_frontend(make_progress_notice(total, received));
        context.last_fraction = fraction;
    }
    return 0;
}

// The installer file as a body sink: every byte is digested on its way to the disk.
class DigestingFile : public BodySink {
public:
    explicit DigestingFile(const std::string& path) : path_(path) {}

    // Opens the file: continued from its end when `resume`, its bytes digested first (a
    // file that cannot be read back is emptied instead), emptied otherwise. false when it
    // cannot be opened.
    bool open(bool resume) {
        digests_.restart();
        const bool continued = resume && digests_.add_file(path_.c_str()) == 0;
        return reopen(continued);
    }
    int64_t size() { return static_cast<int64_t>(out_.tellp()); }

    bool write(const char* data, size_t size) override {
        out_.write(data, static_cast<std::streamsize>(size));
        if (!out_.good()) return false;
        digests_.add(data, size);
        return true;
    }
    bool start_again() override {
        out_.close();
        digests_.restart();
        return reopen(false);
    }
    // Writes the last buffered bytes. false when the file could not take them.
    bool close() {
        out_.close();
        return !out_.fail();
    }
    void texts(std::string& md5, std::string& sha256) const {
        char md5_text[33] = {0};
        char sha256_text[65] = {0};
        digests_.texts(md5_text, sha256_text);
        md5 = md5_text;
        sha256 = sha256_text;
    }

private:
    bool reopen(bool continued) {
        const std::ios::openmode mode = continued ? std::ios::binary | std::ios::app | std::ios::ate
                                                  : std::ios::binary | std::ios::trunc;
#ifdef _WIN32
        // The path is the program's UTF-8 text: opened through the wide call (libstdc++'s
        // _wfopen overload), never through the ANSI code page.
        out_.open(widen(path_).c_str(), mode);
#else
        out_.open(path_, mode);
#endif
        return out_.is_open();
    }

    std::string path_;
    std::ofstream out_;
    RunningDigests digests_;
};

// What names the bytes now in the file, after a transfer that began at `resume_from`.
std::string validator_of_file(const HttpClient& client, int64_t resume_from,
                              const std::string& if_range) {
    // Bytes from the body's start are the answer's own; a range under If-Range continued
    // bytes of that version (or nothing came, and the file is as it was).
    if (resume_from == 0 || client.last_body_from_start()) return client.last_validator();
    return if_range;
}

}  // namespace

std::unique_ptr<Pipe> open_upgrade_pipe() {
    auto pipe = std::make_unique<Pipe>(kUpgradePipeName, true, kPipeBufferSize);
    if (pipe->open() < 0) {
        LOG_WARN("download_file", "Failed to create\\connect to pipe.\n");
        return nullptr;
    }
    if (pipe->run() < 0) {
        LOG_WARN("download_file", "Failed to run pipe.\n");
        return nullptr;
    }
    return pipe;
}

int download_file(const std::string& url, const std::string& path, bool resume,
                  const DownloadOptions& options, DownloadAnswer* answer) {
    std::unique_ptr<Pipe> own_pipe;
    if (options.pipe == nullptr) {
        own_pipe = open_upgrade_pipe();
        if (!own_pipe) return -1;
    }
    Pipe& pipe = options.pipe != nullptr ? *options.pipe : *own_pipe;

    FrontendNotice notice{};
    DigestingFile file(path);
    if (!file.open(resume)) {
        LOG_WARN("download_file", "Failed to open file(%s).\n", path.c_str());
        notify_frontend_text(notice, "Failed to open file %s.", path.c_str());
        return -1;
    }

    ProgressContext context{&pipe, 0.0};
    bool failed = false;
    {
        HttpClient client;
        if (options.proxy != nullptr) client.use_proxy(*options.proxy);
        if (options.hosts != nullptr) client.allow_hosts(*options.hosts);
        const int64_t resume_from = file.size();
        const int result =
            client.download(url, &file, resume_from, options.if_range, progress_callback, &context);
        if (answer != nullptr) {
            answer->status = client.last_status();
            answer->retry_after = client.last_retry_after();
            answer->over_https = client.last_over_https();
            answer->validator = validator_of_file(client, resume_from, options.if_range);
        }
        if (result != 0) {
            REPORT_FAILURE(notice, "download_file", "Failed to download file for %s",
                           curl_easy_strerror(static_cast<CURLcode>(result)));
            failed = true;
        }
    }
    const long long size = file.size();
    // The last buffered bytes reach the disk only now; a file that could not take them
    // is as broken as a transfer cut short.
    if (!file.close() && !failed) {
        REPORT_FAILURE(notice, "download_file", "Failed to download file for %s",
                       curl_easy_strerror(CURLE_WRITE_ERROR));
        failed = true;
    }
    if (!failed && answer != nullptr) {
        file.texts(answer->md5, answer->sha256);
        answer->size = size;
    }
    return failed ? -1 : 0;
}

namespace {

// A body kept in memory up to a limit.
class TextSink : public BodySink {
public:
    TextSink(std::string& body, std::size_t limit) : body_(body), limit_(limit) {}
    bool write(const char* data, size_t size) override {
        if (size > limit_ - body_.size()) {
            too_long = true;
            return false;
        }
        body_.append(data, size);
        return true;
    }
    bool start_again() override {
        body_.clear();
        return true;
    }

    bool too_long = false;

private:
    std::string& body_;
    std::size_t limit_;
};

// libcurl shows a progress meter of its own on standard error without a function.
int no_progress(void*, double, double, double, double) { return 0; }

}  // namespace

int download_text(const std::string& url, std::size_t limit, const DownloadOptions& options,
                  std::string& body, DownloadAnswer* answer) {
    body.clear();
    TextSink sink(body, limit);
    HttpClient client;
    if (options.proxy != nullptr) client.use_proxy(*options.proxy);
    if (options.hosts != nullptr) client.allow_hosts(*options.hosts);
    const int result = client.download(url, &sink, 0, std::string(), &no_progress, nullptr);
    if (answer != nullptr) {
        answer->status = client.last_status();
        answer->retry_after = client.last_retry_after();
        answer->over_https = client.last_over_https();
    }
    if (sink.too_long) return 1;
    return result == 0 ? 0 : -1;  // the client logged why
}
