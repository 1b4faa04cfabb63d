// Writing CD-TEXT packs: the builder's input record, the pack writer and the
// size information that closes block 0.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "cdtext/cdtext.h"
#include "cue/model.h"

namespace trakmap {

inline constexpr std::uint32_t kCdTextHeaderBytes = 4;
inline constexpr std::uint32_t kCdTextPackBytes = 18;
inline constexpr std::uint32_t kCdTextPackTextOffset = 4;
inline constexpr std::uint32_t kCdTextPackTextBytes = 12;
// Blocks of the arena that holds the builder's copies of the sheet's texts.
inline constexpr std::uint32_t kCdTextArenaBlockSize = 8192;

enum CdTextPackType : std::uint8_t {
    kPackTitle = 0x80,
    kPackPerformer = 0x81,
    kPackComposer = 0x83,
    kPackCodes = 0x8E,  // UPC/EAN for the disc, ISRC for a track
    kPackSizeInfo = 0x8F,
};

struct CdTextTrack {
    CueText title = nullptr;
    CueText performer = nullptr;
    CueText composer = nullptr;
    CueText isrc = nullptr;
};

// What goes on the disc, with copies of the sheet's strings in its own arena.
struct CdTextSource {
    TextArena arena;
    CueText title = nullptr;
    CueText performer = nullptr;
    CueText composer = nullptr;
    CueText catalog = nullptr;
    std::vector<CdTextTrack> tracks;
};

// The 36 bytes carried by the three size-information packs.
struct CdTextSizeInfo {
    std::uint8_t characterCode = 0;  // ISO 8859-1
    std::uint8_t firstTrack = 1;
    std::uint8_t lastTrack = 0;
    std::uint8_t flags = 0;
    std::uint8_t packCounts[16] = {};    // packs of types 0x80 to 0x8F
    std::uint8_t lastSequence[8] = {};   // per block
    std::uint8_t languageCodes[8] = {};  // per block
};

struct CdTextPackWriter {
    std::uint8_t* pack = nullptr;    // the current pack
    std::uint8_t* cursor = nullptr;  // next text byte of the open pack; null when none is open
    std::uint32_t sequence = 0;      // running pack counter, stored in its low 8 bits
    CdTextSizeInfo sizeInfo;
};

// The packs of block 0 behind the 4-byte header, sized exactly; empty when the
// source has no disc title, when the buffer would pass 4 GiB, or without memory.
CdTextBuffer encodeCdTextPacks(const CdTextSource& source);

// Appends `text` and its terminating zero to the packs of `type`, opening packs
// as needed. A pack left partly filled stays open for the next string.
void writeCdTextString(CdTextPackWriter& writer, std::string_view text, std::uint8_t type,
                       std::uint8_t track);

// Finishes the open pack, if any: zero text after the last byte written, CRC,
// and the following pack becomes current.
void closeCdTextPack(CdTextPackWriter& writer);

// Writes the three size-information packs at the current pack, with the last
// sequence number and the language code of block 0 filled in.
void writeCdTextSizeInfo(CdTextPackWriter& writer);

}  // namespace trakmap
