// Heap blocks and file access shared by the probes, the cache and CD-TEXT.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace trakmap {

// Process-heap blocks, released by freeBlock whoever allocated them.
void* allocBlock(std::uint32_t size);
void* allocZeroedBlock(std::uint32_t size);
bool freeBlock(void* block);

struct BlockDeleter {
    void operator()(void* block) const { freeBlock(block); }
};
// Owner of a process-heap block.
template <class T>
using HeapPtr = std::unique_ptr<T, BlockDeleter>;
using HeapBytes = HeapPtr<std::uint8_t[]>;

// Mode bits as in platform.h: kOpenRead, kOpenWrite, kOpenCreate. `file`
// receives the handle, kInvalidFile on failure.
bool openFileMode(NativeFile* file, const PathChar* path, unsigned mode);

// Reads up to `count` bytes in pieces of at most 1024 bytes; stops at the first
// failed or empty read. Returns the bytes read (0 for kInvalidFile).
std::uint32_t readChunked(NativeFile file, void* buffer, std::uint32_t count);

// Reads exactly `count` bytes at `offset`. False when the position cannot be
// set, the read fails, or fewer bytes are there (the file ended or shrank).
bool readExactlyAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count);

// Test seam: reads through readExactlyAt that reach byte `offset` or beyond
// fail, as on a failing disk. kNoFailingReads, the default, turns it off.
inline constexpr std::uint64_t kNoFailingReads = UINT64_MAX;
void setFailingReadsFrom(std::uint64_t offset);

// One write of the whole count; the bytes written (0 on failure).
std::uint32_t writeBlock(NativeFile file, const void* buffer, std::uint32_t count);

// The file's size; 0 when it cannot be had.
std::int64_t getFileSize64(NativeFile file);

// The whole file in a new block one byte longer than the file, that byte zero.
// Null for a missing, empty or 4 GiB-or-larger file, or without memory.
HeapBytes readWholeFile(const PathChar* path, std::uint32_t* size);

}  // namespace trakmap
