#include "frontend/notice.h"

#include <gtest/gtest.h>

#include <cstring>

#include "log/log.h"
#include "test_support.h"

namespace {

class NoticeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log_open(), 0); }

    // Runs `write` with standard output sent to a file and returns what reached it.
    template <typename Write>
    std::string captured(Write write) {
        const auto out = dir_.path() / "stdout.txt";
        test::StdoutRedirect redirect(out, "wb");
        EXPECT_TRUE(redirect.ok());
        write();
        redirect.restore();
        return test::read_file(out);
    }

    test::ScopedWorkDir dir_;
};

TEST_F(NoticeTest, ProgressRecordsFollowEachOtherWithoutLineBreaks) {
    FrontendNotice path_notice{};
    int results[3] = {};
    const std::string out = captured([&] {
        results[0] = try_notify_to_frontend(make_progress_notice(0, 0));
        results[1] = try_notify_to_frontend(make_progress_notice(1048576, 65536));
        results[2] = notify_frontend_text(path_notice, "Failed to open file %s.", "C:\\x.exe");
    });
    EXPECT_EQ(out,
              "0, 0.000000, 0.000000;0, 1048576.000000, 65536.000000;"
              "1, Failed to open file C:\\x.exe.;");
    EXPECT_EQ(results[0], 22);
    EXPECT_EQ(results[1], 32);
    EXPECT_EQ(results[2], 33);
    EXPECT_EQ(path_notice.kind, FRONTEND_NOTICE_TEXT);
    EXPECT_EQ(path_notice.length, 29);
    EXPECT_EQ(make_progress_notice(1, 2).length, 16);
}

TEST_F(NoticeTest, TextIsWrittenUnchanged) {
    FrontendNotice notice{};
    const std::string out = captured([&] {
        notify_frontend_text(notice, "%s", "a;b\nc %d");
        notify_frontend_text(notice, "%d%%", 5);
    });
    EXPECT_EQ(out, "1, a;b\nc %d;1, 5%;");
}

// The program's text is UTF-8; front ends read the status lines in the ANSI code page
// (1252 under Wine here), as they always have. POSIX writes the text as it is.
TEST_F(NoticeTest, TextReachesFrontEndsInTheAnsiCodePage) {
    FrontendNotice notice{};
    const std::string out = captured(
        [&] { notify_frontend_text(notice, "Failed to open file %s.", "C:\\Zo\xc3\xab"); });
#ifdef _WIN32
    EXPECT_EQ(out, "1, Failed to open file C:\\Zo\xeb.;");
#else
    EXPECT_EQ(out, "1, Failed to open file C:\\Zo\xc3\xab.;");
#endif
}

TEST_F(NoticeTest, UnknownKindWritesAndLogsNothing) {
    FrontendNotice notice = make_progress_notice(1, 1);
    notice.kind = 2;
    int result = -5;
    EXPECT_EQ(captured([&] { result = try_notify_to_frontend(notice); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(test::read_text_file(dir_.path() / "update.log"), "");
}

TEST_F(NoticeTest, OverlongTextIsCutInsideItsArea) {
    // Guard bytes after the record catch a write beyond the text area.
    struct {
        FrontendNotice notice;
        char guard[64];
    } block;
    std::memset(&block, 0x5a, sizeof block);
    const std::string url(3 * kFrontendNoticeTextSize, 'u');
    const std::string out = captured([&] {
        notify_frontend_text(block.notice, "Failed to download %s from %s.", "p", url.c_str());
    });

    const std::string expected_text =
        ("Failed to download p from " + url).substr(0, kFrontendNoticeTextSize - 1);
    EXPECT_EQ(out, "1, " + expected_text + ";");
    EXPECT_EQ(block.notice.length, kFrontendNoticeTextSize - 1);
    EXPECT_EQ(block.notice.text[kFrontendNoticeTextSize - 1], '\0');
    for (char c : block.guard) ASSERT_EQ(c, 0x5a);
}

TEST_F(NoticeTest, UnusableStdoutIsLoggedAndReported) {
    // A read-only descriptor behind stdout makes every write fail.
    test::write_file(dir_.path() / "readonly.txt", "");
    FrontendNotice notice{};
    int result = 0;
    {
        test::StdoutRedirect redirect(dir_.path() / "readonly.txt", "rb");
        ASSERT_TRUE(redirect.ok());
        result = notify_frontend_text(notice, "Failed to generate app data path.");
    }
    EXPECT_LT(result, 0);
    const std::string log = test::read_text_file(dir_.path() / "update.log");
    EXPECT_NE(log.find(" WARN  try_notify_to_frontend("), std::string::npos) << log;
    EXPECT_NE(log.find("): Failed to notify front end.\n"), std::string::npos) << log;
    EXPECT_EQ(test::read_file(dir_.path() / "readonly.txt"), "");
}

}  // namespace
