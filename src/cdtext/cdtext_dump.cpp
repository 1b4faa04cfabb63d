#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "cdtext/cdtext.h"
#include "cdtext/cdtext_packs.h"
#include "platform/text_escape.h"

namespace trakmap {

namespace {

constexpr unsigned kTrackRows = 128;  // track numbers 0 to 127
constexpr unsigned kTypeColumns = 16; // pack types 0x80 to 0x8F
constexpr std::uint8_t kFirstTextType = 0x80;
constexpr std::uint8_t kLastTextType = 0x8E;
constexpr std::uint8_t kExtensionFlag = 0x80;

// Strings gathered per track and pack type; a string split over packs is
// joined here, since its second part opens the next pack under the same track.
using StringTable = std::vector<std::string>;

std::string& cell(StringTable& table, unsigned track, unsigned column) {
    return table[track * kTypeColumns + column];
}

// Adds the strings of one pack to the table: the first belongs to the pack's
// track, each following one to the next track.
void collectPack(const std::uint8_t* pack, StringTable& table) {
    std::array<char, kCdTextPackTextBytes + 1> text{};
    std::memcpy(text.data(), pack + kCdTextPackTextOffset, kCdTextPackTextBytes);
    const unsigned column = pack[0] - kFirstTextType;
    unsigned track = pack[1];
    std::size_t position = 0;
    while (position < kCdTextPackTextBytes) {
        const std::size_t length = std::strlen(text.data() + position);
        if (length > 0) cell(table, track, column).append(text.data() + position, length);
        position += length + 1;
        if (++track >= kTrackRows) break;
    }
}

void printCell(std::FILE* out, unsigned type, unsigned track, const std::string& text) {
    std::fprintf(out, "%02X: Track%u ", type, track);
    writeReportText(out, text);
    std::fputs(" \n    HEX=", out);
    for (char byte : text) std::fprintf(out, "%02X", static_cast<unsigned>(static_cast<unsigned char>(byte)));
    std::fputc('\n', out);
}

}  // namespace

void dumpCdText(std::span<const std::uint8_t> packs, std::FILE* out) {
    const std::size_t packCount = packs.size() / kCdTextPackBytes;
    if (packCount == 0) return;

    StringTable table(kTrackRows * kTypeColumns);
    // Block 0 ends at its size information (or at anything that is not text).
    for (std::size_t i = 0; i < packCount; ++i) {
        const std::uint8_t* pack = packs.data() + i * kCdTextPackBytes;
        if (pack[0] < kFirstTextType || pack[0] > kLastTextType || (pack[1] & kExtensionFlag) != 0) break;
        collectPack(pack, table);
    }

    for (unsigned column = 0; column < kTypeColumns; ++column)
        for (unsigned track = 0; track < kTrackRows; ++track) {
            const std::string& text = cell(table, track, column);
            if (!text.empty()) printCell(out, kFirstTextType + column, track, text);
        }
}

}  // namespace trakmap
