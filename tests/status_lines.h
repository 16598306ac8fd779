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

// The text notices ("1, ...;") of a stream of status lines, in order. Everything else
// must be a well-formed progress record with no more bytes received than expected; a
// test fails otherwise.
inline std::vector<std::string> notices_of(const std::string& out) {
    static const std::regex record(R"(0, (\d+)\.000000, (\d+)\.000000;)");
    std::vector<std::string> notices;
    size_t pos = 0;
    while (pos < out.size()) {
        if (out.compare(pos, 3, "1, ") == 0) {
            const size_t end = out.find(';', pos);
            notices.push_back(out.substr(pos, end == std::string::npos ? end : end + 1 - pos));
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

}  // namespace test
