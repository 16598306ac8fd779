// One download attempt of the installer into a file, with progress for the front end on
// the upgrade pipe (every callback) and on standard output (thinned out). Main thread.
#pragma once

#include <string>
#include <vector>

// The pipe a front end connects to for progress messages "0, <total>, <received>;".
extern const char* const kUpgradePipeName;

// What the server answered an attempt, for deciding on the next one.
struct DownloadAnswer {
    long status = 0;                       // the final answer's HTTP status; 0 for none
    std::vector<std::string> retry_after;  // its Retry-After header lines, as sent
    bool over_https = false;               // it came over https
};

// Fetches `url` into `path`. With `resume` an existing file is continued from its end,
// otherwise it is emptied first. Returns 0 when the transfer completed, -1 when it failed
// or could not be started (logged, and announced to the front end as a text notice where
// the front end has to know). Bytes received before a failure stay in the file.
// `proxy`, when given, is the proxy of the transfer (HttpClient::use_proxy); without it
// libcurl's environment rules apply. `hosts`, when given and not empty, are the only hosts
// the transfer and its redirects may reach (HttpClient::allow_hosts). `answer`, when
// given, gets what the server answered.
int download_file(const std::string& url, const std::string& path, bool resume,
                  const std::string* proxy = nullptr,
                  const std::vector<std::string>* hosts = nullptr,
                  DownloadAnswer* answer = nullptr);
