#include "audio/wavpack.h"

#include <cstring>
#include <vector>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"
#include "cache/md5.h"
#include "cache/seek_table_cache.h"

namespace trakmap {

namespace {

// The file's first MiB names its cache entry and holds the first block.
constexpr std::uint32_t kScanBytes = 1048576;
constexpr std::uint32_t kBlockHeaderBytes = 32;
constexpr std::uint32_t kBlockSizeBias = 8;  // the size field leaves out id and size
constexpr std::uint32_t kBlockSamplesAt = 20;
constexpr std::uint32_t kFlagsAt = 24;
constexpr std::uint64_t kOffsetLimit = std::uint64_t{1} << 32;
constexpr std::size_t kReservedPoints = 3000;
constexpr char kCacheLetter = 'W';

bool isBlockId(const std::uint8_t* p) { return std::memcmp(p, "wvpk", 4) == 0; }

// The first offset that starts a block with samples whose flags lie inside
// the buffer, or -1.
std::int64_t findFirstBlock(const std::uint8_t* buffer) {
    for (std::uint32_t p = 0; p + kFlagsAt + 4 <= kScanBytes; ++p) {
        const void* found = std::memchr(buffer + p, 'w', kScanBytes - kFlagsAt - 4 - p + 1);
        if (found == nullptr) return -1;
        p = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) - buffer);
        if (isBlockId(buffer + p) && loadLe32(buffer + p + kBlockSamplesAt) != 0) return p;
    }
    return -1;
}

// Only CD audio: 44100 Hz (rate index 9), two channels, two bytes a sample.
bool isCdFormat(std::uint32_t flags) {
    std::uint32_t rateIndex = (flags >> 23) & 0xF;
    bool mono = (flags & 4) != 0;
    std::uint32_t bytesPerSample = (flags & 3) + 1;
    return rateIndex == 9 && !mono && bytesPerSample == 2;
}

struct BlockWalk {
    std::vector<SeekPoint> points;
    std::uint32_t totalSamples = 0;
    std::uint32_t maxFrameBytes = 0;
    std::uint32_t maxFrameSamples = 0;
};

// Steps from block to block until a read falls short, a byte that does not
// start a block, or a block whose end would not fit a 32-bit offset; the
// closing point marks where the walk stopped.
BlockWalk walkBlocks(NativeFile file, std::uint32_t firstBlock) {
    BlockWalk walk;
    walk.points.reserve(kReservedPoints);
    std::uint64_t position = firstBlock;
    for (;;) {
        std::uint8_t header[kBlockHeaderBytes];
        std::uint32_t got = 0;
        if (!platformSeekFile(file, static_cast<std::int64_t>(position), SeekFrom::begin) ||
            !platformReadFile(file, header, kBlockHeaderBytes, &got) || got < kBlockHeaderBytes ||
            !isBlockId(header))
            break;
        std::uint32_t blockSize = loadLe32(header + 4);
        std::uint64_t next = position + blockSize + kBlockSizeBias;
        if (next >= kOffsetLimit) break;
        std::uint32_t blockSamples = loadLe32(header + kBlockSamplesAt);
        if (blockSamples != 0) {
            std::uint32_t blockBytes = blockSize + kBlockSizeBias;
            if (blockBytes > walk.maxFrameBytes) walk.maxFrameBytes = blockBytes;
            if (blockSamples > walk.maxFrameSamples) walk.maxFrameSamples = blockSamples;
            walk.points.push_back({walk.totalSamples, static_cast<std::uint32_t>(position)});
            walk.totalSamples += blockSamples;
        }
        position = next;
    }
    walk.points.push_back({walk.totalSamples, static_cast<std::uint32_t>(position)});
    return walk;
}

Digest digestOf(const std::uint8_t* buffer) {
    Md5Context context;
    md5Init(context);
    md5Update(context, std::span<const std::uint8_t>(buffer, kScanBytes));
    return md5Final(context);
}

AudioInfoPtr measureWavPack(NativeFile file) {
    std::int64_t fileSize = getFileSize64(file);
    if (fileSize < 0 || static_cast<std::uint64_t>(fileSize) >= kOffsetLimit) return nullptr;

    HeapBytes buffer(static_cast<std::uint8_t*>(allocBlock(kScanBytes)));
    if (!buffer) return nullptr;
    std::uint32_t got = 0;
    if (!platformReadFile(file, buffer.get(), kScanBytes, &got) || got < kScanBytes) return nullptr;
    Digest digest = digestOf(buffer.get());

    AudioInfoPtr info = newAudioInfo(kCodecWavPack);
    if (!info) return nullptr;
    // A cached table is taken as it stands, without looking at the blocks.
    if (std::optional<SeekTableRecord> cached = loadSeekTable(kCacheLetter, digest)) {
        if (!assignSeekPoints(*info, cached->entries)) return nullptr;
        info->totalSamples = cached->totalSamples;
        info->maxFrameBytes = cached->maxFrameBytes;
        info->maxFrameSamples = cached->maxFrameSamples;
        return info;
    }

    std::int64_t firstBlock = findFirstBlock(buffer.get());
    if (firstBlock < 0 || !isCdFormat(loadLe32(buffer.get() + firstBlock + kFlagsAt))) return nullptr;
    buffer.reset();

    BlockWalk walk = walkBlocks(file, static_cast<std::uint32_t>(firstBlock));
    storeSeekTable(walk.points, digest, kCacheLetter, walk.maxFrameSamples, walk.maxFrameBytes,
                   walk.totalSamples);
    if (!assignSeekPoints(*info, walk.points)) return nullptr;
    info->totalSamples = walk.totalSamples;
    info->maxFrameBytes = walk.maxFrameBytes;
    info->maxFrameSamples = walk.maxFrameSamples;
    return info;
}

}  // namespace

ProbeResult probeWavPack(NativeFile file) {
    AudioInfoPtr info = measureWavPack(file);
    if (!info) return ProbeResult{};
    return cdAudioResult(std::move(info));
}

}  // namespace trakmap
