// A file just over 4 GiB: byte counts past 32 bits, compared with Python's hashlib. The
// file and its digests are made by digest_reference.py before this program runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "integrity/file_digest.h"

namespace {

TEST(DigestLargeFile, Over4GiBMatchesPythonHashlib) {
    const std::filesystem::path folder = std::filesystem::current_path() / "digest_large";
    std::ifstream manifest(folder / "large.txt");
    ASSERT_TRUE(manifest) << "no " << (folder / "large.txt").string();
    std::string name, md5, sha256;
    std::uintmax_t size = 0;
    ASSERT_TRUE(manifest >> name >> size >> md5 >> sha256);
    ASSERT_GT(size, std::uintmax_t{1} << 32);
    ASSERT_EQ(std::filesystem::file_size(folder / name), size);

    const std::string path = (folder / name).string();
    char md5_text[256], sha256_text[256], pair_md5[256], pair_sha256[256];
    ASSERT_EQ(md5_file_hex(path.c_str(), md5_text), 32);
    EXPECT_EQ(md5_text, md5);
    ASSERT_EQ(sha256_file_hex(path.c_str(), sha256_text), 64);
    EXPECT_EQ(sha256_text, sha256);
    ASSERT_EQ(md5_sha256_file_hex(path.c_str(), pair_md5, pair_sha256), 0);
    EXPECT_EQ(pair_md5, md5);
    EXPECT_EQ(pair_sha256, sha256);
}

}  // namespace
