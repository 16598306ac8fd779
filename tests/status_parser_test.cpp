// upgrade-watch's portable parts: the status-line parser (whole streams, streams cut at
// every byte, the bytes the updater's own writer produces), the progress meter and the
// report as a terminal would show it.
#include "status_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "frontend/notice.h"
#include "progress_meter.h"
#include "test_support.h"
#include "watch_report.h"

namespace {

using Kind = StatusRecord::Kind;

struct Expected {
    Kind kind;
    std::string text;  // notice text or unparsed bytes
    double total = 0;
    double received = 0;
    size_t length = 0;  // unparsed: 0 means text.size()
};

Expected progress(double total, double received) { return {Kind::progress, "", total, received}; }
Expected notice(const std::string& text) { return {Kind::notice, text}; }
Expected unparsed(const std::string& bytes, size_t length = 0) {
    return {Kind::unparsed, bytes, 0, 0, length};
}

// The record a parser would give for `from`.
StatusRecord record(const Expected& from) {
    StatusRecord record;
    record.kind = from.kind;
    record.text = from.text;
    record.total = from.total;
    record.received = from.received;
    record.length = from.length != 0 ? from.length : from.text.size();
    return record;
}

std::string describe(const std::vector<StatusRecord>& records) {
    std::string text;
    for (const StatusRecord& record : records) {
        switch (record.kind) {
            case Kind::progress:
                text += "progress(" + std::to_string(record.total) + ", " +
                        std::to_string(record.received) + ") ";
                break;
            case Kind::notice:
                text += "notice[" + record.text + "] ";
                break;
            case Kind::unparsed:
                text += "unparsed[" + record.text.substr(0, 60) + "](" +
                        std::to_string(record.length) + ") ";
                break;
        }
    }
    return text;
}

// True when `records` are `expected`; the failure message shows both.
::testing::AssertionResult same(const std::vector<StatusRecord>& records,
                                const std::vector<Expected>& expected) {
    bool equal = records.size() == expected.size();
    for (size_t i = 0; equal && i < records.size(); ++i) {
        const StatusRecord& got = records[i];
        const Expected& want = expected[i];
        equal = got.kind == want.kind;
        if (equal && want.kind == Kind::progress)
            equal = got.total == want.total && got.received == want.received;
        if (equal && want.kind == Kind::notice) equal = got.text == want.text;
        if (equal && want.kind == Kind::unparsed) {
            const size_t length = want.length != 0 ? want.length : want.text.size();
            equal = got.length == length && got.text == want.text.substr(0, kMaxStatusRecord);
        }
    }
    if (equal) return ::testing::AssertionSuccess();
    std::string wanted;
    for (const Expected& want : expected) wanted += describe({record(want)});
    return ::testing::AssertionFailure() << "got " << describe(records) << "\nwanted " << wanted;
}

std::vector<StatusRecord> parse_in_pieces(const std::string& stream,
                                          const std::vector<size_t>& cuts) {
    StatusParser parser;
    std::vector<StatusRecord> records;
    size_t start = 0;
    for (size_t cut : cuts) {
        parser.feed(stream.data() + start, cut - start, records);
        start = cut;
    }
    parser.feed(stream.data() + start, stream.size() - start, records);
    parser.finish(records);
    return records;
}

struct StreamCase {
    const char* what;
    std::string stream;
    std::vector<Expected> records;
};

std::vector<StreamCase> stream_cases() {
    const std::string long_text(5000, 'x');
    const std::string long_number(5000, '7');
    return {
        {"nothing", "", {}},
        {"the updater's first record", "0, 0.000000, 0.000000;", {progress(0, 0)}},
        {"progress then notice",
         "0, 1048576.000000, 65536.000000;1, Failed to open file C:\\x.exe.;",
         {progress(1048576, 65536), notice("Failed to open file C:\\x.exe.")}},
        {"a notice holding ';'",
         "1, Failed to download file for a;b.;0, 10.000000, 5.000000;",
         {notice("Failed to download file for a;b."), progress(10, 5)}},
        {"a notice holding '0, ' and '1, ' without a ';' before them",
         "1, Failed to download C:\\u\\0, x.exe from http://h/1, x.exe.;0, 1.000000, 1.000000;",
         {notice("Failed to download C:\\u\\0, x.exe from http://h/1, x.exe."), progress(1, 1)}},
        {"a notice holding ';0, ' that is no whole progress record",
         "1, a;0, 12x;b.;0, 2.000000, 1.000000;",
         {notice("a;0, 12x;b."), progress(2, 1)}},
        {"a notice holding ';0, N, N' cut by the end of the stream",
         "1, a;0, 1.0, 2.0",
         {notice("a"), unparsed("0, 1.0, 2.0")}},
        {"the one ambiguity: ';1, ' inside a text", "1, a;1, b.;", {notice("a"), notice("b.")}},
        {"a notice at the end of the stream",
         "0, 5.000000, 5.000000;1, Failed to download file with correct hash(md5/sha1).;",
         {progress(5, 5), notice("Failed to download file with correct hash(md5/sha1).")}},
        {"a notice whose text ends in ';' at the end of the stream", "1, a;b;", {notice("a;b")}},
        {"an empty notice", "1, ;1, ;", {notice(""), notice("")}},
        {"a notice with a line break", "1, a\nb;", {notice("a\nb")}},
        {"a notice cut short", "1, Failed to", {unparsed("1, Failed to")}},
        {"a notice, then a cut one", "1, done.;1, Fail", {notice("done."), unparsed("1, Fail")}},
        {"a notice and unparsed output at the end",
         "1, done.;tail",
         {notice("done."), unparsed("tail")}},
        {"a progress record cut short", "0, 100.000000, 5", {unparsed("0, 100.000000, 5")}},
        {"a prefix cut short", "0, 1.000000, 1.000000;0,", {progress(1, 1), unparsed("0,")}},
        {"the install-location lookup's line, then a notice",
         "\xd7\xd3\xbc\xfc\xb5\xc4\xca\xfd\xc1\xbf\xce\xaa: 3\n1, Failed to terminate hubra "
         "process.;",
         {unparsed("\xd7\xd3\xbc\xfc\xb5\xc4\xca\xfd\xc1\xbf\xce\xaa: 3\n"),
          notice("Failed to terminate hubra process.")}},
        {"garbage up to a ';'", "junk;0, 1.000000, 1.000000;", {unparsed("junk;"), progress(1, 1)}},
        {"malformed progress records",
         "0, abc;0, , 1;0, 1., 2;0, 1, 2x;0, 1,2;0,1, 2;0, -, 1;0, 1.5, 2;",
         {unparsed("0, abc;"), unparsed("0, , 1;"), unparsed("0, 1., 2;"), unparsed("0, 1, 2x;"),
          unparsed("0, 1,2;"), unparsed("0,1, 2;"), unparsed("0, -, 1;"), progress(1.5, 2)}},
        {"other record kinds", "2, hello;01, x;", {unparsed("2, hello;"), unparsed("01, x;")}},
        {"negative and whole numbers",
         "0, -1.000000, 3;0, 4294967296.000000, 0.5;",
         {progress(-1, 3), progress(4294967296.0, 0.5)}},
        {"bare separators", ";;\n", {unparsed(";"), unparsed(";"), unparsed("\n")}},
        {"a notice followed by a malformed and a whole progress record",
         "1, a;0, 1x;0, 2, 3;",
         {notice("a;0, 1x"), progress(2, 3)}},
        {"an over-long notice without ';' is no notice",
         "1, " + long_text + ";0, 1, 1;",
         {unparsed("1, " + long_text + ";", 3 + 5000 + 1), progress(1, 1)}},
        {"an over-long notice ends at its last ';'",
         "1, short.;" + long_text + ";0, 1, 1;",
         {notice("short."), unparsed(long_text + ";", 5001), progress(1, 1)}},
        {"an over-long notice, then a line break and a record",
         "1, short.;" + long_text + "\n1, next.;",
         {notice("short."), unparsed(long_text + "\n", 5001), notice("next.")}},
        {"an over-long progress record",
         "0, " + long_number + ", 1;1, x;",
         {unparsed("0, " + long_number + ", 1;", 3 + 5000 + 4), notice("x")}},
    };
}

TEST(StatusParser, WholeStreams) {
    for (const StreamCase& test : stream_cases())
        EXPECT_TRUE(same(parse_in_pieces(test.stream, {}), test.records)) << test.what;
}

TEST(StatusParser, StreamsCutAtEveryByte) {
    for (const StreamCase& test : stream_cases()) {
        // Two pieces, cut at every position (at every 13th of the long streams, whose
        // every boundary the byte-by-byte run below covers as well).
        const size_t step = test.stream.size() > 512 ? 13 : 1;
        for (size_t cut = 1; cut < test.stream.size(); cut += step)
            ASSERT_TRUE(same(parse_in_pieces(test.stream, {cut}), test.records))
                << test.what << ", cut at " << cut;
        // One byte at a time.
        std::vector<size_t> every;
        for (size_t cut = 1; cut < test.stream.size(); ++cut) every.push_back(cut);
        EXPECT_TRUE(same(parse_in_pieces(test.stream, every), test.records))
            << test.what << ", byte by byte";
    }
}

TEST(StatusParser, IsReadyForANewStreamAfterFinish) {
    StatusParser parser;
    std::vector<StatusRecord> records;
    const std::string first = "1, a;0, 1";
    parser.feed(first.data(), first.size(), records);
    parser.finish(records);
    const std::string second = "0, 2, 2;";
    parser.feed(second.data(), second.size(), records);
    parser.finish(records);
    EXPECT_TRUE(same(records, {notice("a"), unparsed("0, 1"), progress(2, 2)}));
}

// What the updater's own writer puts on standard output, read back in random pieces.
TEST(StatusParser, ReadsTheUpdatersOwnStatusLines) {
    test::ScopedWorkDir dir;
    std::vector<Expected> expected;
    {
        test::StdoutRedirect redirect(dir.path() / "out.bin", "wb");
        ASSERT_TRUE(redirect.ok());
        FrontendNotice text{};
        for (int attempt = 0; attempt < 3; ++attempt) {
            for (double received : {0.0, 16384.0, 41943040.0}) {
                try_notify_to_frontend(make_progress_notice(41943040.0, received));
                expected.push_back(progress(41943040.0, received));
            }
            notify_frontend_text(text, "Failed to download file for %s.",
                                 "Failure when receiving data from the peer; 0, 1, 2;x");
            expected.push_back(
                notice("Failed to download file for Failure when receiving data from the peer; "
                       "0, 1, 2;x."));
            notify_frontend_text(text, "Failed to download %s from %s.",
                                 "C:\\update\\setup;0, v1.exe", "https://h/setup;0, v1.exe");
            expected.push_back(notice(
                "Failed to download C:\\update\\setup;0, v1.exe from https://h/setup;0, v1.exe."));
        }
        notify_frontend_text(text, "Failed to download file with correct hash(md5/sha1).");
        expected.push_back(notice("Failed to download file with correct hash(md5/sha1)."));
    }
    const std::string stream = test::read_file(dir.path() / "out.bin");
    ASSERT_FALSE(stream.empty());
    EXPECT_TRUE(same(parse_in_pieces(stream, {}), expected));
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 0;;) {
            at += 1 + random() % 64;
            if (at >= stream.size()) break;
            cuts.push_back(at);
        }
        ASSERT_TRUE(same(parse_in_pieces(stream, cuts), expected)) << "round " << round;
    }
}

TEST(StatusParser, PipeMessages) {
    struct Case {
        const char* message;
        bool valid;
        double total;
        double received;
    };
    const Case cases[] = {
        {"0, 41943040.000000, 16384.000000;", true, 41943040, 16384},
        {"0, 0.000000, 0.000000;", true, 0, 0},
        {"0, 1, 2", false, 0, 0},
        {"0, 1, 2;0, 1, 2;", false, 0, 0},
        {"0, 1, 2;x", false, 0, 0},
        {"1, text;", false, 0, 0},
        {" 0, 1, 2;", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& test : cases) {
        double total = -7;
        double received = -7;
        EXPECT_EQ(parse_progress_message(test.message, total, received), test.valid)
            << test.message;
        EXPECT_EQ(total, test.valid ? test.total : -7) << test.message;
        EXPECT_EQ(received, test.valid ? test.received : -7) << test.message;
    }
}

constexpr double kMiB = 1024.0 * 1024.0;

TEST(ProgressMeter, Lines) {
    struct Update {
        double total;
        double received;
        double seconds;
    };
    struct Case {
        const char* what;
        std::vector<Update> updates;
        std::string line;
    };
    const Case cases[] = {
        {"nothing yet", {}, ""},
        {"one record: no rate yet",
         {{40 * kMiB, 0, 0}},
         "download   0.0%  0.0 of 40.0 MiB  -- MiB/s  --:-- left"},
        {"rate and time left",
         {{40 * kMiB, 0, 0}, {40 * kMiB, 10 * kMiB, 1}},
         "download  25.0%  10.0 of 40.0 MiB  10.0 MiB/s  0:03 left"},
        {"too short a span for a rate",
         {{40 * kMiB, 0, 0}, {40 * kMiB, 10 * kMiB, 0.1}},
         "download  25.0%  10.0 of 40.0 MiB  -- MiB/s  --:-- left"},
        {"the next attempt starts over",
         {{40 * kMiB, 0, 0}, {40 * kMiB, 10 * kMiB, 1}, {40 * kMiB, 1 * kMiB, 2}},
         "download   2.5%  1.0 of 40.0 MiB  -- MiB/s  --:-- left"},
        {"a resumed attempt with a smaller total starts over",
         {{40 * kMiB, 0, 0}, {40 * kMiB, 10 * kMiB, 1}, {30 * kMiB, 12 * kMiB, 2}},
         "download  40.0%  12.0 of 30.0 MiB  -- MiB/s  --:-- left"},
        {"unknown total", {{0, 5 * kMiB, 0}, {0, 6 * kMiB, 0.5}}, "download  6.0 MiB  2.0 MiB/s"},
        {"complete",
         {{40 * kMiB, 30 * kMiB, 2}, {40 * kMiB, 40 * kMiB, 3}},
         "download 100.0%  40.0 of 40.0 MiB  10.0 MiB/s  done"},
        {"hours left",
         {{10240 * kMiB, 0, 0}, {10240 * kMiB, 1 * kMiB, 1}},
         "download   0.0%  1.0 of 10240.0 MiB  1.0 MiB/s  2:50:39 left"},
    };
    for (const Case& test : cases) {
        ProgressMeter meter;
        for (const Update& update : test.updates)
            meter.update(update.total, update.received, update.seconds);
        EXPECT_EQ(meter.line(), test.line) << test.what;
    }
}

TEST(ProgressMeter, RateFollowsTheLastSeconds) {
    ProgressMeter meter;
    double received = 0;
    for (int step = 0; step <= 20; ++step) {  // 10 s at 1 MiB/s
        meter.update(100 * kMiB, received, step * 0.5);
        received += 0.5 * kMiB;
    }
    received -= 0.5 * kMiB;
    for (int step = 21; step <= 28; ++step) {  // then 4 s at 4 MiB/s
        received += 2 * kMiB;
        meter.update(100 * kMiB, received, step * 0.5);
    }
    EXPECT_DOUBLE_EQ(meter.rate(), 4 * kMiB);
}

class Report : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(out_, nullptr); }
    void TearDown() override {
        if (out_ != nullptr) std::fclose(out_);
    }
    std::string output() {
        std::fflush(out_);
        std::rewind(out_);
        std::string text;
        char buffer[4096];
        size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, count);
        std::fseek(out_, 0, SEEK_END);
        return text;
    }
    FILE* out_ = std::tmpfile();
    WatchReport report_{out_};
};

TEST_F(Report, NoticesGetTheirOwnLinesAboveTheLiveLine) {
    report_.status(record(progress(40 * kMiB, 0)), 0);
    report_.status(record(progress(40 * kMiB, 30 * kMiB)), 1);
    report_.status(record(notice("Failed to download file for Timeout was reached.")), 1.5);
    report_.status(record(unparsed("\xd7\xd3: 3\n")), 1.6);
    report_.status(record(unparsed(std::string(300, 'z'), 5000)), 1.7);
    report_.status(record(progress(40 * kMiB, 40 * kMiB)), 2);
    const long code = -1;
    report_.summary(&code);
    const std::vector<std::string> expected = {
        "notice: Failed to download file for Timeout was reached.",
        "output: \\xD7\\xD3: 3\\x0A",
        "output: " + std::string(200, 'z') + "... (5000 bytes)",
        "download 100.0%  40.0 of 40.0 MiB  20.0 MiB/s  done",
        "summary: status lines 6 (progress 3, notices 1, other 2), pipe messages 0 "
        "(connections 0), updater exit code -1",
    };
    EXPECT_EQ(test::screen(output()), expected);
}

TEST_F(Report, LiveLineIsRedrawnAtMostTenTimesASecondUnlessComplete) {
    report_.status(record(progress(40 * kMiB, 1 * kMiB)), 0);
    report_.status(record(progress(40 * kMiB, 2 * kMiB)), 0.05);  // too soon: not drawn
    EXPECT_EQ(test::screen(output()),
              std::vector<std::string>{"download   2.5%  1.0 of 40.0 MiB  -- MiB/s  --:-- left"});
    report_.status(record(progress(40 * kMiB, 40 * kMiB)), 0.06);  // complete: drawn
    EXPECT_EQ(test::screen(output()),
              std::vector<std::string>{"download 100.0%  40.0 of 40.0 MiB  -- MiB/s  done"});
}

TEST_F(Report, PipeFeedsTheLiveLineWhileItsMessagesFlow) {
    report_.pipe_connected();
    report_.pipe_message("0, 41943040.000000, 20971520.000000;", 0);
    report_.status(record(progress(40 * kMiB, 4 * kMiB)), 0.5);  // older figures
    report_.pipe_message("garbage", 0.6);
    report_.pipe_disconnected();
    EXPECT_EQ(test::screen(output()), (std::vector<std::string>{
                                          "pipe: connected",
                                          "pipe: not a progress message: garbage",
                                          "pipe: disconnected after 2 messages",
                                          "download  50.0%  20.0 of 40.0 MiB  -- MiB/s  --:-- left",
                                      }));
    // The pipe has been silent for a while: the status lines take over.
    report_.status(record(progress(40 * kMiB, 8 * kMiB)), 5);
    report_.summary(nullptr);
    const std::vector<std::string> lines = test::screen(output());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], "download  20.0%  8.0 of 40.0 MiB  0.9 MiB/s  0:36 left");
    EXPECT_EQ(lines[4],
              "summary: status lines 2 (progress 2, notices 0, other 0), pipe messages 2 "
              "(connections 1), updater exit code none");
    const WatchCounts counts = report_.counts();
    EXPECT_EQ(counts.pipe_messages, 2);
    EXPECT_EQ(counts.pipe_connections, 1);
    EXPECT_EQ(counts.progress, 2);
}

}  // namespace
