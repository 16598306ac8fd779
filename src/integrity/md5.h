// MD5 (RFC 1321) over a byte stream, for the file digests. The context lives on the
// caller's stack; nothing is allocated and nothing is shared between contexts, so any
// thread may use its own.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    unsigned char block[64];   // the current, partly filled message block
    std::uint32_t fill;        // bytes in `block`, 0 to 63 between calls
    std::uint64_t bit_length;  // message bits already compressed
    std::uint32_t state[4];    // chaining state A, B, C, D
};

enum : std::size_t { MD5_DIGEST_SIZE = 16 };

// Starts a new message.
void md5_init(Md5Context& ctx);

// Appends `size` bytes. Whole 64-byte blocks are compressed straight from `data`; only
// a partial block is copied into the context.
void md5_update(Md5Context& ctx, const unsigned char* data, std::size_t size);

// Pads, appends the 64-bit bit length and writes the 16-byte digest. The context must
// be started again before it is reused.
void md5_final(Md5Context& ctx, unsigned char digest[MD5_DIGEST_SIZE]);
