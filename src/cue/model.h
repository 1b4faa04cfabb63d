// The in-memory form of one parsed cue sheet. Positions, gaps and lengths are
// signed 32-bit counts of CD frames (75 a second); -1 marks an absent position
// or file index; an absent text is a null pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_info.h"
#include "audio/probe_result.h"
#include "audio/file_helpers.h"

namespace trakmap {

// Chained zero-filled heap blocks from which texts are carved; texts are never
// freed one by one, only with the whole arena.
struct TextArena {
    std::vector<HeapBytes> blocks;  // the first block, then every block chained behind it
    std::uint8_t* nextFree = nullptr;
    std::uint32_t bytesLeft = 0;
    std::uint32_t blockSize = 0;
};

// Sets up the arena and its first block. A block size of 0 becomes 4096, one
// below 1024 becomes 1024, one above 64 MiB becomes 64 MiB. False without memory.
bool arenaCreate(TextArena& arena, std::uint32_t blockSize);
// n zero-filled bytes, unaligned; null when n exceeds a block's room (block
// size - 8) or memory cannot be had.
char* arenaAlloc(TextArena& arena, std::uint32_t n);
// A zero-terminated copy of `text`; null when it cannot be allocated.
const char* arenaCopy(TextArena& arena, std::string_view text);

enum CueFileType : std::uint32_t {
    kFileUnknown = 0,
    kFileBinary = 1,
    kFileMotorola = 2,
    kFileAiff = 3,
    kFileWave = 4,
    kFileMp3 = 5,
};

enum CueTrackType : std::uint32_t {
    kTrackUnknown = 0,
    kTrackAudio = 1,
    kTrackCdg = 2,
    kTrackMode1_2048 = 3,
    kTrackMode1_2352 = 4,
    kTrackMode2_2336 = 5,
    kTrackMode2_2352 = 6,
    kTrackCdi2336 = 7,
    kTrackCdi2352 = 8,
};

// Bytes per sector of a track type; 0 for codes outside 1-8.
std::uint32_t sectorSizeOf(std::uint32_t trackType);
// Words matched without regard to case; unknown file words are WAVE, unknown
// track words are code 0.
CueFileType fileTypeFromWord(std::string_view word);
CueTrackType trackTypeFromWord(std::string_view word);
// The words written back ("Unknown" for codes without a word).
const char* fileTypeWord(std::uint32_t fileType);
const char* trackTypeWord(std::uint32_t trackType);

// A frame count as MM:SS:FF for messages (minutes not wrapped; a negative
// count gets a leading "-").
std::string formatMsf(std::int64_t frames);

using CueText = const char*;  // zero-terminated, in the sheet's arena; null = absent

struct CueTrack {
    std::int32_t pregap = 0;
    std::int32_t index0 = -1;
    std::int32_t index1 = -1;
    std::int32_t postgap = 0;
    std::int32_t leadOut = 0;  // REM LEAD-OUT within the file; for the last track the absolute lead-out
    std::int32_t session = 0;
    std::int32_t absIndex0 = -1;
    std::int32_t absIndex1 = -1;
    std::int32_t index0File = -1;
    std::int32_t index1File = -1;
    std::int32_t length = 0;
    std::uint32_t type = kTrackUnknown;
    std::uint32_t sectorSize = 0;
    CueText title = nullptr;
    CueText performer = nullptr;
    CueText songwriter = nullptr;
    CueText composer = nullptr;
    CueText arranger = nullptr;
    CueText message = nullptr;
    CueText isrc = nullptr;  // in the disc record: the CATALOG number
};

struct CueFile {
    CueText name = nullptr;
    std::uint32_t type = kFileUnknown;
    // What the probe found, without its seek table (nothing reads that after
    // the probe); null when the file was not probed or is not CD audio.
    AudioInfoPtr audioInfo;
    Measure measure = Measure::bySize;  // how the layout measures the file
    std::uint32_t frames = 0;           // its length in CD frames, as the probe measured it
    std::uint64_t size = 0;
    std::uint64_t bytesUsed = 0;
    std::uint32_t framesUsed = 0;
};

struct CueSheet {
    TextArena arena;
    CueText discId = nullptr;
    CueText genre = nullptr;
    CueText date = nullptr;
    CueText comment = nullptr;
    CueText cdTextFile = nullptr;
    CueTrack disc;
    std::vector<CueTrack> tracks;
    std::vector<CueFile> files;
    // The sheet began with a UTF-8 byte-order mark: its names are UTF-8.
    bool utf8 = false;
};

inline constexpr std::uint32_t kSheetArenaBlockSize = 10240;

// An empty sheet with its arena; null without memory.
std::unique_ptr<CueSheet> createCueSheet();

}  // namespace trakmap
