#include "audio/monkeys_audio.h"

#include <algorithm>
#include <vector>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"

namespace trakmap {

namespace {

// Versions from this one on carry a descriptor before the header.
constexpr std::uint16_t kFirstDescriptorVersion = 3980;
constexpr std::uint32_t kDescriptorBytes = 52;

// Old-layout format flags.
constexpr std::uint16_t kFlag8Bit = 1;
constexpr std::uint16_t kFlagPeakLevel = 4;
constexpr std::uint16_t kFlag24Bit = 8;
constexpr std::uint16_t kFlagSeekEntryCount = 16;
constexpr std::uint16_t kFlagNoWavHeader = 32;

// What either header layout tells about the stream.
struct ApeHeader {
    std::uint16_t version = 0;
    std::uint16_t compressionLevel = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t blocksPerFrame = 0;
    std::uint32_t finalFrameBlocks = 0;
    std::uint32_t totalFrames = 0;
    std::uint64_t seekTableBytes = 0;
};

// Reads up to `count` bytes into a zero-filled buffer: fields of a file too
// short to hold them read 0, which the format test then refuses.
void readFields(NativeFile file, std::uint8_t* buffer, std::uint32_t count) {
    std::fill(buffer, buffer + count, std::uint8_t{0});
    readChunked(file, buffer, count);
}

std::uint32_t oldLayoutBlocksPerFrame(std::uint16_t version, std::uint16_t compressionLevel) {
    if (version >= 3950) return 294912;
    if (version >= 3900 || (version >= 3800 && compressionLevel >= 4000)) return 73728;
    return 9216;
}

// Descriptor (52 bytes, or longer with 4 more bytes skipped) then the 24-byte header.
void readNewLayout(NativeFile file, const std::uint8_t* start, ApeHeader& header) {
    std::uint8_t descriptor[kDescriptorBytes] = {};
    std::copy(start, start + 8, descriptor);
    readFields(file, descriptor + 8, kDescriptorBytes - 8);
    // However long the descriptor claims to be, only 4 extra bytes are passed over.
    if (loadLe32(descriptor + 8) > kDescriptorBytes) platformSeekFile(file, 4, SeekFrom::current);
    header.seekTableBytes = loadLe32(descriptor + 16);

    std::uint8_t fields[24];
    readFields(file, fields, sizeof fields);
    header.compressionLevel = loadLe16(fields + 0);
    header.blocksPerFrame = loadLe32(fields + 4);
    header.finalFrameBlocks = loadLe32(fields + 8);
    header.totalFrames = loadLe32(fields + 12);
    header.bitsPerSample = loadLe16(fields + 16);
    header.channels = loadLe16(fields + 18);
    header.sampleRate = loadLe32(fields + 20);
}

// The 32-byte header, then the optional peak level, seek entry count and
// stored WAV header, as the flags say.
void readOldLayout(NativeFile file, const std::uint8_t* start, ApeHeader& header) {
    header.compressionLevel = loadLe16(start + 6);
    std::uint8_t fields[24];
    readFields(file, fields, sizeof fields);
    std::uint16_t flags = loadLe16(fields + 0);
    header.channels = loadLe16(fields + 2);
    header.sampleRate = loadLe32(fields + 4);
    std::uint32_t wavHeaderBytes = loadLe32(fields + 8);
    header.totalFrames = loadLe32(fields + 16);
    header.finalFrameBlocks = loadLe32(fields + 20);

    if (flags & kFlagPeakLevel) platformSeekFile(file, 4, SeekFrom::current);
    if (flags & kFlagSeekEntryCount) {
        std::uint8_t count[4];
        readFields(file, count, sizeof count);
        header.seekTableBytes = std::uint64_t{loadLe32(count)} * 4;
    } else {
        header.seekTableBytes = std::uint64_t{header.totalFrames} * 4;
    }
    header.bitsPerSample = (flags & kFlag8Bit) ? 8 : (flags & kFlag24Bit) ? 24 : 16;
    header.blocksPerFrame = oldLayoutBlocksPerFrame(header.version, header.compressionLevel);
    if (!(flags & kFlagNoWavHeader)) platformSeekFile(file, wavHeaderBytes, SeekFrom::current);
}

std::uint32_t totalSamplesOf(const ApeHeader& header) {
    if (header.totalFrames <= 1) return header.finalFrameBlocks;
    return (header.totalFrames - 1) * header.blocksPerFrame + header.finalFrameBlocks;
}

AudioInfoPtr measureMonkeysAudio(NativeFile file) {
    AudioInfoPtr info = newAudioInfo(kCodecMonkeysAudio);
    if (!info) return nullptr;

    std::uint8_t start[8];
    readFields(file, start, sizeof start);
    ApeHeader header;
    header.version = loadLe16(start + 4);
    if (header.version >= kFirstDescriptorVersion)
        readNewLayout(file, start, header);
    else
        readOldLayout(file, start, header);

    if (header.channels != 2 || header.sampleRate != 44100 || header.bitsPerSample != 16)
        return nullptr;
    std::uint32_t totalSamples = totalSamplesOf(header);

    // The table is read whole; a length the file cannot hold is refused before
    // anything is allocated for it, and so is a table cut short.
    std::int64_t fileSize = getFileSize64(file);
    if (header.seekTableBytes == 0 || header.seekTableBytes > static_cast<std::uint64_t>(fileSize) ||
        header.seekTableBytes > UINT32_MAX)
        return nullptr;
    auto tableBytes = static_cast<std::uint32_t>(header.seekTableBytes);
    HeapBytes table(static_cast<std::uint8_t*>(allocBlock(tableBytes)));
    if (!table || readChunked(file, table.get(), tableBytes) != tableBytes) return nullptr;

    std::uint32_t count = std::min(tableBytes / 4, header.totalFrames);
    std::vector<SeekPoint> points;
    points.reserve(std::size_t{count} + 1);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t offset = loadLe32(table.get() + 4 * std::size_t{i});
        if (offset == 0) return nullptr;
        points.push_back({i * header.blocksPerFrame, offset});
    }
    points.push_back({totalSamples, static_cast<std::uint32_t>(fileSize)});
    if (!assignSeekPoints(*info, points)) return nullptr;

    info->totalSamples = totalSamples;
    info->maxFrameSamples = header.blocksPerFrame;
    info->maxFrameBytes = header.blocksPerFrame * 4;
    info->ape.apeVersion = header.version;
    info->ape.apeBitsPerSample = header.bitsPerSample;
    info->ape.apeChannels = header.channels;
    info->ape.apeCompressionLevel = static_cast<std::uint16_t>(header.compressionLevel / 1000 - 1);
    return info;
}

}  // namespace

ProbeResult probeMonkeysAudio(NativeFile file) {
    AudioInfoPtr info = measureMonkeysAudio(file);
    if (!info) return ProbeResult{};
    return cdAudioResult(std::move(info));
}

}  // namespace trakmap
