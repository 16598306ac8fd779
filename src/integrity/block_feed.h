// The block bookkeeping that MD5 and SHA-256 share: both take their message in 64-byte
// blocks, keep a partly filled block and a 64-bit bit count between calls, pad the last
// block the same way, and differ only in the compression function and the byte order of
// the length. Internal to the digest code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Feeds `size` bytes into `context` (fields block[64], fill, bit_length, state). Whole
// blocks go to `compress(state, blocks, count)` straight from `data`; only a block that
// straddles two calls is copied.
template <typename Context, typename Compress>
void feed_blocks(Context& context, const unsigned char* data, std::size_t size, Compress compress) {
    if (size == 0) return;
    if (context.fill != 0) {
        const std::size_t take = size < 64 - context.fill ? size : 64 - context.fill;
        std::memcpy(context.block + context.fill, data, take);
        context.fill += static_cast<std::uint32_t>(take);
        data += take;
        size -= take;
        if (context.fill < 64) return;
        compress(context.state, context.block, 1);
        context.bit_length += 512;
        context.fill = 0;
    }
    const std::size_t blocks = size / 64;
    if (blocks != 0) {
        compress(context.state, data, blocks);
        context.bit_length += static_cast<std::uint64_t>(blocks) * 512;
        data += blocks * 64;
        size -= blocks * 64;
    }
    if (size != 0) {
        std::memcpy(context.block, data, size);
        context.fill = static_cast<std::uint32_t>(size);
    }
}

enum class LengthOrder { little_endian, big_endian };

// Ends the message in `context`: the byte 0x80, zeros up to the last 8 bytes of a block,
// then the message length in bits in `order`, compressed with `compress` (one block, or
// two when fewer than 9 bytes are left in the current one). The context must be started
// again before it is reused.
template <typename Context, typename Compress>
void pad_last_block(Context& context, Compress compress, LengthOrder order) {
    const std::uint32_t fill = context.fill;
    context.block[fill] = 0x80;
    if (fill >= 56) {
        std::memset(context.block + fill + 1, 0, 63 - fill);
        compress(context.state, context.block, 1);
        std::memset(context.block, 0, 56);
    } else {
        std::memset(context.block + fill + 1, 0, 55 - fill);
    }
    context.bit_length += static_cast<std::uint64_t>(fill) * 8;
    for (int i = 0; i < 8; ++i) {
        const int shift = order == LengthOrder::little_endian ? 8 * i : 56 - 8 * i;
        context.block[56 + i] = static_cast<unsigned char>(context.bit_length >> shift);
    }
    compress(context.state, context.block, 1);
}
