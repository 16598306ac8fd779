// Reading what the updater wrote: its log, line by line, and its status lines.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace test {

// The lines of a text, without their "\n"; a last line without one is left out.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// How many lines of `log` hold `part`.
inline size_t count_lines(const std::string& log, const std::string& part) {
    size_t count = 0;
    for (const std::string& line : lines_of(log))
        if (line.find(part) != std::string::npos) ++count;
    return count;
}

// The text notices ("1, ...;") of a stream of status lines, in order, with what differs
// from run to run fixed: a wait's seconds read "Waiting N s", the time a server asked to
// be asked again "<time>". Everything else must be a well-formed progress record with no
// more bytes received than expected; a test fails otherwise.
inline std::vector<std::string> notices_of(const std::string& out) {
    static const std::regex record(R"(0, (\d+)\.000000, (\d+)\.000000;)");
    static const std::regex wait(R"(^1, Waiting \d+ s )");
    static const std::regex time(R"(retry after \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\.)");
    std::vector<std::string> notices;
    size_t pos = 0;
    while (pos < out.size()) {
        if (out.compare(pos, 3, "1, ") == 0) {
            const size_t end = out.find(';', pos);
            const std::string notice =
                out.substr(pos, end == std::string::npos ? end : end + 1 - pos);
            notices.push_back(std::regex_replace(
                std::regex_replace(notice, wait, "1, Waiting N s "), time, "retry after <time>."));
            pos = end == std::string::npos ? out.size() : end + 1;
            continue;
        }
        std::smatch match;
        const std::string rest = out.substr(pos);
        if (!std::regex_search(rest, match, record, std::regex_constants::match_continuous)) {
            ADD_FAILURE() << "not a status line at " << pos << ": " << rest.substr(0, 60);
            break;
        }
        const double total = std::stod(match[1]), received = std::stod(match[2]);
        if (total > 0) {
            EXPECT_LE(received, total);
        }
        pos += match.length(0);
    }
    return notices;
}

// The notices of `count` failed attempts to fetch `url` into `path`: each failure's two,
// for `cause` (libcurl's text), and the wait before the next of six attempts.
inline std::vector<std::string> failed_attempts(const std::string& cause, const std::string& path,
                                                const std::string& url, int count = 6) {
    std::vector<std::string> notices;
    for (int attempt = 1; attempt <= count; ++attempt) {
        notices.push_back("1, Failed to download file for " + cause + ".;");
        notices.push_back("1, Failed to download " + path + " from " + url + ".;");
        if (attempt < 6)
            notices.push_back("1, Waiting N s before attempt " + std::to_string(attempt + 1) +
                              " of 6.;");
    }
    return notices;
}

}  // namespace test
