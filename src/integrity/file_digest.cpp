#include "integrity/file_digest.h"

#include <memory>

#include "integrity/digest_text.h"
#include "utils/text.h"

DigestFileCalls digest_file_calls = {std::fread};

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Feeds every byte of the file at `path` to `consume(data, size)`. Returns 0, or -1
// when the file cannot be opened or a read fails; in that case some bytes may have been
// consumed already, so the caller must not publish anything.
template <typename Consume>
int read_whole_file(const char* path, Consume consume) {
    // The stream's own buffer is declared first so that it outlives the stream. At the
    // C runtime's default size (4 KiB with glibc) every 4096-byte read is a system call
    // of its own: 0.3 s per GiB more than with this buffer on our machines, half as much
    // again as hashing the data with the SHA extensions.
    char stream_buffer[64 * 1024];
    File file(open_file(path, "rb"));
    if (!file) return -1;
    std::setvbuf(file.get(), stream_buffer, _IOFBF, sizeof stream_buffer);
    unsigned char buffer[4096];
    for (;;) {
        const std::size_t got = digest_file_calls.read(buffer, 1, sizeof buffer, file.get());
        if (got == 0) break;
        consume(buffer, got);
        if (std::ferror(file.get()) || std::feof(file.get())) break;
    }
    // A short read because of an error must not pass for the end of the file: the text
    // of a truncated installer would be reported as its digest.
    return std::ferror(file.get()) ? -1 : 0;
}

}  // namespace

int md5_file_hex(const char* path, char* out) {
    Md5Context md5;
    md5_init(md5);
    const auto consume = [&](const unsigned char* data, std::size_t size) {
        md5_update(md5, data, size);
    };
    if (read_whole_file(path, consume) < 0) return -1;
    unsigned char digest[MD5_DIGEST_SIZE];
    md5_final(md5, digest);
    return static_cast<int>(write_digest_hex(digest, sizeof digest, out));
}

int sha256_file_hex(const char* path, char* out) {
    Sha256Context sha256;
    sha256_init(sha256);
    const auto consume = [&](const unsigned char* data, std::size_t size) {
        sha256_update(sha256, data, size);
    };
    if (read_whole_file(path, consume) < 0) return -1;
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_final(sha256, digest);
    return static_cast<int>(write_digest_hex(digest, sizeof digest, out));
}

int md5_sha256_file_hex(const char* path, char* md5_out, char* sha256_out) {
    RunningDigests digests;
    if (digests.add_file(path) < 0) return -1;
    digests.texts(md5_out, sha256_out);
    return 0;
}

void RunningDigests::restart() {
    md5_init(md5_);
    sha256_init(sha256_);
}

void RunningDigests::add(const void* data, std::size_t size) {
    // Both passes over a chunk run while it is still in the L1 cache.
    md5_update(md5_, static_cast<const unsigned char*>(data), size);
    sha256_update(sha256_, static_cast<const unsigned char*>(data), size);
}

int RunningDigests::add_file(const char* path) {
    return read_whole_file(
        path, [this](const unsigned char* data, std::size_t size) { add(data, size); });
}

void RunningDigests::texts(char* md5_out, char* sha256_out) const {
    Md5Context md5 = md5_;
    Sha256Context sha256 = sha256_;
    unsigned char md5_digest[MD5_DIGEST_SIZE];
    unsigned char sha256_digest[SHA256_DIGEST_SIZE];
    md5_final(md5, md5_digest);
    sha256_final(sha256, sha256_digest);
    write_digest_hex(md5_digest, sizeof md5_digest, md5_out);
    write_digest_hex(sha256_digest, sizeof sha256_digest, sha256_out);
}
