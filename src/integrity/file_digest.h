// Digests of a whole file as upper-case hexadecimal text, for checking a downloaded
// installer. Each call opens, reads and closes the file itself, streaming it through a
// 4096-byte buffer on its own stack (and a 64 KiB buffer for the stream, also on the
// stack): constant memory for any file size, no state kept between calls, safe on any
// thread.
#pragma once

#include <cstddef>
#include <cstdio>

#include "integrity/md5.h"
#include "integrity/sha256.h"

// MD5 of the file at `path` (narrow, in the program's text: UTF-8 on Windows) as 32
// upper-case hex digits and a NUL in `out`, which must hold 33 bytes. Returns 32, or -1 with `out`
// untouched when the file cannot be opened or a read fails part-way.
int md5_file_hex(const char* path, char* out);

// SHA-256 as 64 upper-case hex digits and a NUL in `out` (65 bytes). Returns 64, or -1
// with `out` untouched, as md5_file_hex.
int sha256_file_hex(const char* path, char* out);

// Both texts from one read of the file: `md5_out` as md5_file_hex, `sha256_out` as
// sha256_file_hex. Returns 0, or -1 with both buffers untouched.
int md5_sha256_file_hex(const char* path, char* md5_out, char* sha256_out);

// MD5 and SHA-256 of bytes that arrive piece by piece: a download's, as it writes them.
class RunningDigests {
public:
    RunningDigests() { restart(); }
    // Forgets every byte added so far.
    void restart();
    void add(const void* data, std::size_t size);
    // Adds every byte of the file at `path`. -1 when it cannot be opened or read whole;
    // some of its bytes may have been added by then.
    int add_file(const char* path);
    // The texts of the bytes so far, as md5_sha256_file_hex writes them. More bytes may
    // be added afterwards.
    void texts(char* md5_out, char* sha256_out) const;

private:
    Md5Context md5_;
    Sha256Context sha256_;
};

// The stream read the functions above call, replaceable so that a test can make a read
// fail in the middle of a file, which a real file does not do on demand. Defaults to
// std::fread; set it back when done. Not for concurrent use.
struct DigestFileCalls {
    std::size_t (*read)(void* buffer, std::size_t size, std::size_t count, std::FILE* stream);
};
extern DigestFileCalls digest_file_calls;
