// On-disk store of finished seek tables, one small scrambled and checksummed
// file per codec letter ('F' FLAC, 'W' WavPack) and 16-byte digest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/audio_info.h"
#include "platform/platform.h"

namespace trakmap {

using Digest = std::array<std::uint8_t, 16>;

// The validated contents of one cache file.
struct SeekTableRecord {
    std::uint32_t maxFrameSamples = 0;
    std::uint32_t maxFrameBytes = 0;
    std::uint32_t totalSamples = 0;
    std::vector<SeekPoint> entries;  // entryCount entries, at least one
};

// A hit gives the record; a missing, damaged or foreign file is a miss.
std::optional<SeekTableRecord> loadSeekTable(char letter, const Digest& digest);

// Stores `table` (at least one entry) under the letter and digest, replacing
// any earlier file. Failures are silent: the table is then not stored.
void storeSeekTable(std::span<const SeekPoint> table, const Digest& digest, char letter,
                    std::uint32_t maxFrameSamples, std::uint32_t maxFrameBytes,
                    std::uint32_t totalSamples);

// The cache file's path for a letter and digest, creating its two folders on
// the way. False (and no folder created) when the path would not fit kMaxPath.
bool seekTableCachePath(PathString* path, char letter, const Digest& digest);

// CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no reflection, no
// final XOR) of `bytes`.
std::uint32_t cacheChecksum(std::span<const std::uint8_t> bytes);

// XORs `bytes` in place with the 16-byte cache key, key byte 0 on bytes[0]; the
// same call undoes it.
void scrambleCacheBody(std::span<std::uint8_t> bytes);

// Test seam: when set, cache files live below `root` instead of the system's
// application-data folders. An empty root restores the system folders. The
// environment variable TRAKMAP_CACHE_ROOT does the same for a whole process
// (the end-to-end tests run the tool that way).
void setSeekTableCacheRoot(const PathString& root);

}  // namespace trakmap
