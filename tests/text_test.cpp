#include "utils/text.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "utils/win.h"

namespace {

struct Sample {
    UINT code_page;
    const char* narrow;
    const wchar_t* wide;
};

// One non-ASCII letter per ANSI code page that Wine may pick from the locale.
const Sample kSamples[] = {
    {1252, "caf\xe9 na\xefve", L"caf\u00e9 na\u00efve"},
    {936, "\xd6\xd0\xce\xc4 x", L"\u4e2d\u6587 x"},
};

const Sample* sample_for_this_code_page() {
    for (const Sample& sample : kSamples)
        if (sample.code_page == GetACP()) return &sample;
    return nullptr;
}

TEST(Text, ConvertsNonAsciiInTheAnsiCodePage) {
    const Sample* sample = sample_for_this_code_page();
    if (sample == nullptr) GTEST_SKIP() << "no sample for code page " << GetACP();
    EXPECT_EQ(widen(sample->narrow), sample->wide);
    EXPECT_EQ(narrow(sample->wide), sample->narrow);
}

TEST(Text, LongTextBeyondTheFixedBuffer) {
    const Sample* sample = sample_for_this_code_page();
    if (sample == nullptr) GTEST_SKIP() << "no sample for code page " << GetACP();
    // Lengths around the 260-unit buffer, and far beyond it.
    for (size_t repeats : {25u, 26u, 27u, 100u, 1000u}) {
        std::string long_narrow;
        std::wstring long_wide;
        for (size_t i = 0; i < repeats; ++i) {
            long_narrow += sample->narrow;
            long_wide += sample->wide;
        }
        EXPECT_EQ(widen(long_narrow), long_wide) << repeats;
        EXPECT_EQ(narrow(long_wide), long_narrow) << repeats;
    }
}

TEST(Text, EmptyAndEmbeddedNul) {
    EXPECT_EQ(widen(""), L"");
    EXPECT_EQ(narrow(L""), "");
    EXPECT_EQ(widen(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Text, CharactersOutsideTheCodePageAreReplaced) {
    // U+10348 (a Gothic letter) exists in no ANSI code page.
    const std::string text = narrow(L"x\U00010348y");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), 'x');
    EXPECT_EQ(text.back(), 'y');
    EXPECT_EQ(text.find('\xf0'), std::string::npos);
}

TEST(Text, LastErrorText) {
    SetLastError(0);
    EXPECT_EQ(last_error_text(), "no error");
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::string text = last_error_text();
    EXPECT_NE(text, "no error");
    ASSERT_GE(text.size(), 2u);
    EXPECT_LT(text.size(), 256u);
    // The system's own line ending stays: it ends the log lines built with it.
    EXPECT_EQ(text.back(), '\n');
}

TEST(Text, RemoveFile) {
    test::ScopedWorkDir dir;
    test::write_file("doomed.bin", "x");
    remove_file("doomed.bin");
    EXPECT_FALSE(std::filesystem::exists("doomed.bin"));
    remove_file("doomed.bin");  // missing: nothing happens
    std::filesystem::create_directory("folder");
    remove_file("folder");
    EXPECT_TRUE(std::filesystem::exists("folder"));
}

}  // namespace
