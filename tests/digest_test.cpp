#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "integrity/file_digest.h"
#include "integrity/md5.h"
#include "integrity/sha256.h"
#include "test_support.h"

// Test names and messages show the engine by name.
void PrintTo(Sha256Engine engine, std::ostream* out) {
    *out << (engine == Sha256Engine::x86_sha ? "x86_sha" : "portable");
}

namespace {

// The test programs start in the build folder, where the build wrote "digest_data" (files
// and their digests from Python's hashlib, see digest_reference.py). Taken before any
// test changes the working folder.
const std::filesystem::path g_start_folder = std::filesystem::current_path();

// What the three entry points make of one file.
struct FileTexts {
    int md5_result = 0;
    int sha256_result = 0;
    int pair_result = 0;
    std::string md5, sha256, pair_md5, pair_sha256;
};

FileTexts digest_texts(const std::filesystem::path& path) {
    const std::string name = path.string();
    char md5[256], sha256[256], pair_md5[256], pair_sha256[256];
    FileTexts texts;
    texts.md5_result = md5_file_hex(name.c_str(), md5);
    texts.sha256_result = sha256_file_hex(name.c_str(), sha256);
    texts.pair_result = md5_sha256_file_hex(name.c_str(), pair_md5, pair_sha256);
    if (texts.md5_result == 32) texts.md5 = md5;
    if (texts.sha256_result == 64) texts.sha256 = sha256;
    if (texts.pair_result == 0) {
        texts.pair_md5 = pair_md5;
        texts.pair_sha256 = pair_sha256;
    }
    return texts;
}

void expect_texts(const FileTexts& texts, const std::string& md5, const std::string& sha256,
                  const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(texts.md5_result, 32);
    EXPECT_EQ(texts.sha256_result, 64);
    EXPECT_EQ(texts.pair_result, 0);
    EXPECT_EQ(texts.md5, md5);
    EXPECT_EQ(texts.sha256, sha256);
    EXPECT_EQ(texts.pair_md5, md5);
    EXPECT_EQ(texts.pair_sha256, sha256);
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generate(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generate() & 0xff);
    return bytes;
}

const unsigned char* bytes_of(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

std::string hex(const unsigned char* digest, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

// Feeds `message` to fresh contexts in pieces of the given sizes (the last piece takes
// the rest) and returns the MD5 and SHA-256 texts.
std::pair<std::string, std::string> digest_in_pieces(const std::string& message,
                                                     const std::vector<std::size_t>& pieces) {
    Md5Context md5;
    Sha256Context sha256;
    md5_init(md5);
    sha256_init(sha256);
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        piece = std::min(piece, message.size() - at);
        md5_update(md5, bytes_of(message) + at, piece);
        sha256_update(sha256, bytes_of(message) + at, piece);
        at += piece;
    }
    md5_update(md5, bytes_of(message) + at, message.size() - at);
    sha256_update(sha256, bytes_of(message) + at, message.size() - at);
    unsigned char md5_digest[MD5_DIGEST_SIZE], sha256_digest[SHA256_DIGEST_SIZE];
    md5_final(md5, md5_digest);
    sha256_final(sha256, sha256_digest);
    return {hex(md5_digest, sizeof md5_digest), hex(sha256_digest, sizeof sha256_digest)};
}

const char* engine_name(Sha256Engine engine) {
    return engine == Sha256Engine::x86_sha ? "x86_sha" : "portable";
}

// Runs a test once per SHA-256 engine; one that the CPU lacks is skipped.
class DigestEngineTest : public ::testing::TestWithParam<Sha256Engine> {
protected:
    void SetUp() override {
        previous_ = sha256_current_engine();
        TEST_REQUIRES(sha256_engine_supported(GetParam()),
                      "the CPU's support for the " << engine_name(GetParam()) << " engine");
        ASSERT_EQ(sha256_select_engine(GetParam()), 0);
        ASSERT_EQ(sha256_current_engine(), GetParam());
    }
    void TearDown() override { sha256_select_engine(previous_); }

    test::ScopedWorkDir dir_;
    Sha256Engine previous_ = Sha256Engine::portable;
};

struct Vector {
    const char* text;
    int repeat;
    const char* md5;
    const char* sha256;
};

// The test suite of RFC 1321 (appendix A.5) and the example messages of FIPS 180-2
// (appendix B), each with the other algorithm's digest as well.
const Vector kVectors[] = {
    {"", 1, "D41D8CD98F00B204E9800998ECF8427E",
     "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
    {"a", 1, "0CC175B9C0F1B6A831C399E269772661",
     "CA978112CA1BBDCAFAC231B39A23DC4DA786EFF8147C4E72B9807785AFEE48BB"},
    {"abc", 1, "900150983CD24FB0D6963F7D28E17F72",
     "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
    {"message digest", 1, "F96B697D7CB7938D525A2F31AAF161D0",
     "F7846F55CF23E14EEBEAB5B4E1550CAD5B509E3348FBC4EFA3A1413D393CB650"},
    {"abcdefghijklmnopqrstuvwxyz", 1, "C3FCD3D76192E4007DFB496CCA67E13B",
     "71C480DF93D6AE2F1EFAD1447C66C9525E316218CF51FC8D9ED832F2DAF18B73"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 1,
     "D174AB98D277D9F5A5611C2C9F419D9F",
     "DB4BFCBD4DA0CD85A60C3C37D3FBD8805C77F15FC6B1FDFE614EE0A7C8FDB4C0"},
    {"1234567890", 8, "57EDF4A22BE3C955AC49DA2E2107B67A",
     "F371BC4A311F2B009EEF952DD83CA80E2B60026C8E935592D0F9C308453C813E"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "8215EF0796A20BCAAAE116D3876C664A",
     "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
     "mnopqrsmnopqrstnopqrstu",
     1, "03DD8807A93175FB062DFB55DC7D359C",
     "CF5B16A778AF8380036CE59E7B0492370B249B11E8F07A51AFAC45037AFEE9D1"},
    {"a", 1000000, "7707D6AE4E027C70EEA2A935C2296F21",
     "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"},
};

using DigestVectors = DigestEngineTest;

TEST_P(DigestVectors, PublishedMessagesGivePublishedDigests) {
    for (const Vector& vector : kVectors) {
        std::string message;
        for (int i = 0; i < vector.repeat; ++i) message += vector.text;
        test::write_file("message.bin", message);
        expect_texts(digest_texts("message.bin"), vector.md5, vector.sha256,
                     std::to_string(vector.repeat) + " x \"" + vector.text + "\"");
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, DigestVectors,
                         ::testing::Values(Sha256Engine::portable, Sha256Engine::x86_sha),
                         [](const auto& info) { return std::string(engine_name(info.param)); });

using DigestReferenceFiles = DigestEngineTest;

TEST_P(DigestReferenceFiles, MatchPythonHashlib) {
    const std::filesystem::path folder = g_start_folder / "digest_data";
    std::ifstream manifest(folder / "references.txt");
    ASSERT_TRUE(manifest) << "no " << (folder / "references.txt").string()
                          << ": the build writes it, and the tests start in the build folder";
    // The block edges, the padding edges and the read chunk's edges must all be there.
    std::vector<std::uintmax_t> required = {0, 1, 55, 56, 63, 64, 65, 4095, 4096, 4097};
    int files = 0;
    std::string line;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string name, md5, sha256;
        std::uintmax_t size = 0;
        ASSERT_TRUE(fields >> name >> size >> md5 >> sha256) << line;
        ASSERT_EQ(std::filesystem::file_size(folder / name), size) << name;
        expect_texts(digest_texts(folder / name), md5, sha256, name);
        required.erase(std::remove(required.begin(), required.end(), size), required.end());
        ++files;
    }
    EXPECT_TRUE(required.empty()) << "sizes missing from references.txt";
    EXPECT_GE(files, 15);
}

INSTANTIATE_TEST_SUITE_P(Engines, DigestReferenceFiles,
                         ::testing::Values(Sha256Engine::portable, Sha256Engine::x86_sha),
                         [](const auto& info) { return std::string(engine_name(info.param)); });

class DigestFailure : public ::testing::Test {
protected:
    // Expects -1 from all three functions and the callers' buffers as they were;
    // `before_each` runs before each of the three calls.
    void expect_failure(
        const std::filesystem::path& path, const std::string& what,
        const std::function<void()>& before_each = [] {}) {
        SCOPED_TRACE(what);
        const std::string name = path.string();
        char md5[256], sha256[256], untouched[256];
        std::memset(untouched, '#', sizeof untouched);
        std::memcpy(md5, untouched, sizeof md5);
        std::memcpy(sha256, untouched, sizeof sha256);
        before_each();
        EXPECT_EQ(md5_file_hex(name.c_str(), md5), -1);
        before_each();
        EXPECT_EQ(sha256_file_hex(name.c_str(), sha256), -1);
        before_each();
        EXPECT_EQ(md5_sha256_file_hex(name.c_str(), md5, sha256), -1);
        EXPECT_EQ(std::memcmp(md5, untouched, sizeof md5), 0);
        EXPECT_EQ(std::memcmp(sha256, untouched, sizeof sha256), 0);
    }

    test::ScopedWorkDir dir_;
};

TEST_F(DigestFailure, FolderOrMissingFile) {
    std::filesystem::create_directory("folder");
    expect_failure("folder", "a folder");
    expect_failure("missing.bin", "a missing file");
    expect_failure(dir_.path() / "folder" / "missing.bin", "a missing file in a folder");
}

// A read that fails part-way through a file. No real file fails on demand, so the
// replaceable read call swaps the stream's descriptor for a write-only one at the chosen
// call; from there the C runtime's own reads fail and set the stream's error indicator.
struct ReadFault {
    static int fail_at;  // number of the read call that breaks the stream, 0 for none
    static int calls;
    static int write_only;
    static std::size_t read(void* buffer, std::size_t size, std::size_t count, std::FILE* s) {
        if (++calls == fail_at) test_dup2(write_only, test_fileno(s));
        return std::fread(buffer, size, count, s);
    }
};
int ReadFault::fail_at = 0;
int ReadFault::calls = 0;
int ReadFault::write_only = -1;

TEST_F(DigestFailure, ReadErrorPartWayIsAFailure) {
    test::write_file("data.bin", random_bytes(1 << 20, 7));
    const FileTexts good = digest_texts("data.bin");
    ASSERT_EQ(good.md5_result, 32);
    std::FILE* sink = std::fopen("sink.bin", "wb");
    ASSERT_NE(sink, nullptr);
    ReadFault::write_only = test_fileno(sink);
    const DigestFileCalls saved = digest_file_calls;
    digest_file_calls.read = ReadFault::read;

    // The first call is the opening read, the 100th is in the middle of the file.
    for (int fail_at : {1, 2, 100}) {
        ReadFault::fail_at = fail_at;
        expect_failure("data.bin", "read fails from call " + std::to_string(fail_at),
                       [] { ReadFault::calls = 0; });
    }
    // The same route without a fault reads the whole file.
    ReadFault::fail_at = 0;
    ReadFault::calls = 0;
    expect_texts(digest_texts("data.bin"), good.md5, good.sha256, "no fault");
    EXPECT_EQ(ReadFault::calls, 3 * 257);  // 256 full chunks and the end, per function

    digest_file_calls = saved;
    std::fclose(sink);
}

TEST(DigestRepeat, SameFileTwiceGivesTheSameTexts) {
    test::ScopedWorkDir dir;
    test::write_file("data.bin", random_bytes(100000, 11));
    const FileTexts first = digest_texts("data.bin");
    const FileTexts second = digest_texts("data.bin");
    ASSERT_EQ(first.md5.size(), 32u);
    ASSERT_EQ(first.sha256.size(), 64u);
    expect_texts(second, first.md5, first.sha256, "second call");
    expect_texts(first, first.pair_md5, first.pair_sha256, "single pass");
}

using DigestStreaming = DigestEngineTest;

// The file functions always feed whole chunks; the contexts also take any split, and a
// block that straddles two updates is completed in the context's own buffer.
TEST_P(DigestStreaming, HowTheBytesAreSplitDoesNotMatter) {
    const std::string message = random_bytes(5000, 3);
    const auto whole = digest_in_pieces(message, {});
    std::mt19937 pick(5);
    std::vector<std::size_t> random_pieces;
    for (int i = 0; i < 200; ++i) random_pieces.push_back(pick() % 130);
    const std::vector<std::vector<std::size_t>> splits = {
        std::vector<std::size_t>(5000, 1), std::vector<std::size_t>(100, 63),
        std::vector<std::size_t>(100, 64), std::vector<std::size_t>(100, 65),
        {0, 0, 55, 0, 9, 4096, 1},         random_pieces,
    };
    for (std::size_t i = 0; i < splits.size(); ++i) {
        EXPECT_EQ(digest_in_pieces(message, splits[i]), whole) << "split " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, DigestStreaming,
                         ::testing::Values(Sha256Engine::portable, Sha256Engine::x86_sha),
                         [](const auto& info) { return std::string(engine_name(info.param)); });

TEST(DigestSha256Engines, PortableAndAcceleratedAgreeOnEveryLengthUpTo300) {
    TEST_REQUIRES(sha256_engine_supported(Sha256Engine::x86_sha), "the CPU's SHA extensions");
    const Sha256Engine previous = sha256_current_engine();
    std::mt19937 pick(17);
    for (std::size_t length = 0; length <= 300; ++length) {
        const std::string message = random_bytes(length, static_cast<unsigned>(length) + 1000);
        // One split at a random point, so that both engines also see a partial block
        // completed in the context.
        const std::vector<std::size_t> pieces = {length == 0 ? 0 : pick() % length};
        ASSERT_EQ(sha256_select_engine(Sha256Engine::portable), 0);
        const std::string portable = digest_in_pieces(message, pieces).second;
        ASSERT_EQ(sha256_select_engine(Sha256Engine::x86_sha), 0);
        const std::string accelerated = digest_in_pieces(message, pieces).second;
        ASSERT_EQ(portable, accelerated) << "length " << length;
    }
    sha256_select_engine(previous);
}

}  // namespace
