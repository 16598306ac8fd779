// Helpers shared by the unit tests of both targets.
#pragma once

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "brand.h"
#include "integrity/file_digest.h"

#ifdef _WIN32
#include <io.h>
#define test_dup _dup
#define test_dup2 _dup2
#define test_close _close
#define test_fileno _fileno
#else
#include <unistd.h>
#define test_dup dup
#define test_dup2 dup2
#define test_close close
#define test_fileno fileno
#endif

// A test that cannot run without `what` (a display, a taskbar, a console window, a CPU
// feature, the test servers): a developer's ctest skips it; scripts/test, which sets
// UPDATER_TEST_STRICT, fails it and names what was missing. Returns from the test body or
// SetUp when `available` is false.
#define TEST_REQUIRES(available, what)                          \
    if (available) {                                            \
    } else if (std::getenv("UPDATER_TEST_STRICT") != nullptr)   \
        GTEST_FAIL() << "missing under scripts/test: " << what; \
    else                                                        \
        GTEST_SKIP() << "missing: " << what

namespace test {

// The first argument of the updater's elevated run.
inline const char* const kPhaseMarker = BRAND_PHASE_MARKER;

inline std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Polls `done` every `step_ms` until it holds or `limit_ms` have passed (a bound against
// hangs, not a measurement). Whether it held.
template <typename Condition>
bool wait_until(Condition done, int limit_ms, int step_ms = 100) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
    return true;
}

// Removes `path`, retrying for at most `limit_ms` while another process still holds it.
// The last error: none when the file is gone.
inline std::error_code remove_once_let_go(const std::filesystem::path& path, int limit_ms) {
    std::error_code busy;
    wait_until([&] { return std::filesystem::remove(path, busy) || !busy; }, limit_ms);
    return busy;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file written in text mode, with the line ends as the program wrote them ("\n"): the
// Windows C runtime stores them as "\r\n".
inline std::string read_text_file(const std::filesystem::path& path) {
    std::string text = read_file(path);
#ifdef _WIN32
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    text.swap(lines);
#endif
    return text;
}

// The log in `folder` with time stamps and source lines blanked, so texts compare whole.
inline std::string log_without_stamps(const std::filesystem::path& folder) {
    const std::string text = read_text_file(folder / "update.log");
    const std::regex stamp(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    const std::regex line(R"(\((\d+)\): )");
    return std::regex_replace(std::regex_replace(text, stamp, "$1"), line, "(N): ");
}

// The file's MD5 as upper-case hex text, empty when it cannot be read.
inline std::string md5_of(const std::filesystem::path& path) {
    char md5[33] = {0};
    return md5_file_hex(path.string().c_str(), md5) == 32 ? md5 : "";
}

// The lines a terminal shows for `output`: "\r" returns to the line's start, later
// characters overwrite earlier ones; trailing blanks are dropped.
inline std::vector<std::string> screen(const std::string& output) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (char c : output) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
    }
    for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder under the system's temporary folder, made the working folder for the
// object's lifetime and removed afterwards.
class ScopedWorkDir {
public:
    ScopedWorkDir() : previous_(std::filesystem::current_path()) {
        std::random_device seed;
        path_ = std::filesystem::temp_directory_path() /
                ("updater-test-" + std::to_string(seed()) + std::to_string(seed()));
        std::filesystem::create_directories(path_);
        std::filesystem::current_path(path_);
    }
    ~ScopedWorkDir() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Sends the C runtime's standard output to `target` (a file opened with `mode`) until
// restore() or destruction; what was written is then in the file.
class StdoutRedirect {
public:
    StdoutRedirect(const std::filesystem::path& target, const char* mode) {
        std::fflush(stdout);
        saved_ = test_dup(test_fileno(stdout));
        file_ = std::fopen(target.string().c_str(), mode);
        if (file_ != nullptr) test_dup2(test_fileno(file_), test_fileno(stdout));
    }
    ~StdoutRedirect() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        std::clearerr(stdout);
        test_dup2(saved_, test_fileno(stdout));
        test_close(saved_);
        saved_ = -1;
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
    }
    bool ok() const { return file_ != nullptr && saved_ >= 0; }

private:
    int saved_ = -1;
    FILE* file_ = nullptr;
};

}  // namespace test
