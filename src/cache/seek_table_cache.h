// On-disk store of finished seek tables, one small scrambled and checksummed
// file per codec letter ('F' FLAC, 'W' WavPack) and 16-byte digest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// A hit gives the record; a missing, damaged or foreign file is a miss, and
// so is one that is a link or not a regular file.
std::optional<SeekTableRecord> loadSeekTable(char letter, const Digest& digest);

// Stores `table` (at least one entry) under the letter and digest, replacing
// any earlier file. Failures are silent (but for a folder that refuses to be
// written, see setSeekTableCacheNotice): the table is then not stored.
void storeSeekTable(std::span<const SeekPoint> table, const Digest& digest, char letter,
                    std::uint32_t maxFrameSamples, std::uint32_t maxFrameBytes,
                    std::uint32_t totalSamples);

// The cache file's path for a letter and digest, creating its two folders on
// the way (and the root with its parents when it is missing). False (and no
// folder created) when the path would not fit kMaxPath.
bool seekTableCachePath(PathString* path, char letter, const Digest& digest);

// CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no reflection, no
// final XOR) of `bytes`.
std::uint32_t cacheChecksum(std::span<const std::uint8_t> bytes);

// XORs `bytes` in place with the 16-byte cache key, key byte 0 on bytes[0]; the
// same call undoes it.
void scrambleCacheBody(std::span<std::uint8_t> bytes);

// Receives, once per run, the reason why seek tables are not cached (no
// cache folder can be made or written, or one is unsafe to use). Unset,
// nothing is said.
using CacheNotice = void (*)(std::string_view text);
void setSeekTableCacheNotice(CacheNotice notice);

// For probes run on several threads whose words the user reads in the order
// of the files: while `held` is set on a thread (null unsets it), what the
// cache would tell the user on that thread is appended to it instead, and
// counts as not told. giveSeekTableCacheNotice tells a held text later, unless
// the run was told one already. The cache may be used from several threads
// at once.
void holdSeekTableCacheNotices(std::vector<std::string>* held);
void giveSeekTableCacheNotice(std::string_view text);

// Test seam: when set, cache files live below `root` instead of the system's
// application-data folders. An empty root restores the system folders. The
// environment variable TRAKMAP_CACHE_ROOT does the same for a whole process
// (the end-to-end tests run the tool that way).
void setSeekTableCacheRoot(const PathString& root);

}  // namespace trakmap
