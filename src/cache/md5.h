// MD5 message digest (RFC 1321), used to name cache files of codecs whose
// streams carry no signature of their own.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace trakmap {

struct Md5Context {
    std::uint64_t bitCount = 0;             // bits fed so far
    std::array<std::uint32_t, 4> state{};   // chaining words A, B, C, D
    std::array<std::uint8_t, 64> block{};   // bytes of the block being filled
    std::array<std::uint8_t, 16> digest{};  // the result, set by md5Final
};

void md5Init(Md5Context& context);
void md5Update(Md5Context& context, std::span<const std::uint8_t> bytes);
// Pads, finishes and returns the 16-byte digest (also left in context.digest).
std::array<std::uint8_t, 16> md5Final(Md5Context& context);

}  // namespace trakmap
