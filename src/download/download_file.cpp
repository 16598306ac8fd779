#include "download/download_file.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "download/http_client.h"
#include "frontend/notice.h"
#include "frontend/pipe.h"
#include "log/log.h"
#include "utils/text.h"

const char* const kUpgradePipeName = "\\\\.\\pipe\\CorvaneHUBRAUpgradePipe";

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

}  // namespace

int download_file(const std::string& url, const std::string& path, bool resume,
                  const std::string* proxy, const std::vector<std::string>* hosts,
                  DownloadAnswer* answer) {
    Pipe pipe(kUpgradePipeName, true, kPipeBufferSize);
    if (pipe.open() < 0) {
        LOG_WARN("download_file", "Failed to create\\connect to pipe.\n");
        return -1;
    }
    if (pipe.run() < 0) {
        LOG_WARN("download_file", "Failed to run pipe.\n");
        return -1;
    }

    FrontendNotice notice{};
    const std::ios::openmode mode = resume ? std::ios::binary | std::ios::app | std::ios::ate
                                           : std::ios::binary | std::ios::trunc;
#ifdef _WIN32
    // The path is the program's UTF-8 text: opened through the wide call (libstdc++'s
    // _wfopen overload), never through the ANSI code page.
    std::ofstream out(widen(path).c_str(), mode);
#else
    std::ofstream out(path, mode);
#endif
    if (!out.is_open()) {
        LOG_WARN("download_file", "Failed to open file(%s).\n", path.c_str());
        notify_frontend_text(notice, "Failed to open file %s.", path.c_str());
        pipe.stop();
        return -1;
    }

    ProgressContext context{&pipe, 0.0};
    bool failed = false;
    {
        HttpClient client;
        if (proxy != nullptr) client.use_proxy(*proxy);
        if (hosts != nullptr) client.allow_hosts(*hosts);
        const int64_t resume_from = static_cast<int64_t>(out.tellp());
        const int result = client.download(url, &out, resume_from, progress_callback, &context);
        if (answer != nullptr)
            *answer = DownloadAnswer{client.last_status(), client.last_retry_after(),
                                     client.last_over_https()};
        if (result != 0) {
            REPORT_FAILURE(notice, "download_file", "Failed to download file for %s",
                           curl_easy_strerror(static_cast<CURLcode>(result)));
            failed = true;
        }
    }
    // The last buffered bytes reach the disk only now; a file that could not take them
    // is as broken as a transfer cut short.
    out.close();
    if (!failed && out.fail()) {
        REPORT_FAILURE(notice, "download_file", "Failed to download file for %s",
                       curl_easy_strerror(CURLE_WRITE_ERROR));
        failed = true;
    }
    pipe.stop();
    return failed ? -1 : 0;
}
