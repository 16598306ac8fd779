#include "utils/text.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "utils/win.h"

namespace {

// The program's narrow text is UTF-8 whatever the ANSI code page: a letter of code page
// 1252, Chinese that 1252 lacks, and a letter outside the Basic Multilingual Plane (a
// surrogate pair in UTF-16).
const char* const kNarrow = "caf\xc3\xa9 \xe5\xae\x89\xe8\xa3\x85 \xf0\x90\x8d\x88";
const wchar_t* const kWide = L"caf\u00e9 \u5b89\u88c5 \U00010348";

TEST(Text, ConvertsUtf8WhateverTheCodePage) {
    // Lengths around the 260-unit buffer, and far beyond it.
    for (size_t repeats : {1u, 25u, 26u, 27u, 100u, 1000u}) {
        std::string long_narrow;
        std::wstring long_wide;
        for (size_t i = 0; i < repeats; ++i) {
            long_narrow += kNarrow;
            long_wide += kWide;
        }
        EXPECT_EQ(widen(long_narrow), long_wide) << repeats;
        EXPECT_EQ(narrow(long_wide), long_narrow) << repeats;
    }
}

// For the status lines: the ANSI code page, characters it lacks replaced.
TEST(Text, AnsiTextForTheStatusLines) {
    ASSERT_EQ(GetACP(), 1252u) << "the case below is written in code page 1252";
    EXPECT_EQ(ansi_text(kNarrow).substr(0, 7), "caf\xe9 ??");
    EXPECT_EQ(ansi_text(""), "");
}

TEST(Text, EmptyAndEmbeddedNul) {
    EXPECT_EQ(widen(""), L"");
    EXPECT_EQ(narrow(L""), "");
    EXPECT_EQ(widen(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
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
