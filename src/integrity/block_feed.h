// The block bookkeeping that MD5 and SHA-256 share: both take their message in 64-byte
// blocks, keep a partly filled block and a 64-bit bit count between calls, and differ
// only in the compression function. Internal to the digest code.
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
