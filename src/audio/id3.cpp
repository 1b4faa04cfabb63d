#include "audio/id3.h"

#include <cstring>

#include "audio/file_helpers.h"

namespace trakmap {

namespace {

constexpr std::uint8_t kFooterFlag = 0x10;
// Taggers now and then leave more than one tag; a few are enough for any file.
constexpr int kMostId3v2Tags = 4;

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

std::optional<std::uint64_t> dataBehindId3v2Tags(NativeFile file, std::uint64_t fileSize) {
    std::uint64_t start = 0;
    for (int tags = 0; tags < kMostId3v2Tags; ++tags) {
        std::uint8_t header[kId3v2HeaderBytes];
        if (start + kId3v2HeaderBytes > fileSize || !readExactlyAt(file, start, header, kId3v2HeaderBytes)) break;
        std::uint64_t length = id3v2TagLength(header);
        if (length == 0) break;
        if (length > fileSize - start) return std::nullopt;
        start += length;
    }
    return start;
}

bool isId3v1Tag(std::span<const std::uint8_t> tail) {
    return tail.size() == kId3v1TagBytes && std::memcmp(tail.data(), "TAG", 3) == 0;
}

}  // namespace trakmap
