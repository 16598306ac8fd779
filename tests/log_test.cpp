#include "log/log.h"

#include <gtest/gtest.h>

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
