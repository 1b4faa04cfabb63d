// APEv2 tags, which taggers put behind the audio: items, then a 32-byte
// footer, with an optional 32-byte header in front. Only their extent is read.
#pragma once

#include <cstdint>
#include <span>

namespace trakmap {

inline constexpr std::uint32_t kApeTagFooterBytes = 32;

// The whole length of the tag that ends with the 32 bytes `footer` (header,
// items and footer); 0 when they are not an APEv2 footer.
std::uint64_t apeTagLength(std::span<const std::uint8_t> footer);

}  // namespace trakmap
