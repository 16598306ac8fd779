// SHA-256 (FIPS 180-4) over a byte stream, for the file digests. The context lives on
// the caller's stack; nothing is allocated.
//
// Two compression engines give identical results: portable C++, and the x86 SHA
// extensions, which the first use picks when CPUID reports them. Tests and benchmarks
// can pin either one with sha256_select_engine().
#pragma once

#include <cstddef>
#include <cstdint>

struct Sha256Context {
    unsigned char block[64];   // the current, partly filled message block
    std::uint32_t fill;        // bytes in `block`, 0 to 63 between calls
    std::uint64_t bit_length;  // message bits already compressed
    std::uint32_t state[8];    // chaining state A to H
};

enum : std::size_t { SHA256_DIGEST_SIZE = 32 };

enum class Sha256Engine {
    portable,
    x86_sha,  // SHA-NI: SHA256RNDS2, SHA256MSG1, SHA256MSG2 with SSSE3 and SSE4.1
};

// True when this CPU (and this build) can run `engine`.
bool sha256_engine_supported(Sha256Engine engine);

// The engine that sha256_update and sha256_final use from now on, in every thread.
// Returns 0, or -1 with the choice unchanged when the engine is not supported. Meant
// for tests and benchmarks; the program itself leaves the automatic choice in place.
int sha256_select_engine(Sha256Engine engine);

// The engine in use (picked on first use when nothing was selected).
Sha256Engine sha256_current_engine();

// Starts a new message.
void sha256_init(Sha256Context& ctx);

// Appends `size` bytes. Whole 64-byte blocks are compressed straight from `data`; only
// a partial block is copied into the context.
void sha256_update(Sha256Context& ctx, const unsigned char* data, std::size_t size);

// Pads, appends the 64-bit bit length and writes the 32-byte digest. The context must
// be started again before it is reused.
void sha256_final(Sha256Context& ctx, unsigned char digest[SHA256_DIGEST_SIZE]);
