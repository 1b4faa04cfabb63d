#include "cache/md5.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "audio/byte_order.h"

namespace trakmap {

namespace {

// Per-step shift amounts and the sine-derived constants of the four rounds.
constexpr std::uint8_t kShifts[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void transform(std::array<std::uint32_t, 4>& state, const std::uint8_t* block) {
    std::uint32_t words[16];
    for (int i = 0; i < 16; ++i) words[i] = loadLe32(block + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t mix;
        int index;
        switch (i / 16) {
            case 0: mix = (b & c) | (~b & d); index = i; break;
            case 1: mix = (d & b) | (~d & c); index = (5 * i + 1) % 16; break;
            case 2: mix = b ^ c ^ d; index = (3 * i + 5) % 16; break;
            default: mix = c ^ (b | ~d); index = (7 * i) % 16; break;
        }
        std::uint32_t next = d;
        d = c;
        c = b;
        b += std::rotl(a + mix + kSines[i] + words[index], kShifts[i]);
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5Init(Md5Context& context) {
    context = Md5Context{};
    context.state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
}

void md5Update(Md5Context& context, std::span<const std::uint8_t> bytes) {
    std::size_t used = (context.bitCount / 8) % 64;
    context.bitCount += std::uint64_t{bytes.size()} * 8;
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    if (used > 0) {
        std::size_t take = std::min(left, 64 - used);
        std::memcpy(context.block.data() + used, data, take);
        data += take;
        left -= take;
        if (used + take < 64) return;
        transform(context.state, context.block.data());
    }
    for (; left >= 64; data += 64, left -= 64) transform(context.state, data);
    if (left > 0) std::memcpy(context.block.data(), data, left);
}

std::array<std::uint8_t, 16> md5Final(Md5Context& context) {
    std::uint64_t bitCount = context.bitCount;
    std::size_t used = (bitCount / 8) % 64;
    // A 1 bit, zeros up to 56 bytes mod 64, then the bit count little-endian.
    std::uint8_t padding[72] = {0x80};
    std::size_t padBytes = used < 56 ? 56 - used : 120 - used;
    md5Update(context, std::span(padding, padBytes));
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(bitCount >> (8 * i));
    md5Update(context, length);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            context.digest[4 * i + j] = static_cast<std::uint8_t>(context.state[i] >> (8 * j));
    return context.digest;
}

}  // namespace trakmap
