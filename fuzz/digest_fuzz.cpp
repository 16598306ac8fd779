// libFuzzer target: our MD5 and SHA-256 against OpenSSL's, which serves only as the
// reference here and is linked into nothing else. The input picks the SHA-256 engine
// and a chunking (pieces from 0 bytes to several whole blocks), then the message, so
// that the block-wise path, the partial-block path and the padding see every mix.
//
//     scripts/fuzz digest [SECONDS]
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "integrity/md5.h"
#include "integrity/sha256.h"

namespace {

void check(bool same, const char* what, std::size_t size) {
    if (same) return;
    std::fprintf(stderr, "%s differs from OpenSSL for a message of %zu bytes\n", what, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool accelerated = data[0] & 1;
    if (accelerated && !sha256_engine_supported(Sha256Engine::x86_sha)) return 0;
    sha256_select_engine(accelerated ? Sha256Engine::x86_sha : Sha256Engine::portable);

    // Up to 15 piece sizes, used in turn until the message is consumed. A byte below 192
    // is a size in bytes; above, a number of whole blocks, some with one byte more.
    const std::size_t count = std::min<std::size_t>(data[1] & 15, size - 2);
    std::vector<std::size_t> pieces;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = data[2 + i];
        pieces.push_back(b < 192 ? b : 64 * std::size_t(b - 191) + (b & 1));
    }
    const std::uint8_t* message = data + 2 + count;
    const std::size_t length = size - 2 - count;

    Md5Context md5;
    Sha256Context sha256;
    md5_init(md5);
    sha256_init(sha256);
    std::size_t at = 0;
    if (pieces.empty()) pieces.push_back(length);
    // A round of nothing but empty pieces must not stall the loop.
    if (pieces.back() == 0) pieces.back() = 1;
    for (std::size_t turn = 0; at < length; ++turn) {
        const std::size_t piece = std::min(pieces[turn % pieces.size()], length - at);
        md5_update(md5, message + at, piece);
        sha256_update(sha256, message + at, piece);
        at += piece;
    }
    unsigned char ours_md5[MD5_DIGEST_SIZE], ours_sha256[SHA256_DIGEST_SIZE];
    md5_final(md5, ours_md5);
    sha256_final(sha256, ours_sha256);

    unsigned char ref_md5[EVP_MAX_MD_SIZE], ref_sha256[EVP_MAX_MD_SIZE];
    unsigned int ref_md5_size = 0, ref_sha256_size = 0;
    if (!EVP_Digest(message, length, ref_md5, &ref_md5_size, EVP_md5(), nullptr) ||
        !EVP_Digest(message, length, ref_sha256, &ref_sha256_size, EVP_sha256(), nullptr)) {
        std::abort();
    }
    check(ref_md5_size == MD5_DIGEST_SIZE && !std::memcmp(ours_md5, ref_md5, MD5_DIGEST_SIZE),
          "MD5", length);
    check(ref_sha256_size == SHA256_DIGEST_SIZE &&
              !std::memcmp(ours_sha256, ref_sha256, SHA256_DIGEST_SIZE),
          accelerated ? "SHA-256 (x86 SHA extensions)" : "SHA-256 (portable)", length);
    return 0;
}
