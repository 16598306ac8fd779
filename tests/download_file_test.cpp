#include "download/download_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include "frontend/pipe.h"
#include "log/log.h"
#include "test_servers.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct Record {
    double total;
    double received;
};

// Parses a stream of progress records; fails the test on anything else.
std::vector<Record> records_of(const std::string& out) {
    static const std::regex record(R"(0, (\d+)\.000000, (\d+)\.000000;)");
    std::vector<Record> records;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), record);
         it != std::sregex_iterator(); ++it)
        records.push_back({std::stod((*it)[1]), std::stod((*it)[2])});
    std::string rest = std::regex_replace(out, record, "");
    EXPECT_EQ(rest, "") << "not progress records";
    return records;
}

class DownloadFile : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_REQUIRES(servers_.load(), "the http_servers fixture");
        ASSERT_EQ(log_open(), 0);
        body_ = servers_.bytes("small.bin");
    }

    // Runs download_file with standard output captured in out_.
    int download(const std::string& url, const fs::path& path, bool resume) {
        test::StdoutRedirect redirect(dir_.path() / "stdout.txt", "wb");
        EXPECT_TRUE(redirect.ok());
        answer_ = DownloadAnswer();
        const int result = download_file(url, path.string(), resume, DownloadOptions(), &answer_);
        redirect.restore();
        out_ = test::read_file(dir_.path() / "stdout.txt");
        return result;
    }

    // Downloads `url` with a front end on the pipe, which connects as soon as the pipe
    // exists and reads until it goes away; its messages go to `messages`.
    int download_watching_the_pipe(const std::string& url, const fs::path& path,
                                   std::vector<std::string>& messages) {
        std::atomic<bool> done{false};
        std::thread front_end([&] {
            Pipe client(kUpgradePipeName, false);
            while (!done && client.open() != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::string message;
            while (client.receive(message, 5000) >= 0) messages.push_back(message);
        });
        const int result = download(url, path, false);
        done = true;
        front_end.join();
        return result;
    }

    std::string log_text() { return test::read_text_file(dir_.path() / "update.log"); }

    test::ScopedWorkDir dir_;
    test::Servers servers_;
    std::string body_;
    std::string out_;
    DownloadAnswer answer_;
};

TEST_F(DownloadFile, OpenModesAndResumeOffset) {
    struct Case {
        const char* name;
        bool resume;
        std::string before;  // the file's content before, "-" for no file
        std::string after;
        bool validated;  // nginx's ETag names the bytes after
    } cases[] = {
        {"resume without a file", true, "-", body_, true},
        // Bytes of unknown origin continued: the digest decides, no validator holds.
        {"resume a partial file", true, std::string(5000, 'x'),
         std::string(5000, 'x') + body_.substr(5000), false},
        {"fresh over a longer file", false, std::string(100000, 'y'), body_, true},
        {"fresh without a file", false, "-", body_, true},
    };
    for (const Case& c : cases) {
        const fs::path path = dir_.path() / "installer.exe";
        fs::remove(path);
        if (c.before != "-") test::write_file(path, c.before);
        EXPECT_EQ(download(servers_.url("http", "/small.bin"), path, c.resume), 0) << c.name;
        EXPECT_TRUE(test::read_file(path) == c.after) << c.name;
        // The digests of the whole file, its earlier bytes too, taken on the way.
        EXPECT_EQ(answer_.md5, test::md5_of(path)) << c.name;
        EXPECT_EQ(answer_.sha256.size(), 64u) << c.name;
        EXPECT_EQ(answer_.validator.empty(), !c.validated) << c.name;
        const auto records = records_of(out_);
        ASSERT_FALSE(records.empty()) << c.name;
        // The last record shows the finished transfer: the bytes of this request.
        const double requested = static_cast<double>(
            c.after.size() - (c.resume && c.before != "-" ? c.before.size() : 0));
        EXPECT_EQ(records.back().total, requested) << c.name;
        EXPECT_EQ(records.back().received, requested) << c.name;
    }
}

TEST_F(DownloadFile, AFolderThatDoesNotExist) {
    const fs::path path = dir_.path() / "missing" / "installer.exe";
    EXPECT_EQ(download(servers_.url("http", "/small.bin"), path, true), -1);
    EXPECT_EQ(out_, "1, Failed to open file " + path.string() + ".;");
    EXPECT_NE(log_text().find("download_file("), std::string::npos);
    EXPECT_NE(log_text().find("): Failed to open file(" + path.string() + ").\n"),
              std::string::npos)
        << log_text();
}

TEST_F(DownloadFile, AFailedTransferKeepsItsBytesAndSaysWhy) {
    const fs::path path = dir_.path() / "installer.exe";
    EXPECT_EQ(download(servers_.url("fault", "/cut/small.bin"), path, false), -1);
    EXPECT_TRUE(test::read_file(path) == body_.substr(0, body_.size() / 2));
    const std::string notice = "1, Failed to download file for Transferred a partial file.;";
    ASSERT_GE(out_.size(), notice.size());
    EXPECT_EQ(out_.substr(out_.size() - notice.size()), notice);
    records_of(out_.substr(0, out_.size() - notice.size()));
    EXPECT_NE(log_text().find("): Failed to download file for Transferred a partial file\n"),
              std::string::npos)
        << log_text();
}

TEST_F(DownloadFile, StandardOutputGetsAThousandthStepsOfALargeBody) {
    const fs::path path = dir_.path() / "installer.exe";
    EXPECT_EQ(download(servers_.url("http", "/large.bin"), path, false), 0);
    const auto records = records_of(out_);
    const double size = 10 * 1024 * 1024;
    ASSERT_GE(records.size(), 2u);
    EXPECT_LE(records.size(), 1010u);
    double last_fraction = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        if (r.total == 0) {
            EXPECT_EQ(r.received, 0) << i;
            continue;
        }
        EXPECT_EQ(r.total, size) << i;
        const double fraction = r.received / r.total;
        // Each record moved on by more than a thousandth, or finished the transfer.
        EXPECT_TRUE(fraction - last_fraction > 0.001 || r.received == r.total) << i;
        EXPECT_GE(fraction, last_fraction) << i;
        last_fraction = fraction;
    }
    EXPECT_EQ(records.back().received, size);
    EXPECT_EQ(records.back().total, size);
}

TEST_F(DownloadFile, StandardOutputThinsThePipesEveryCallbackToThousandthSteps) {
    const fs::path path = dir_.path() / "installer.exe";
    // The pipe drops a client that has taken no message for a second, and a loaded machine
    // can hold this test's reading thread that long: the pipe's messages then end early and
    // tell nothing of the rest. Such a run is tried again, twice at most.
    std::vector<Record> callbacks;
    for (int run = 0; run < 3; ++run) {
        std::vector<std::string> messages;
        fs::remove(path);
        ASSERT_EQ(
            download_watching_the_pipe(servers_.url("fault", "/steady/large.bin"), path, messages),
            0);
        callbacks.clear();
        for (const std::string& m : messages) callbacks.push_back(records_of(m).at(0));
        if (!callbacks.empty() && callbacks.back().received == 10 * 1024 * 1024) break;
    }
    ASSERT_EQ(callbacks.back().received, 10 * 1024 * 1024) << "the pipe's client was dropped";
    const std::vector<Record> records = records_of(out_);
    // The pipe is not thinned: it has every callback, also the ones within a thousandth of
    // the one before, from before the first byte to the last.
    ASSERT_GT(callbacks.size(), records.size() + 100);
    EXPECT_EQ(callbacks.front().received, 0);
    // Each record moved on by at least a thousandth, unless its two counts are equal; and
    // no callback that moved on by more than a thousandth since the last record went
    // unrecorded. Before the first byte both sides may differ (the pipe's client connects
    // late), so both are compared from there.
    std::vector<double> expected;
    double last = 0;
    for (const Record& c : callbacks) {
        const double fraction = c.total > 0 ? c.received / c.total : 0;
        if (fraction - last > 0.001 || c.received == c.total) {
            if (c.received > 0) expected.push_back(c.received);
            last = fraction;
        }
    }
    std::vector<double> recorded;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].received == 0) continue;
        recorded.push_back(records[i].received);
        if (records[i].received == records[i].total) continue;
        const double previous = recorded.size() > 1 ? recorded[recorded.size() - 2] : 0;
        EXPECT_GE(records[i].received - previous, records[i].total / 1000) << i;
    }
    EXPECT_EQ(recorded, expected);
    EXPECT_EQ(recorded.back(), 10 * 1024 * 1024);
}

TEST_F(DownloadFile, WithoutALengthOnlyThePipeSeesTheProgress) {
    std::vector<std::string> messages;
    const fs::path path = dir_.path() / "installer.exe";
    const int result =
        download_watching_the_pipe(servers_.url("fault", "/paced/small.bin"), path, messages);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(test::read_file(path) == body_);
    // Standard output: only the records from before the first byte.
    for (const Record& r : records_of(out_)) {
        EXPECT_EQ(r.total, 0);
        EXPECT_EQ(r.received, 0);
    }
    // The pipe: every callback, the last one with all bytes.
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "0, 0.000000, 65536.000000;");
    size_t with_bytes = 0;
    for (const std::string& m : messages) {
        EXPECT_EQ(records_of(m).size(), 1u) << m;
        if (m != "0, 0.000000, 0.000000;") ++with_bytes;
    }
    EXPECT_GE(with_bytes, 8u);
}

}  // namespace

// A file-size limit is the one full disk that can be made on demand, and only where the
// process limits of POSIX exist.
#ifndef _WIN32

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace {

// In a child process limited to `limit` bytes per file, fetches `url` into `path` with
// standard output in `out_path`. Returns download_file's result, or 99 when the child
// did not end normally.
int download_with_file_size_limit(const std::string& url, const std::filesystem::path& path,
                                  const std::filesystem::path& out_path, rlim_t limit) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // Without the signal ignored the first refused write would end the child.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(98);
        test::StdoutRedirect redirect(out_path, "wb");
        const int result = download_file(url, path.string(), false);
        redirect.restore();
        std::fflush(nullptr);
        _exit(result == -1 ? 1 : result == 0 ? 0 : 97);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 99;
    return WEXITSTATUS(status) == 1 ? -1 : WEXITSTATUS(status);
}

TEST_F(DownloadFile, AFullDiskEndsTheTransferAsAWriteError) {
    // The progress records of a 10 MiB body (a few tens of KiB) and the log stay below
    // the limit; the installer does not.
    const rlim_t limit = 1024 * 1024;
    const fs::path path = dir_.path() / "installer.exe";
    const fs::path out_path = dir_.path() / "stdout.txt";
    EXPECT_EQ(
        download_with_file_size_limit(servers_.url("http", "/large.bin"), path, out_path, limit),
        -1);
    const std::string out = test::read_file(out_path);
    const std::string notice =
        "1, Failed to download file for Failed writing received data to disk/application.;";
    ASSERT_GE(out.size(), notice.size()) << out;
    EXPECT_EQ(out.substr(out.size() - notice.size()), notice);
    records_of(out.substr(0, out.size() - notice.size()));
    EXPECT_NE(log_text().find("): Failed to download file for Failed writing received data to "
                              "disk/application\n"),
              std::string::npos)
        << log_text();
    const auto size = fs::file_size(path);
    EXPECT_GT(size, 0u);
    EXPECT_LE(size, limit);
    // What did reach the disk is the start of the body.
    const std::string large = servers_.bytes("large.bin");
    EXPECT_TRUE(test::read_file(path) == large.substr(0, size));
}

}  // namespace

#endif  // _WIN32
