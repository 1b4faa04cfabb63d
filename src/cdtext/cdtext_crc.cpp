#include "cdtext/cdtext_crc.h"

#include <array>

namespace trakmap {

namespace {

constexpr std::uint16_t kPolynomial = 0x1021;

constexpr std::array<std::uint16_t, 256> makeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) ? (crc << 1) ^ kPolynomial : crc << 1;
        table[byte] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = makeCrcTable();

}  // namespace

std::uint16_t cdTextPackCrc(std::span<const std::uint8_t> bytes) {
    unsigned crc = 0;
    for (std::uint8_t byte : bytes) crc = ((crc << 8) ^ kCrcTable[((crc >> 8) ^ byte) & 0xFFu]) & 0xFFFFu;
    return static_cast<std::uint16_t>(~crc);
}

void sealCdTextPack(std::uint8_t* pack) {
    std::uint16_t crc = cdTextPackCrc(std::span<const std::uint8_t>(pack, 16));
    pack[16] = static_cast<std::uint8_t>(crc >> 8);
    pack[17] = static_cast<std::uint8_t>(crc & 0xFFu);
}

}  // namespace trakmap
