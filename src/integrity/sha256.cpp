#include "integrity/sha256.h"

#include <atomic>

#include "integrity/block_feed.h"

// The compiler-specific parts of the x86 engine, kept here and nowhere else: the
// intrinsics header, CPUID, and the attribute that lets GCC and Clang emit SHA and SSE4.1
// instructions in one function of an otherwise baseline x86-64 build. MSVC needs no
// attribute for intrinsics.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#define SHA256_HAVE_X86_SHA 1
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define SHA256_TARGET_X86_SHA
namespace {
void cpuid(unsigned leaf, unsigned subleaf, unsigned regs[4]) {
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
    for (int i = 0; i < 4; ++i) regs[i] = static_cast<unsigned>(r[i]);
}
unsigned cpuid_max_leaf() {
    int r[4];
    __cpuid(r, 0);
    return static_cast<unsigned>(r[0]);
}
}  // namespace
#else
#include <cpuid.h>
#define SHA256_TARGET_X86_SHA __attribute__((target("sha,ssse3,sse4.1")))
namespace {
void cpuid(unsigned leaf, unsigned subleaf, unsigned regs[4]) {
    __cpuid_count(leaf, subleaf, regs[0], regs[1], regs[2], regs[3]);
}
unsigned cpuid_max_leaf() { return __get_cpuid_max(0, nullptr); }
}  // namespace
#endif
#else
#define SHA256_HAVE_X86_SHA 0
#endif

namespace {

alignas(16) const std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t rotr(std::uint32_t x, int s) { return (x >> s) | (x << (32 - s)); }

// Assembled byte by byte so that the code is right on any host; compilers turn this
// into a load and a byte swap.
inline std::uint32_t load_be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

inline void store_be32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

#define SHA256_BSIG0(x) (rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22))
#define SHA256_BSIG1(x) (rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25))
#define SHA256_SSIG0(x) (rotr(x, 7) ^ rotr(x, 18) ^ ((x) >> 3))
#define SHA256_SSIG1(x) (rotr(x, 17) ^ rotr(x, 19) ^ ((x) >> 10))
#define SHA256_CH(e, f, g) ((g) ^ ((e) & ((f) ^ (g))))

// One round. The schedule is a ring of 16 words, updated in place from round 16 on, and
// the eight working variables rotate by renaming in the macro arguments, not by moves.
// The sum for T1 starts with the terms known a round early (h, K, W), so that only
// Ch and Sigma1 wait for e. Maj(a, b, c) is b ^ ((a ^ b) & (b ^ c)), where this round's
// b ^ c is the last round's a ^ b, carried in `bc`. Together about 10% faster than the
// textbook form with GCC -O2.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i, w) \
    do {                                           \
        h += kRound[i] + (w);                      \
        h += SHA256_CH(e, f, g);                   \
        h += SHA256_BSIG1(e);                      \
        const std::uint32_t ab = (a) ^ (b);        \
        d += h;                                    \
        h += SHA256_BSIG0(a) + ((b) ^ (ab & bc));  \
        bc = ab;                                   \
    } while (0)

#define SHA256_W(i) \
    (w[(i)&15] += SHA256_SSIG1(w[((i)-2) & 15]) + w[((i)-7) & 15] + SHA256_SSIG0(w[((i)-15) & 15]))

#define SHA256_EIGHT(i, W)                                     \
    SHA256_ROUND(a, b, c, d, e, f, g, h, (i) + 0, W((i) + 0)); \
    SHA256_ROUND(h, a, b, c, d, e, f, g, (i) + 1, W((i) + 1)); \
    SHA256_ROUND(g, h, a, b, c, d, e, f, (i) + 2, W((i) + 2)); \
    SHA256_ROUND(f, g, h, a, b, c, d, e, (i) + 3, W((i) + 3)); \
    SHA256_ROUND(e, f, g, h, a, b, c, d, (i) + 4, W((i) + 4)); \
    SHA256_ROUND(d, e, f, g, h, a, b, c, (i) + 5, W((i) + 5)); \
    SHA256_ROUND(c, d, e, f, g, h, a, b, (i) + 6, W((i) + 6)); \
    SHA256_ROUND(b, c, d, e, f, g, h, a, (i) + 7, W((i) + 7))

#define SHA256_W_FIRST(i) (w[i])

void sha256_blocks_portable(std::uint32_t state[8], const unsigned char* p, std::size_t blocks) {
    for (; blocks != 0; --blocks, p += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint32_t bc = b ^ c;
        SHA256_EIGHT(0, SHA256_W_FIRST);
        SHA256_EIGHT(8, SHA256_W_FIRST);
        SHA256_EIGHT(16, SHA256_W);
        SHA256_EIGHT(24, SHA256_W);
        SHA256_EIGHT(32, SHA256_W);
        SHA256_EIGHT(40, SHA256_W);
        SHA256_EIGHT(48, SHA256_W);
        SHA256_EIGHT(56, SHA256_W);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if SHA256_HAVE_X86_SHA

bool cpu_has_x86_sha() {
    unsigned r[4];
    if (cpuid_max_leaf() < 7) return false;
    cpuid(1, 0, r);
    const bool ssse3 = (r[2] >> 9) & 1, sse41 = (r[2] >> 19) & 1;
    cpuid(7, 0, r);
    const bool sha = (r[1] >> 29) & 1;
    return ssse3 && sse41 && sha;
}

// Four rounds with message quad `cur` (rounds 4j to 4j+3). The schedule lives in four
// registers that take turns: while these rounds run, quad j+1 is finished with
// SHA256MSG2 (from j = 3) and quad j+3 is started with SHA256MSG1 (up to j = 12).
#define SHA256_QUAD(j, prev, cur, next)                                               \
    do {                                                                              \
        __m128i msg = _mm_add_epi32(                                                  \
            cur, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * (j)))); \
        s1 = _mm_sha256rnds2_epu32(s1, s0, msg);                                      \
        if ((j) >= 3 && (j) <= 14) {                                                  \
            next = _mm_add_epi32(next, _mm_alignr_epi8(cur, prev, 4));                \
            next = _mm_sha256msg2_epu32(next, cur);                                   \
        }                                                                             \
        msg = _mm_shuffle_epi32(msg, 0x0E);                                           \
        s0 = _mm_sha256rnds2_epu32(s0, s1, msg);                                      \
        if ((j) >= 1 && (j) <= 12) prev = _mm_sha256msg1_epu32(prev, cur);            \
    } while (0)

SHA256_TARGET_X86_SHA
void sha256_blocks_x86_sha(std::uint32_t state[8], const unsigned char* p, std::size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    // The instructions want the state as ABEF and CDGH.
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));       // DCBA
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));  // HGFE
    t = _mm_shuffle_epi32(t, 0xB1);                                             // CDAB
    s1 = _mm_shuffle_epi32(s1, 0x1B);                                           // EFGH
    __m128i s0 = _mm_alignr_epi8(t, s1, 8);                                     // ABEF
    s1 = _mm_blend_epi16(s1, t, 0xF0);                                          // CDGH

    for (; blocks != 0; --blocks, p += 64) {
        const __m128i abef = s0, cdgh = s1;
        __m128i m0 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byte_swap);
        __m128i m1 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), byte_swap);
        __m128i m2 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), byte_swap);
        __m128i m3 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), byte_swap);
        SHA256_QUAD(0, m3, m0, m1);
        SHA256_QUAD(1, m0, m1, m2);
        SHA256_QUAD(2, m1, m2, m3);
        SHA256_QUAD(3, m2, m3, m0);
        SHA256_QUAD(4, m3, m0, m1);
        SHA256_QUAD(5, m0, m1, m2);
        SHA256_QUAD(6, m1, m2, m3);
        SHA256_QUAD(7, m2, m3, m0);
        SHA256_QUAD(8, m3, m0, m1);
        SHA256_QUAD(9, m0, m1, m2);
        SHA256_QUAD(10, m1, m2, m3);
        SHA256_QUAD(11, m2, m3, m0);
        SHA256_QUAD(12, m3, m0, m1);
        SHA256_QUAD(13, m0, m1, m2);
        SHA256_QUAD(14, m1, m2, m3);
        SHA256_QUAD(15, m2, m3, m0);
        s0 = _mm_add_epi32(s0, abef);
        s1 = _mm_add_epi32(s1, cdgh);
    }

    t = _mm_shuffle_epi32(s0, 0x1B);    // FEBA
    s1 = _mm_shuffle_epi32(s1, 0xB1);   // DCHG
    s0 = _mm_blend_epi16(t, s1, 0xF0);  // DCBA
    s1 = _mm_alignr_epi8(s1, t, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), s1);
}

#else

bool cpu_has_x86_sha() { return false; }
void sha256_blocks_x86_sha(std::uint32_t state[8], const unsigned char* p, std::size_t blocks) {
    sha256_blocks_portable(state, p, blocks);
}

#endif

using BlocksFunction = void (*)(std::uint32_t state[8], const unsigned char* p, std::size_t blocks);

BlocksFunction engine_function(Sha256Engine engine) {
    return engine == Sha256Engine::x86_sha ? sha256_blocks_x86_sha : sha256_blocks_portable;
}

// Null until the first use or selection. Several threads may race to fill it in; they
// all store the same value.
std::atomic<BlocksFunction> g_blocks{nullptr};

BlocksFunction blocks_function() {
    BlocksFunction blocks = g_blocks.load(std::memory_order_relaxed);
    if (blocks == nullptr) {
        blocks =
            engine_function(cpu_has_x86_sha() ? Sha256Engine::x86_sha : Sha256Engine::portable);
        g_blocks.store(blocks, std::memory_order_relaxed);
    }
    return blocks;
}

}  // namespace

bool sha256_engine_supported(Sha256Engine engine) {
    return engine == Sha256Engine::portable || cpu_has_x86_sha();
}

int sha256_select_engine(Sha256Engine engine) {
    if (!sha256_engine_supported(engine)) return -1;
    g_blocks.store(engine_function(engine), std::memory_order_relaxed);
    return 0;
}

Sha256Engine sha256_current_engine() {
    return blocks_function() == sha256_blocks_portable ? Sha256Engine::portable
                                                       : Sha256Engine::x86_sha;
}

void sha256_init(Sha256Context& ctx) {
    ctx.fill = 0;
    ctx.bit_length = 0;
    ctx.state[0] = 0x6a09e667;
    ctx.state[1] = 0xbb67ae85;
    ctx.state[2] = 0x3c6ef372;
    ctx.state[3] = 0xa54ff53a;
    ctx.state[4] = 0x510e527f;
    ctx.state[5] = 0x9b05688c;
    ctx.state[6] = 0x1f83d9ab;
    ctx.state[7] = 0x5be0cd19;
}

void sha256_update(Sha256Context& ctx, const unsigned char* data, std::size_t size) {
    if (size == 0) return;
    feed_blocks(ctx, data, size, blocks_function());
}

void sha256_final(Sha256Context& ctx, unsigned char digest[SHA256_DIGEST_SIZE]) {
    pad_last_block(ctx, blocks_function(), LengthOrder::big_endian);
    for (int i = 0; i < 8; ++i) store_be32(digest + 4 * i, ctx.state[i]);
}
