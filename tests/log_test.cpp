#include "log/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "test_support.h"

namespace {

// Every test gets its own working folder, so "update.log" starts absent.
class LogTest : public ::testing::Test {
protected:
    std::string log_text() { return test::read_text_file(dir_.path() / "update.log"); }
    test::ScopedWorkDir dir_;
};

// Declared first so that it runs before any test opens the log (ctest also runs every
// test in a process of its own).
TEST_F(LogTest, WritesNothingBeforeOpen) {
    EXPECT_EQ(write_log(LOG_LEVEL_FATAL, true, "x%d\n", 1), -1);
    EXPECT_EQ(LOG_WARN("main", "never written\n"), -1);
    EXPECT_FALSE(std::filesystem::exists("update.log"));
}

TEST_F(LogTest, LineFormatAndThreshold) {
    ASSERT_EQ(log_open(), 0);
    EXPECT_EQ(write_log(LOG_LEVEL_DEBUG, true, "dropped\n"), -1);
    EXPECT_EQ(write_log(LOG_LEVEL_TRACE, true, "dropped\n"), -1);
    EXPECT_EQ(LOG_INFO("utils::kill_process", "value %d %s\n", 7, "x"), 0);
    const int line = __LINE__ - 1;
    EXPECT_EQ(LOG_WARN("Pipe::create_server", "second\n"), 0);
    EXPECT_EQ(write_log(LOG_LEVEL_ERROR, true, "plain %s\n", "error"), 0);
    EXPECT_EQ(write_log(LOG_LEVEL_FATAL, false, "no time\n"), 0);

    const std::string text = log_text();
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
    const std::regex expected(stamp + " INFO  utils::kill_process\\(" + std::to_string(line) +
                              "\\): value 7 x\n" + stamp +
                              " WARN  Pipe::create_server\\(\\d+\\): second\n" + stamp +
                              " ERROR plain error\n" + " FATAL no time\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;

    // A build that times its steps asks for milliseconds; a line without a time stays so.
    log_with_milliseconds(true);
    EXPECT_EQ(LOG_INFO("main", "timed\n"), 0);
    EXPECT_EQ(write_log(LOG_LEVEL_FATAL, false, "still no time\n"), 0);
    log_with_milliseconds(false);
    const std::string timed = log_text().substr(text.size());
    EXPECT_TRUE(std::regex_match(
        timed, std::regex(stamp + R"(\.\d{3} INFO  main\(\d+\): timed\n FATAL still no time\n)")))
        << timed;
}

// Values from outside (arguments, addresses, servers' texts) cannot start a line of their
// own: one call, one line.
TEST(LogEscape, ControlCharactersBecomeHexAndOneLineEndStays) {
    const struct {
        std::string message;
        std::string written;
    } cases[] = {
        {"plain\n", "plain\n"},
        {"system text\r\n", "system text\r\n"},
        {"no line end", "no line end"},
        {"", ""},
        {"a\r\nfake line\n", "a\\x0D\\x0Afake line\n"},
        {"tab\tbell\a del\x7f esc\x1b\n", "tab\\x09bell\\x07 del\\x7F esc\\x1B\n"},
        {"trailing breaks\n\n\r\n", "trailing breaks\n\n\r\n"},
        {std::string("nul\0inside\n", 11), "nul\\x00inside\n"},
        {"用户 Zoë\n", "用户 Zoë\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(escape_log_message(c.message), c.written) << c.message;
}

TEST_F(LogTest, AnArgumentWithLineBreaksWritesOneLine) {
    ASSERT_EQ(log_open(), 0);
    EXPECT_EQ(LOG_WARN("run_install_phase", "path changed (%s -> %s).\n", "a",
                       "x\r\n2026-12-09 10:00:00 INFO  main(1): forged"),
              0);
    const std::string text = log_text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("(a -> x\\x0D\\x0A2026-12-09 10:00:00 INFO  main(1): forged).\n"),
              std::string::npos)
        << text;
}

TEST_F(LogTest, SecondOpenAppendsThroughNewStream) {
    test::write_file("update.log", "earlier run\n");
    ASSERT_EQ(log_open(), 0);
    EXPECT_EQ(write_log(LOG_LEVEL_WARN, false, "one\n"), 0);
    ASSERT_EQ(log_open(), 0);
    EXPECT_EQ(write_log(LOG_LEVEL_WARN, false, "two\n"), 0);
    EXPECT_EQ(log_text(), "earlier run\n WARN  one\n WARN  two\n");
}

TEST_F(LogTest, OpenFailsWhenTheNameIsAFolder) {
    ASSERT_EQ(log_open(), 0);
    std::filesystem::create_directory(dir_.path() / "sub");
    std::filesystem::create_directory(dir_.path() / "sub" / "update.log");
    std::filesystem::current_path(dir_.path() / "sub");
    EXPECT_EQ(log_open(), -1);
    // The stream opened before stays in use.
    std::filesystem::current_path(dir_.path());
    EXPECT_EQ(write_log(LOG_LEVEL_WARN, false, "still here\n"), 0);
    EXPECT_EQ(log_text(), " WARN  still here\n");
}

}  // namespace
