#include "audio/id3.h"

#include <cstring>

namespace trakmap {

namespace {

constexpr std::uint8_t kFooterFlag = 0x10;

}  // namespace

std::uint64_t id3v2TagLength(std::span<const std::uint8_t> header) {
    if (header.size() < kId3v2HeaderBytes || std::memcmp(header.data(), "ID3", 3) != 0) return 0;
    // Version and revision bytes are never 0xFF; every size byte keeps its
    // top bit clear (a syncsafe number of 28 bits).
    if (header[3] == 0xFF || header[4] == 0xFF) return 0;
    std::uint64_t size = 0;
    for (int i = 6; i < 10; ++i) {
        if (header[static_cast<std::size_t>(i)] & 0x80) return 0;
        size = size << 7 | header[static_cast<std::size_t>(i)];
    }
    bool footer = (header[5] & kFooterFlag) != 0;
    return kId3v2HeaderBytes + size + (footer ? kId3v2HeaderBytes : 0);
}

bool isId3v1Tag(std::span<const std::uint8_t> tail) {
    return tail.size() == kId3v1TagBytes && std::memcmp(tail.data(), "TAG", 3) == 0;
}

}  // namespace trakmap
