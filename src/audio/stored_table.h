// Tables that a container stores in the file (seek tables, frame sizes,
// packet sizes and durations), read a piece at a time: what a probe holds
// while it walks one is a fixed buffer, never something sized by the count a
// header claims. Several readers may walk tables of the same file at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace trakmap {

struct StoredTable {
    NativeFile file = kInvalidFile;
    std::uint64_t position = 0;     // file offset of the next entry to load
    std::uint64_t entriesLeft = 0;  // entries not yet handed out
    std::uint32_t entryBytes = 1;
    std::unique_ptr<std::uint8_t[]> piece;
    std::uint32_t pieceAt = 0;      // next entry's offset in the piece
    std::uint32_t pieceBytes = 0;   // bytes of the piece that hold entries
    bool cutShort = false;          // the file ended before the table did
    bool readFailed = false;        // a read failed before the table ended
};

// A reader over `count` entries of `entryBytes` bytes (1 to 64) starting at
// byte `position` of `file`.
StoredTable openStoredTable(NativeFile file, std::uint64_t position, std::uint64_t count,
                            std::uint32_t entryBytes);

// The next entry's bytes, valid until the next call; null once the table is
// done or when it cannot be read further (cutShort or readFailed then says why).
const std::uint8_t* nextEntry(StoredTable& table);

// A file whose data stops before its own tables say: "cut short: <subject>
// byte <reached> of a <fileSize>-byte file (<there> of <claimed> samples
// there)", the subject being, say, "its frame table reaches".
std::string cutShortReason(const std::string& subject, std::uint64_t reached, std::uint64_t fileSize,
                           std::uint64_t samplesThere, std::uint64_t samplesClaimed);

// "<what>: the file is damaged".
std::string damagedReason(const std::string& what);

}  // namespace trakmap
