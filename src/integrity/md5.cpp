#include "integrity/md5.h"

#include "integrity/block_feed.h"

namespace {

inline std::uint32_t rotl(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// Assembled byte by byte so that the code is right on any host; compilers turn this
// into one load on little-endian machines.
inline std::uint32_t load_le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline void store_le32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// The round functions in forms that keep the dependency on `b`, the word computed by
// the step before, as short as possible: in F and I the terms without `b` can be
// evaluated early, and G is split into two disjoint halves that are added one by one.
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

#define MD5_STEP(f, a, b, c, d, x, t, s) \
    a += (x) + (t);                      \
    a += f(b, c, d);                     \
    a = rotl(a, s) + (b)

#define MD5_STEP_G(a, b, c, d, x, t, s) \
    a += (x) + (t) + ((c) & ~(d));      \
    a += (b) & (d);                     \
    a = rotl(a, s) + (b)

// The 64 steps of one block in two halves, so that neither function grows too long to
// read. Each is called once, from md5_blocks, and compiled into it.
inline void md5_rounds_fg(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                          const std::uint32_t x[16]) {
    MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

    MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);
}

inline void md5_rounds_hi(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                          const std::uint32_t x[16]) {
    MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);
}

void md5_blocks(std::uint32_t state[4], const unsigned char* p, std::size_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks != 0; --blocks, p += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = load_le32(p + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        md5_rounds_fg(a, b, c, d, x);
        md5_rounds_hi(a, b, c, d, x);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

}  // namespace

void md5_init(Md5Context& ctx) {
    ctx.fill = 0;
    ctx.bit_length = 0;
    ctx.state[0] = 0x67452301;
    ctx.state[1] = 0xefcdab89;
    ctx.state[2] = 0x98badcfe;
    ctx.state[3] = 0x10325476;
}

void md5_update(Md5Context& ctx, const unsigned char* data, std::size_t size) {
    feed_blocks(ctx, data, size, md5_blocks);
}

void md5_final(Md5Context& ctx, unsigned char digest[MD5_DIGEST_SIZE]) {
    pad_last_block(ctx, md5_blocks, LengthOrder::little_endian);
    for (int i = 0; i < 4; ++i) store_le32(digest + 4 * i, ctx.state[i]);
}
