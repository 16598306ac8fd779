// The download phase as a process against servers that misbehave: every answer cut short,
// a slow answer, other bytes on every request, a busy server, answers cut short that the
// next attempt continues, and a front end connected through it all.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "download/download_file.h"
#include "frontend/pipe.h"
#include "status_lines.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using test::count_lines;
using test::lines_of;
using test::notices_of;

class DownloadFaults : public test::UpdaterProcessTest {
protected:
    // When the fault server received the requests for `url`'s path, in seconds.
    std::vector<double> request_times(const std::string& url) {
        const std::string path = url.substr(url.find('/', url.find("://") + 3));
        std::vector<double> times;
        for (const std::string& line :
             lines_of(test::read_file(servers_.fixture_file("requests.log")))) {
            const size_t blank = line.find(' ');
            if (blank != std::string::npos && line.substr(blank + 1) == path)
                times.push_back(std::stod(line.substr(0, blank)));
        }
        return times;
    }

    // The body bytes the fault server sent for `url`'s path, in all.
    size_t bytes_sent(const std::string& url) {
        const std::string path = url.substr(url.find('/', url.find("://") + 3));
        size_t sent = 0;
        for (const std::string& line :
             lines_of(test::read_file(servers_.fixture_file("sent.log")))) {
            const size_t blank = line.find(' ');
            if (blank != std::string::npos && line.substr(0, blank) == path)
                sent += std::stoul(line.substr(blank + 1));
        }
        return sent;
    }

    void SetUp() override {
        UpdaterProcessTest::SetUp();
        TEST_REQUIRES(have_servers_, "the http_servers fixture");
    }

    // The build of the updater that runs, by its file name beside the tests.
    void use_updater(const wchar_t* name) {
        fs::copy_file(test::sibling_path(name), updater_, fs::copy_options::overwrite_existing);
    }

    DWORD run(const std::string& url) { return run(url, md5_); }
    DWORD run(const std::string& url, const std::string& digest) {
        test::remove_update_logs(app_);
        return run_download_phase(url, digest);
    }
};

TEST_F(DownloadFaults, AttemptsAndOutcomeOfTheDownloadPhase) {
    const test::FailureWindowCloser closer;
    const std::string body = servers_.bytes("small.bin");
    const std::string path = update_folder_ + "\\small.bin.exe";
    const std::string final_notice = "1, Failed to download file with correct hash(md5/sha1).;";
    const std::string cut_url = servers_.url("fault", "/cut/small.bin");
    const std::string different_url = servers_.url("fault", "/different/small.bin");
    // The fault server counts a busy path's requests for as long as it runs.
    const std::string run_id = std::to_string(GetCurrentProcessId());
    const std::string busy_url = servers_.url("fault", "/busy-2-3-" + run_id + "/small.bin");
    const std::string parked_url = servers_.url("fault", "/busy-1-900-" + run_id + "/small.bin");
    std::vector<std::string> cut_notices =
        test::failed_attempts("Transferred a partial file", path, cut_url);
    cut_notices.push_back(final_notice);
    const auto resumable = [&](const std::string& mode) {
        return servers_.url("fault", "/resume-" + mode + "-" + run_id + "/small.bin");
    };
    // What an earlier run noted beside 5000 bytes of the file: the fault server's ETag.
    const auto note = [&](const std::string& md5) {
        return "{\"md5\": \"" + md5 + "\", \"validator\": \"\\\"" + test::lower(md5_) +
               "\\\"\", \"bytes\": \"5000\"}";
    };
    const auto cut_three_times = [&](const std::string& url) {
        return test::failed_attempts("Transferred a partial file", path, url, 3);
    };
    const auto cut_once = [&](const std::string& url) {
        return test::failed_attempts("Transferred a partial file", path, url, 1);
    };
    // No wait follows: the run ends.
    std::vector<std::string> parked_notices = {
        "1, Failed to download file for HTTP response code said error.;",
        "1, Failed to download " + path + " from " + parked_url + ".;"};
    parked_notices.push_back("1, The server asked to retry after <time>.;");

    enum class Content { kHalf, kWhole, kOtherOfTheSameLength, kNone };
    struct Case {
        const char* name;
        std::string url;
        std::string partial;  // left by an earlier run, "" for none
        DWORD exit_code;
        std::vector<std::string> notices;
        std::vector<std::pair<std::string, size_t>> log_lines;  // part, how many lines
        // The shortest the waits after failed transfers may take, in the build that runs.
        double least_seconds;
        Content content;
        double request_gap;     // the server's log: at least this long between requests
        std::string note = "";  // beside the partial file, "" for none
        double sent = 0;        // the body bytes sent, in files' sizes; 0: not counted
        // The waits lead where they lead whatever their length: the rows that do not time
        // them at full length run the updater that waits a hundredth as long between
        // attempts. The whole schedule is timed by DownloadPhase's unreachable server, and
        // a cut transfer's waits by the row "cut ... under an ETag".
        bool quick_retries = false;
    } cases[] = {
        {"every answer cut short",
         cut_url,
         "",
         0xffffffffu,
         cut_notices,
         {{"): Failed to download file for Transferred a partial file", 6},
          {"): Failed to download " + path + " from " + cut_url, 6},
          {"): file hash:", 0},
          {"): Failed to download file with correct hash(md5/sha1).", 1},
          {"): Waiting ", 5}},
         (1 + 2 + 4 + 8 + 16) / 100.0,
         Content::kHalf,
         0,
         "",
         0,
         true},
        {"a slow server",
         servers_.url("http", "/slow/small.bin"),
         "",
         0u,
         {},
         {{"): Failed to download", 0}, {"): file hash:" + path + " ", 1}, {" not match", 0}},
         0,
         Content::kWhole,
         0},
        // The server's wait is followed, however short the back-off would be.
        {"busy twice, asking for 3 s",
         busy_url,
         "",
         0u,
         test::failed_attempts("HTTP response code said error", path, busy_url, 2),
         {{"): Waiting ", 2}, {"): file hash:" + path + " ", 1}},
         6,
         Content::kWhole,
         3},
        // Attempt 1 continues the right start of the file, attempts 2 to 6 fetch afresh;
        // none of them gets the bytes the digest names.
        {"other bytes on every request",
         different_url,
         body.substr(0, 5000),
         0xffffffffu,
         {final_notice},
         {{"): file hash:" + path + " " + md5_ + " ", 6},
          {" not match", 6},
          {"): Failed to download " + path, 0},
          {"): Failed to download file with correct hash(md5/sha1).", 1}},
         0,
         Content::kOtherOfTheSameLength,
         0,
         "",
         0,
         true},
        // A transfer cut short is continued under the file's validator: no byte comes
        // twice. Without one that may be sent back (a weak ETag), each attempt starts
        // afresh.
        {"cut at 30, 60 and 90 % under an ETag",
         resumable("cuts"),
         "",
         0u,
         cut_three_times(resumable("cuts")),
         {{"): Waiting ", 3}, {" not match", 0}, {"): file hash:" + path + " ", 1}},
         1 + 2 + 4,
         Content::kWhole,
         0,
         "",
         1.0},
        {"cut at 30, 60 and 90 % under a date",
         resumable("dated"),
         "",
         0u,
         cut_three_times(resumable("dated")),
         {{" not match", 0}, {"starts again", 0}},
         0,
         Content::kWhole,
         0,
         "",
         1.0,
         true},
        {"cut at 30, 60 and 90 % under a weak ETag",
         resumable("weak"),
         "",
         0u,
         cut_three_times(resumable("weak")),
         {{" not match", 0}},
         0,
         Content::kWhole,
         0,
         "",
         0.3 + 0.6 + 0.9 + 1,
         true},
        // A changed file, or a server that ignores ranges, sends the whole file: it
        // replaces the bytes before, never adds to them.
        {"the file changed after the first cut",
         resumable("changed"),
         "",
         0u,
         cut_once(resumable("changed")),
         {{"): The server sent the whole body where byte 32768 on was asked for", 1},
          {" not match", 0}},
         0,
         Content::kWhole,
         0,
         "",
         1.5,
         true},
        {"a server that ignores ranges",
         resumable("norange"),
         "",
         0u,
         cut_once(resumable("norange")),
         {{"starts again", 1}, {" not match", 0}},
         0,
         Content::kWhole,
         0,
         "",
         1.5,
         true},
        // An earlier run's file is continued under the validator it noted; a note for
        // another installer has it fetched afresh.
        {"an earlier run's file under its note",
         resumable("cuts-noted"),
         body.substr(0, 5000),
         0u,
         cut_three_times(resumable("cuts-noted")),
         {{" not match", 0}, {"starts again", 0}},
         0,
         Content::kWhole,
         0,
         note(test::lower(md5_)),
         (body.size() - 5000.0) / body.size(),
         true},
        {"an earlier run's file under another installer's note",
         resumable("cuts-other"),
         body.substr(0, 5000),
         0u,
         cut_three_times(resumable("cuts-other")),
         {{"): The note beside " + path + " is not for it: the file is fetched afresh.", 1},
          {" not match", 0}},
         0,
         Content::kWhole,
         0,
         note("00000000000000000000000000000000"),
         1.0,
         true},
        // A longer wait ends the run at once; no later run asks before the time (last: the
        // record it leaves is checked below).
        {"asking for 900 s",
         parked_url,
         "",
         0xffffffffu,
         parked_notices,
         {{"): The server asked to retry after ", 1}, {"): Waiting ", 0}},
         0,
         Content::kNone,
         0},
    };
    for (const Case& c : cases) {
        use_updater(c.quick_retries ? L"updater-quick-retries.exe" : L"updater.exe");
        fs::remove_all(update_folder_);
        if (!c.partial.empty()) {
            fs::create_directories(update_folder_);
            test::write_file(path, c.partial);
        }
        if (!c.note.empty()) test::write_file(path + ".partial.json", c.note);
        EXPECT_EQ(run(c.url), c.exit_code) << c.name;
        const std::string text = log();
        EXPECT_EQ(notices_of(out_), c.notices) << c.name << "\n" << out_;
        for (const auto& line : c.log_lines)
            EXPECT_EQ(count_lines(text, line.first), line.second)
                << c.name << ": " << line.first << "\n"
                << text;
        // A failed transfer is followed by a wait, which no other path takes.
        EXPECT_GE(seconds_, c.least_seconds) << c.name;
        if (c.request_gap > 0) {
            const std::vector<double> times = request_times(c.url);
            EXPECT_EQ(times.size(), 3u) << c.name;
            for (size_t at = 1; at < times.size(); ++at)
                EXPECT_GE(times[at] - times[at - 1], c.request_gap) << c.name;
        }
        if (c.sent > 0) {
            EXPECT_NEAR(static_cast<double>(bytes_sent(c.url)) / body.size(), c.sent, 0.01)
                << c.name;
        }
        // A note stays only beside a file that a later run may continue.
        EXPECT_FALSE(fs::exists(path + ".partial.json")) << c.name;
        const std::string file = test::read_file(path);
        switch (c.content) {
            case Content::kHalf:
                // The last attempt started afresh: only its half, not six halves.
                EXPECT_TRUE(file == body.substr(0, body.size() / 2))
                    << c.name << " " << file.size();
                break;
            case Content::kWhole:
                EXPECT_TRUE(file == body) << c.name;
                // The elevated run checks and runs its copy; its end is the last line.
                EXPECT_TRUE(wait_for_lines("): The file ", 1, 60000)) << log();
                // The elevated run has ended, and let go of the log.
                EXPECT_TRUE(test::wait_for_processes_in(app_ / "upd", 60000));
                break;
            case Content::kOtherOfTheSameLength: {
                EXPECT_EQ(file.size(), body.size()) << c.name;
                EXPECT_FALSE(file == body) << c.name;
                // Six different files were checked, each found wrong.
                static const std::regex mismatch(" ([0-9a-f]{32}) not match", std::regex::icase);
                std::set<std::string> digests;
                for (const std::string& line : lines_of(text)) {
                    std::smatch match;
                    if (std::regex_search(line, match, mismatch))
                        digests.insert(test::lower(match[1]));
                }
                EXPECT_EQ(digests.size(), 6u) << text;
                EXPECT_EQ(digests.count(test::lower(md5_)), 0u);
                break;
            }
            case Content::kNone:
                EXPECT_EQ(file, "") << c.name;
                break;
        }
    }
    // The record names the time; the next run ends at once with the same notice and asks
    // the server nothing.
    EXPECT_NE(test::read_file(update_folder_ + "\\last-update.json").find("\"retry_after\":\t\""),
              std::string::npos);
    EXPECT_EQ(run(parked_url), 0xffffffffu);
    EXPECT_EQ(notices_of(out_),
              std::vector<std::string>{"1, The server asked to retry after <time>.;"})
        << out_;
    EXPECT_EQ(request_times(parked_url).size(), 1u);
}

// A front end that connects once sees every attempt: the pipe stays up through the waits.
TEST_F(DownloadFaults, TheUpgradePipeStaysUpThroughTheWaits) {
    const test::FailureWindowCloser closer;
    const std::string url = servers_.url(
        "fault", "/resume-cuts-pipe-" + std::to_string(GetCurrentProcessId()) + "/small.bin");
    std::vector<std::string> messages;
    std::atomic<bool> done{false};
    std::thread front_end([&] {
        Pipe client(kUpgradePipeName, false);
        while (!done && client.connect_to_server() != 0) Sleep(5);
        std::string message;
        while (client.receive(message, 60000) >= 0) messages.push_back(message);
    });
    EXPECT_EQ(run(url), 0u);
    done = true;
    front_end.join();
    // Each attempt asks for the rest of the file. The first may be over before the front
    // end is connected; the three after the waits are all seen, on the same connection.
    static const std::regex progress(R"(^0, (\d+)\.000000, (\d+)\.000000;$)");
    std::set<long> totals;
    for (const std::string& message : messages) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(message, match, progress)) << message;
        if (std::stol(match[1]) > 0) totals.insert(std::stol(match[1]));
    }
    const long size = static_cast<long>(servers_.bytes("small.bin").size());
    totals.insert(size);
    EXPECT_EQ(totals, (std::set<long>{size, size - size * 3 / 10, size - size * 6 / 10,
                                      size - size * 9 / 10}));
}

// A full disk: the process limit on file sizes that ctest sets for this one test (Wine
// has no way to set it from inside), announced in UPDATER_TEST_FILE_SIZE_LIMIT.
TEST_F(DownloadFaults, AFullDiskFailsEveryAttemptAndEachLaterOneStartsAfresh) {
    const char* limit_text = std::getenv("UPDATER_TEST_FILE_SIZE_LIMIT");
    if (limit_text == nullptr) GTEST_SKIP() << "run by the test with a file-size limit";
    const size_t limit = std::stoul(limit_text);
    // The build's updater, debug information and all, outgrew the limit: the fixture's copy
    // of it was cut short there. A hard link writes nothing; this run never renames it. The
    // one that waits a hundredth as long between attempts: the six attempts lead to the
    // same whatever they wait.
    fs::remove(updater_);
    fs::create_hard_link(test::sibling_path(L"updater-quick-waits.exe"), updater_);
    const std::string body = servers_.bytes("large.bin");
    ASSERT_GT(body.size(), limit);
    const std::string md5 = test::md5_of(servers_.file("large.bin"));
    ASSERT_EQ(md5.size(), 32u);
    const std::string url = servers_.url("http", "/large.bin");
    const std::string path = update_folder_ + "\\large.bin.exe";
    // An earlier run left a file as large as the limit: attempt 1 cannot add a byte, the
    // later ones must empty it to get anywhere.
    fs::create_directories(update_folder_);
    test::write_file(path, std::string(limit, 'x'));
    EXPECT_EQ(run(url, md5), 0xffffffffu);
    std::vector<std::string> notices =
        test::failed_attempts("Failed writing received data to disk/application", path, url);
    notices.push_back("1, Failed to download file with correct hash(md5/sha1).;");
    EXPECT_EQ(notices_of(out_), notices) << out_;
    const std::string text = log();
    EXPECT_EQ(count_lines(text,
                          "): Failed to download file for Failed writing received data to "
                          "disk/application"),
              6u)
        << text;
    EXPECT_EQ(count_lines(text, "): file hash:"), 0u) << text;
    // The start of the body, not the old bytes: the last attempt began at offset 0.
    const std::string file = test::read_file(path);
    EXPECT_EQ(file.size(), limit);
    EXPECT_TRUE(file == body.substr(0, limit));
}

}  // namespace
