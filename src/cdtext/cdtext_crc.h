// The check word of a CD-TEXT pack: CRC-16/GSM (polynomial 0x1021, initial
// value 0, no reflection, result inverted), stored high byte first.
#pragma once

#include <cstdint>
#include <span>

namespace trakmap {

// CRC-16/GSM of `bytes`; a pack's check word covers its first 16 bytes.
std::uint16_t cdTextPackCrc(std::span<const std::uint8_t> bytes);

// Sets bytes 16 and 17 of an 18-byte pack to the CRC of bytes 0 to 15.
void sealCdTextPack(std::uint8_t* pack);

}  // namespace trakmap
