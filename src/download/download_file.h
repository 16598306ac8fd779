// One download attempt of the installer into a file, with progress for the front end on
// the upgrade pipe (every callback) and on standard output (thinned out). Main thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class Pipe;

// The pipe a front end connects to for progress messages "0, <total>, <received>;".
extern const char* const kUpgradePipeName;

// The upgrade pipe, created and serving: a run that holds it across its attempts keeps a
// front end connected through the waits between them. nullptr when it cannot be created
// (logged).
std::unique_ptr<Pipe> open_upgrade_pipe();

// How an attempt goes out.
struct DownloadOptions {
    // The proxy of the transfer (HttpClient::use_proxy); without one libcurl's environment
    // rules apply.
    const std::string* proxy = nullptr;
    // When not empty, the only hosts the transfer and its redirects may reach
    // (HttpClient::allow_hosts).
    const std::vector<std::string>* hosts = nullptr;
    // Sent as If-Range when a file is continued (HttpClient::download): what named the
    // version of the file's bytes when they came. Empty: the file is continued anyway.
    std::string if_range;
    // The upgrade pipe held by the caller (open_upgrade_pipe); without one the attempt
    // opens its own and closes it at its end.
    Pipe* pipe = nullptr;
};

// What the server answered an attempt, for deciding on the next one.
struct DownloadAnswer {
    long status = 0;                       // the final answer's HTTP status; 0 for none
    std::vector<std::string> retry_after;  // its Retry-After header lines, as sent
    bool over_https = false;               // it came over https
    // What names the version of every byte now in the file, for continuing it later;
    // empty when nothing does (no validator came, or older bytes were continued without).
    std::string validator;
    // The digests of the whole file as upper-case hex, when the transfer completed and
    // every byte of it was digested on the way; empty otherwise.
    std::string md5;
    std::string sha256;
    // The file's size when the transfer completed; -1 otherwise.
    long long size = -1;
};

// Fetches `url` into `path`. With `resume` an existing file is continued from its end,
// its bytes digested first; otherwise it is emptied first. A server that sends the whole
// file instead has it emptied then. Returns 0 when the transfer completed, -1 when it
// failed or could not be started (logged, and announced to the front end as a text notice
// where the front end has to know). Bytes received before a failure stay in the file.
// `answer`, when given, gets what the server answered.
int download_file(const std::string& url, const std::string& path, bool resume,
                  const DownloadOptions& options = DownloadOptions(),
                  DownloadAnswer* answer = nullptr);

// Fetches `url` into `body`, whole (a body is never continued), for a file as small as a
// release feed. 0 or -1, logged, as download_file; 1 when the body is longer than `limit`
// (the transfer ends there: trying again would fetch the same). `answer` as there,
// without digests. Nothing goes to the upgrade pipe or
// to standard output: a check has no progress to show.
int download_text(const std::string& url, std::size_t limit, const DownloadOptions& options,
                  std::string& body, DownloadAnswer* answer = nullptr);
