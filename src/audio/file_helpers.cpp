#include "audio/file_helpers.h"

#include <algorithm>

namespace trakmap {

namespace {

std::uint64_t failingReadsFrom = kNoFailingReads;

}  // namespace

void* allocBlock(std::uint32_t size) { return platformHeapAlloc(size, false); }

void* allocZeroedBlock(std::uint32_t size) { return platformHeapAlloc(size, true); }

bool freeBlock(void* block) { return platformHeapFree(block); }

bool openFileMode(NativeFile* file, const PathChar* path, unsigned mode) {
    *file = platformOpenFile(path, mode);
    return *file != kInvalidFile;
}

std::uint32_t readChunked(NativeFile file, void* buffer, std::uint32_t count) {
    if (file == kInvalidFile) return 0;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::uint32_t total = 0;
    while (total < count) {
        std::uint32_t piece = std::min<std::uint32_t>(count - total, 1024);
        std::uint32_t got = 0;
        if (!platformReadFile(file, bytes + total, piece, &got)) break;
        // A successful read of nothing means the file ended (it may have shrunk).
        if (got == 0) break;
        total += got;
    }
    return total;
}

bool readExactlyAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) || offset + count > failingReadsFrom) return false;
    std::uint32_t got = 0;
    return platformSeekFile(file, static_cast<std::int64_t>(offset), SeekFrom::begin) &&
           platformReadFile(file, buffer, count, &got) && got == count;
}

void setFailingReadsFrom(std::uint64_t offset) { failingReadsFrom = offset; }

std::uint32_t writeBlock(NativeFile file, const void* buffer, std::uint32_t count) {
    if (file == kInvalidFile) return 0;
    std::uint32_t written = 0;
    if (!platformWriteFile(file, buffer, count, &written)) return 0;
    return written;
}

std::int64_t getFileSize64(NativeFile file) {
    std::int64_t size = 0;
    if (!platformFileSize(file, &size)) return 0;
    return size;
}

HeapBytes readWholeFile(const PathChar* path, std::uint32_t* size) {
    *size = 0;
    NativeFile raw = kInvalidFile;
    if (!openFileMode(&raw, path, kOpenRead)) return nullptr;
    UniqueFile file(raw);
    std::int64_t fullSize = getFileSize64(file.get());
    // Only the low 32 bits would be kept: refuse files of 4 GiB or more.
    if (fullSize <= 0 || fullSize >= (std::int64_t{1} << 32) - 1) return nullptr;
    auto length = static_cast<std::uint32_t>(fullSize);
    HeapBytes block(static_cast<std::uint8_t*>(allocBlock(length + 1)));
    if (!block) return nullptr;
    std::uint32_t got = readChunked(file.get(), block.get(), length);
    // Bytes the read did not deliver are zeroed rather than left undefined.
    std::fill(block.get() + got, block.get() + length + 1, std::uint8_t{0});
    *size = length;
    return block;
}

}  // namespace trakmap
