#include "audio/apev2.h"

#include <cstring>

#include "audio/byte_order.h"

namespace trakmap {

namespace {

constexpr std::uint32_t kHasHeaderFlag = 0x80000000u;
constexpr std::uint32_t kIsHeaderFlag = 0x20000000u;

}  // namespace

std::uint64_t apeTagLength(std::span<const std::uint8_t> footer) {
    if (footer.size() < kApeTagFooterBytes || std::memcmp(footer.data(), "APETAGEX", 8) != 0) return 0;
    std::uint32_t size = loadLe32(footer.data() + 12);  // items and footer, not the header
    std::uint32_t flags = loadLe32(footer.data() + 20);
    // A header standing where the footer should be is no footer, and the size
    // must at least hold the footer itself.
    if ((flags & kIsHeaderFlag) != 0 || size < kApeTagFooterBytes) return 0;
    return std::uint64_t{size} + ((flags & kHasHeaderFlag) != 0 ? kApeTagFooterBytes : 0);
}

}  // namespace trakmap
