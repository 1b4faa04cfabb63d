#include "cue/model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

namespace trakmap {

namespace {

// Every block keeps 8 bytes back, as the arena's header once did.
constexpr std::uint32_t kBlockReserve = 8;
constexpr std::uint32_t kMaxBlockSize = 64u << 20;

bool chainBlock(TextArena& arena) {
    HeapBytes block(static_cast<std::uint8_t*>(allocZeroedBlock(arena.blockSize)));
    if (!block) return false;
    arena.nextFree = block.get();
    arena.bytesLeft = arena.blockSize - kBlockReserve;
    arena.blocks.push_back(std::move(block));
    return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct TypeWord {
    const char* match;
    const char* written;
    std::uint32_t code;
};

constexpr TypeWord kFileTypes[] = {
    {"binary", "BINARY", kFileBinary}, {"motorola", "MOTOROLA", kFileMotorola},
    {"aiff", "AIFF", kFileAiff},       {"wave", "WAVE", kFileWave},
    {"mp3", "MP3", kFileMp3},
};

struct TrackTypeWord {
    const char* match;
    const char* written;
    std::uint32_t sectorSize;
};

// Indexed by track type code.
constexpr TrackTypeWord kTrackTypes[] = {
    {nullptr, "Unknown", 0},          {"audio", "AUDIO", 2352},
    {"cdg", "CDG", 2448},             {"mode1/2048", "MODE1/2048", 2048},
    {"mode1/2352", "MODE1/2352", 2352}, {"mode2/2336", "MODE2/2336", 2336},
    {"mode2/2352", "MODE2/2352", 2352}, {"cdi/2336", "CDI/2336", 2336},
    {"cdi/2352", "CDI/2352", 2352},
};

}  // namespace

bool arenaCreate(TextArena& arena, std::uint32_t blockSize) {
    if (blockSize == 0) blockSize = 4096;
    blockSize = std::clamp<std::uint32_t>(blockSize, 1024, kMaxBlockSize);
    arena = TextArena{};
    arena.blockSize = blockSize;
    return chainBlock(arena);
}

char* arenaAlloc(TextArena& arena, std::uint32_t n) {
    if (arena.blockSize == 0 || n > arena.blockSize - kBlockReserve) return nullptr;
    // The rest of a block that cannot take the request is abandoned.
    if (n > arena.bytesLeft && !chainBlock(arena)) return nullptr;
    char* text = reinterpret_cast<char*>(arena.nextFree);
    arena.nextFree += n;
    arena.bytesLeft -= n;
    return text;
}

const char* arenaCopy(TextArena& arena, std::string_view text) {
    if (text.size() >= UINT32_MAX) return nullptr;
    char* copy = arenaAlloc(arena, static_cast<std::uint32_t>(text.size()) + 1);
    if (copy != nullptr) std::memcpy(copy, text.data(), text.size());
    return copy;
}

std::uint32_t sectorSizeOf(std::uint32_t trackType) {
    if (trackType < 1 || trackType > 8) return 0;
    return kTrackTypes[trackType].sectorSize;
}

CueFileType fileTypeFromWord(std::string_view word) {
    for (const TypeWord& entry : kFileTypes)
        if (equalsIgnoringCase(word, entry.match)) return static_cast<CueFileType>(entry.code);
    return kFileWave;
}

CueTrackType trackTypeFromWord(std::string_view word) {
    for (std::uint32_t code = 1; code <= 8; ++code)
        if (equalsIgnoringCase(word, kTrackTypes[code].match)) return static_cast<CueTrackType>(code);
    return kTrackUnknown;
}

const char* fileTypeWord(std::uint32_t fileType) {
    for (const TypeWord& entry : kFileTypes)
        if (entry.code == fileType) return entry.written;
    return "Unknown";
}

const char* trackTypeWord(std::uint32_t trackType) {
    return trackType <= 8 ? kTrackTypes[trackType].written : "Unknown";
}

std::string formatMsf(std::int64_t frames) {
    const char* sign = frames < 0 ? "-" : "";
    // The magnitude, kept unsigned so the most negative count has one too.
    std::uint64_t v = frames < 0 ? 0 - static_cast<std::uint64_t>(frames) : static_cast<std::uint64_t>(frames);
    char text[64];
    std::snprintf(text, sizeof text, "%s%02llu:%02llu:%02llu", sign, static_cast<unsigned long long>(v / 4500),
                  static_cast<unsigned long long>(v / 75 % 60), static_cast<unsigned long long>(v % 75));
    return text;
}

std::unique_ptr<CueSheet> createCueSheet() {
    std::unique_ptr<CueSheet> sheet(new (std::nothrow) CueSheet());
    if (!sheet || !arenaCreate(sheet->arena, kSheetArenaBlockSize)) return nullptr;
    return sheet;
}

}  // namespace trakmap
