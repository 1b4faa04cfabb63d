#include "audio/wavpack.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"
#include "cache/md5.h"
#include "cache/seek_table_cache.h"

namespace trakmap {

namespace {

// The first MiB of a file (all of a smaller one) names its cache entry and
// holds its first block; tests may make the window smaller.
std::uint32_t scanBytes = kWavPackScanBytes;
constexpr std::uint32_t kBlockHeaderBytes = 32;
constexpr std::uint32_t kBlockSizeBias = 8;  // the size field leaves out id and size
constexpr std::uint32_t kTotalSamplesAt = 12;
constexpr std::uint32_t kBlockSamplesAt = 20;
constexpr std::uint32_t kFlagsAt = 24;
constexpr std::uint32_t kUnknownTotal = 0xFFFFFFFF;  // what streaming encoders leave in the total
constexpr std::uint64_t kOffsetLimit = std::uint64_t{1} << 32;
constexpr std::size_t kReservedPoints = 3000;
constexpr char kCacheLetter = 'W';

constexpr std::uint32_t kMonoFlag = 1u << 2;
// A stream of more than two channels spreads each stretch of samples over
// several blocks, from the initial block to the final one.
constexpr std::uint32_t kInitialBlockFlag = 1u << 11;
constexpr std::uint32_t kFinalBlockFlag = 1u << 12;
// The rates that bits 23 to 26 of the flags select; index 15 stands for any other.
constexpr std::uint32_t kSampleRates[15] = {6000,  8000,  9600,  11025, 12000, 16000, 22050, 24000,
                                            32000, 44100, 48000, 64000, 88200, 96000, 192000};
constexpr std::uint32_t kOtherRate = 15;

bool isBlockId(const std::uint8_t* p) { return std::memcmp(p, "wvpk", 4) == 0; }

std::uint32_t rateIndex(std::uint32_t flags) { return (flags >> 23) & 0xF; }
std::uint32_t channelsOf(std::uint32_t flags) { return (flags & kMonoFlag) != 0 ? 1 : 2; }
bool startsMultiChannelFrame(std::uint32_t flags) {
    return (flags & kInitialBlockFlag) != 0 && (flags & kFinalBlockFlag) == 0;
}

// The format the first block's flags give; the channels of a stream of more
// than two are counted by the walk.
AudioFormat formatOf(std::uint32_t flags) {
    AudioFormat format;
    format.sampleRate = rateIndex(flags) == kOtherRate ? 0 : kSampleRates[rateIndex(flags)];
    format.bitsPerSample = ((flags & 3) + 1) * 8;
    format.channels = channelsOf(flags);
    return format;
}

// The first offset of `bytes` that starts a block with samples whose flags
// lie inside it, or -1.
std::int64_t findFirstBlock(std::span<const std::uint8_t> bytes) {
    const std::size_t headerEnd = kFlagsAt + 4;
    if (bytes.size() < headerEnd) return -1;
    const std::size_t lastStart = bytes.size() - headerEnd;
    for (std::size_t p = 0; p <= lastStart; ++p) {
        const void* found = std::memchr(bytes.data() + p, 'w', lastStart - p + 1);
        if (found == nullptr) return -1;
        p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes.data());
        if (isBlockId(bytes.data() + p) && loadLe32(bytes.data() + p + kBlockSamplesAt) != 0)
            return static_cast<std::int64_t>(p);
    }
    return -1;
}

enum class BlockWalkEnd : std::uint8_t {
    fileEnd,     // at the end of the file
    notABlock,   // at bytes that do not start a block (a tag, for example)
    shortTail,   // at fewer bytes than a block header
    cutBlock,    // at a block that runs past the end of the file
    readFailed,  // at a read that failed although the file holds the bytes
};

struct BlockWalk {
    std::vector<SeekPoint> points;  // one per block with samples, then the closing point
    std::uint64_t samples = 0;
    std::uint32_t maxFrameBytes = 0;
    std::uint32_t maxFrameSamples = 0;
    std::uint32_t firstFrameChannels = 0;
    std::uint64_t stop = 0;  // where the walk stopped
    BlockWalkEnd end = BlockWalkEnd::fileEnd;
};

std::uint64_t blockBytesOf(const std::uint8_t* header) { return std::uint64_t{loadLe32(header + 4)} + kBlockSizeBias; }

// The 32 bytes `header` start a block: its id, and a length that holds at
// least the header (which also bounds the point list by what the file holds).
bool isBlockHeader(const std::uint8_t* header) {
    return isBlockId(header) && blockBytesOf(header) >= kBlockHeaderBytes;
}

// Reads the header of the block at `position` into `header`; nothing when a
// whole block is there, otherwise why the walk ends at `position`.
std::optional<BlockWalkEnd> readBlockHeader(NativeFile file, std::uint64_t fileSize, std::uint64_t position,
                                            std::uint8_t* header) {
    if (position == fileSize) return BlockWalkEnd::fileEnd;
    if (fileSize - position < kBlockHeaderBytes) return BlockWalkEnd::shortTail;
    if (!readExactlyAt(file, position, header, kBlockHeaderBytes)) return BlockWalkEnd::readFailed;
    if (!isBlockHeader(header)) return BlockWalkEnd::notABlock;
    if (blockBytesOf(header) > fileSize - position) return BlockWalkEnd::cutBlock;
    return std::nullopt;
}

// Steps from block to block; the closing point marks where the walk stopped.
// The blocks that carry a stretch's further channels add no samples.
BlockWalk walkBlocks(NativeFile file, std::uint64_t fileSize, std::uint64_t firstBlock) {
    BlockWalk walk;
    walk.points.reserve(kReservedPoints);
    std::uint64_t position = firstBlock;
    bool frameOpen = false;
    bool inFirstFrame = true;
    for (;;) {
        std::uint8_t header[kBlockHeaderBytes];
        if (std::optional<BlockWalkEnd> end = readBlockHeader(file, fileSize, position, header)) {
            walk.end = *end;
            break;
        }
        const std::uint64_t blockBytes = blockBytesOf(header);
        const std::uint32_t flags = loadLe32(header + kFlagsAt);
        const bool continuation = frameOpen && (flags & kInitialBlockFlag) == 0;
        frameOpen = ((flags & kInitialBlockFlag) != 0 || continuation) && (flags & kFinalBlockFlag) == 0;
        if (!continuation && position != firstBlock) inFirstFrame = false;
        if (inFirstFrame) walk.firstFrameChannels += channelsOf(flags);
        const std::uint32_t blockSamples = loadLe32(header + kBlockSamplesAt);
        if (!continuation && blockSamples != 0) {
            walk.maxFrameBytes = std::max(walk.maxFrameBytes, static_cast<std::uint32_t>(blockBytes));
            walk.maxFrameSamples = std::max(walk.maxFrameSamples, blockSamples);
            walk.points.push_back({static_cast<std::uint32_t>(walk.samples), static_cast<std::uint32_t>(position)});
            walk.samples += blockSamples;
        }
        position += blockBytes;
    }
    walk.stop = position;
    walk.points.push_back({static_cast<std::uint32_t>(walk.samples), static_cast<std::uint32_t>(position)});
    return walk;
}

Digest digestOf(std::span<const std::uint8_t> bytes) {
    Md5Context context;
    md5Init(context);
    md5Update(context, bytes);
    return md5Final(context);
}

// A record stored for the same digest is used only when it fits this file:
// its closing point lies within the file, a block still starts at its last
// point and ends by the closing point, no block starts at the closing point,
// and it holds the total the first block claims. A copy cut short, one that
// has grown since, or a table stored short by an older run is walked.
bool recordFits(NativeFile file, std::uint64_t fileSize, const SeekTableRecord& record, std::uint32_t claimed) {
    const std::vector<SeekPoint>& entries = record.entries;
    const std::uint32_t closing = entries.size() < 2 ? 0 : entries.back().offset;
    if (entries.size() < 2 || closing > fileSize) return false;
    if (claimed != kUnknownTotal && record.totalSamples < claimed) return false;
    const std::uint32_t last = entries[entries.size() - 2].offset;
    std::uint8_t header[kBlockHeaderBytes];
    if (!readExactlyAt(file, last, header, kBlockHeaderBytes) || !isBlockHeader(header) ||
        last + blockBytesOf(header) > closing)
        return false;
    if (fileSize - closing < kBlockHeaderBytes) return true;
    return readExactlyAt(file, closing, header, kBlockHeaderBytes) && !isBlockHeader(header);
}

ProbeResult cdResult(std::span<const SeekPoint> points, std::uint32_t totalSamples, std::uint32_t maxFrameBytes,
                     std::uint32_t maxFrameSamples, std::string note) {
    AudioInfoPtr info = newAudioInfo(kCodecWavPack);
    if (!info || !assignSeekPoints(*info, points)) return refusedResult(kNoMemoryReason);
    info->totalSamples = totalSamples;
    info->maxFrameBytes = maxFrameBytes;
    info->maxFrameSamples = maxFrameSamples;
    return cdAudioResult(std::move(info), std::move(note));
}

// Why a walk that ended as `walk` did is refused; empty when the blocks hold
// the total the first block claims (or it claims none).
std::string refusal(const BlockWalk& walk, std::uint32_t claimed) {
    if (walk.end == BlockWalkEnd::readFailed) return unreadableReason(walk.stop);
    if (claimed == kUnknownTotal || walk.samples >= claimed) return {};
    if (walk.end == BlockWalkEnd::notABlock)
        return "no WavPack block at byte " + std::to_string(walk.stop) + ": the file is damaged (" +
               std::to_string(walk.samples) + " of " + std::to_string(claimed) + " samples before it)";
    return cutShortReason(walk.stop, walk.samples, claimed);
}

// What is said about bytes the walk left out, which a later run could not
// check against a record.
std::string leftOutNote(const BlockWalk& walk, std::uint64_t fileSize) {
    if (walk.end == BlockWalkEnd::cutBlock)
        return "the WavPack block at byte " + std::to_string(walk.stop) + " runs past the end of the file: left out";
    if (walk.end == BlockWalkEnd::shortTail) return strayBytesNote(fileSize - walk.stop, walk.stop, "WavPack blocks");
    return {};
}

ProbeResult walkStream(NativeFile file, std::uint64_t fileSize, std::uint64_t firstBlock, const std::uint8_t* header,
                       bool cdStream, const Digest& digest) {
    const std::uint32_t claimed = loadLe32(header + kTotalSamplesAt);
    BlockWalk walk = walkBlocks(file, fileSize, firstBlock);
    std::string refused = refusal(walk, claimed);
    if (!refused.empty()) return refusedResult(std::move(refused));
    std::string note = leftOutNote(walk, fileSize);

    if (!cdStream) {
        const std::uint32_t flags = loadLe32(header + kFlagsAt);
        if (rateIndex(flags) == kOtherRate)
            return refusedResult("a WavPack stream at a sample rate outside the standard ones: its duration cannot be told");
        AudioFormat format = formatOf(flags);
        if (startsMultiChannelFrame(flags)) format.channels = walk.firstFrameChannels;
        ProbeResult result = durationResult(format, walk.samples);
        if (!note.empty()) result.reason += "; " + note;
        return result;
    }
    if (walk.samples > UINT32_MAX)
        return refusedResult(std::to_string(walk.samples) + " samples: longer than this tool can measure");
    const auto totalSamples = static_cast<std::uint32_t>(walk.samples);
    // Only a walk that reached the end of the file or bytes that are not a
    // block has the whole table.
    if (walk.end == BlockWalkEnd::fileEnd || walk.end == BlockWalkEnd::notABlock)
        storeSeekTable(walk.points, digest, kCacheLetter, walk.maxFrameSamples, walk.maxFrameBytes, totalSamples);
    return cdResult(walk.points, totalSamples, walk.maxFrameBytes, walk.maxFrameSamples, std::move(note));
}

}  // namespace

ProbeResult probeWavPack(NativeFile file) {
    std::int64_t size = getFileSize64(file);
    if (size < 0 || static_cast<std::uint64_t>(size) >= kOffsetLimit)
        return refusedResult("a WavPack file of 4 GiB or more: too large to measure");
    const auto fileSize = static_cast<std::uint64_t>(size);

    // A file of 1 MiB or more is named by its first MiB, as it always was, so
    // stored records keep their meaning; a smaller one by all of it.
    const auto scanned = static_cast<std::uint32_t>(std::min<std::uint64_t>(fileSize, scanBytes));
    HeapBytes buffer(static_cast<std::uint8_t*>(allocBlock(scanned == 0 ? 1 : scanned)));
    if (!buffer) return refusedResult(kNoMemoryReason);
    if (!readExactlyAt(file, 0, buffer.get(), scanned)) return refusedResult(unreadableReason(0));
    const std::span<const std::uint8_t> bytes(buffer.get(), scanned);

    const std::int64_t firstBlock = findFirstBlock(bytes);
    if (firstBlock < 0) {
        if (scanned >= 4 && isBlockId(bytes.data()))
            return refusedResult("no WavPack block with samples in its first MiB: the file is damaged");
        return bySizeResult("not an audio format this tool reads (no WavPack block in its first MiB)");
    }
    std::uint8_t header[kBlockHeaderBytes] = {};
    std::memcpy(header, bytes.data() + firstBlock, kFlagsAt + 4);
    const std::uint32_t flags = loadLe32(header + kFlagsAt);
    const bool cdStream = isCdFormat(formatOf(flags)) && !startsMultiChannelFrame(flags);
    const Digest digest = digestOf(bytes);
    buffer.reset();

    if (cdStream) {
        std::optional<SeekTableRecord> cached = loadSeekTable(kCacheLetter, digest);
        if (cached && recordFits(file, fileSize, *cached, loadLe32(header + kTotalSamplesAt)))
            return cdResult(cached->entries, cached->totalSamples, cached->maxFrameBytes, cached->maxFrameSamples, {});
    }
    return walkStream(file, fileSize, static_cast<std::uint64_t>(firstBlock), header, cdStream, digest);
}

void setWavPackScanBytes(std::uint32_t bytes) { scanBytes = bytes; }

}  // namespace trakmap
