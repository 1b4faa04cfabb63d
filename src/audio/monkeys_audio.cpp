#include "audio/monkeys_audio.h"

#include <algorithm>
#include <string>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"
#include "audio/stored_table.h"

namespace trakmap {

namespace {

// Versions from this one on carry a descriptor before the header.
constexpr std::uint16_t kFirstDescriptorVersion = 3980;
constexpr std::uint32_t kDescriptorBytes = 52;
constexpr std::uint32_t kHeaderBytes = 24;
constexpr std::uint32_t kOldHeaderBytes = 32;

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
    std::uint64_t seekTableOffset = 0;  // where the seek table starts in the file
    // Where the frames end by the descriptor's lengths; 0 in the older layout,
    // which does not say.
    std::uint64_t framesEnd = 0;
};

// Reads up to `count` bytes into a zero-filled buffer: fields of a file too
// short to hold them read 0, which later checks then refuse.
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
    std::uint32_t descriptorBytes = loadLe32(descriptor + 8);
    // However long the descriptor claims to be, only 4 extra bytes are passed over.
    std::uint64_t headerOffset = kDescriptorBytes;
    if (descriptorBytes > kDescriptorBytes) {
        platformSeekFile(file, 4, SeekFrom::current);
        headerOffset += 4;
    }
    header.seekTableBytes = loadLe32(descriptor + 16);
    header.seekTableOffset = headerOffset + kHeaderBytes;
    // Descriptor, header, seek table, stored WAV header, then the frames.
    std::uint64_t frameBytes = std::uint64_t{loadLe32(descriptor + 28)} << 32 | loadLe32(descriptor + 24);
    header.framesEnd = std::uint64_t{descriptorBytes} + loadLe32(descriptor + 12) + header.seekTableBytes +
                       loadLe32(descriptor + 20) + frameBytes;

    std::uint8_t fields[kHeaderBytes];
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

    header.seekTableOffset = kOldHeaderBytes;
    if (flags & kFlagPeakLevel) header.seekTableOffset += 4;
    if (flags & kFlagSeekEntryCount) {
        std::uint8_t count[4];
        platformSeekFile(file, static_cast<std::int64_t>(header.seekTableOffset), SeekFrom::begin);
        readFields(file, count, sizeof count);
        header.seekTableBytes = std::uint64_t{loadLe32(count)} * 4;
        header.seekTableOffset += 4;
    } else {
        header.seekTableBytes = std::uint64_t{header.totalFrames} * 4;
    }
    header.bitsPerSample = (flags & kFlag8Bit) ? 8 : (flags & kFlag24Bit) ? 24 : 16;
    header.blocksPerFrame = oldLayoutBlocksPerFrame(header.version, header.compressionLevel);
    if (!(flags & kFlagNoWavHeader)) header.seekTableOffset += wavHeaderBytes;
}

std::uint64_t totalSamplesOf(const ApeHeader& header) {
    if (header.totalFrames <= 1) return header.finalFrameBlocks;
    return std::uint64_t{header.totalFrames - 1} * header.blocksPerFrame + header.finalFrameBlocks;
}

// Samples in the frames before frame `frame`, less the one in which the data
// stops: what a cut-short file still holds.
std::uint64_t samplesBefore(const ApeHeader& header, std::uint64_t frame) {
    return frame == 0 ? 0 : (frame - 1) * header.blocksPerFrame;
}

// Checks the `count` seek table entries the layout uses, reading the table a
// piece at a time, and fills `points` with them when it is given. Every
// entry must place its frame inside the file. Empty when the table is sound,
// else why the file cannot be measured.
std::string walkSeekTable(NativeFile file, const ApeHeader& header, std::uint64_t count, std::uint64_t fileSize,
                          SeekPoint* points) {
    const std::uint64_t totalSamples = totalSamplesOf(header);
    StoredTable table = openStoredTable(file, header.seekTableOffset, count, 4);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = nextEntry(table);
        if (entry == nullptr) {
            if (table.readFailed) return "it cannot be read past byte " + std::to_string(table.position);
            return cutShortReason("its seek table reaches", header.seekTableOffset + 4 * count, fileSize, 0,
                                  totalSamples);
        }
        std::uint32_t offset = loadLe32(entry);
        if (offset == 0)
            return damagedReason("its seek table entry at byte " + std::to_string(header.seekTableOffset + 4 * i) +
                                 " is 0");
        if (offset >= fileSize)
            return cutShortReason("its seek table reaches", offset, fileSize, samplesBefore(header, i), totalSamples);
        if (points != nullptr) points[i] = {static_cast<std::uint32_t>(i * header.blocksPerFrame), offset};
    }
    return {};
}

}  // namespace

ProbeResult probeMonkeysAudio(NativeFile file) {
    std::uint8_t start[8];
    readFields(file, start, sizeof start);
    ApeHeader header;
    header.version = loadLe16(start + 4);
    if (header.version >= kFirstDescriptorVersion)
        readNewLayout(file, start, header);
    else
        readOldLayout(file, start, header);

    std::int64_t size = 0;
    if (!platformFileSize(file, &size)) return refusedResult("it cannot be read");
    const auto fileSize = static_cast<std::uint64_t>(size);
    if (fileSize < header.seekTableOffset)
        return refusedResult("cut short: it ends at byte " + std::to_string(fileSize) + ", inside its header");
    const std::uint64_t totalSamples = totalSamplesOf(header);
    // Without a seek table nothing tells whether the frames are all there.
    if (header.seekTableBytes == 0) return refusedResult(damagedReason("its header gives no seek table"));
    std::uint64_t tableEnd = header.seekTableOffset + header.seekTableBytes;
    if (tableEnd > fileSize)
        return refusedResult(cutShortReason("its seek table reaches", tableEnd, fileSize, 0, totalSamples));

    const std::uint64_t count = std::min<std::uint64_t>(header.seekTableBytes / 4, header.totalFrames);
    std::string problem = walkSeekTable(file, header, count, fileSize, nullptr);
    if (problem.empty() && header.framesEnd > fileSize)
        problem = cutShortReason("its frames run to", header.framesEnd, fileSize, samplesBefore(header, count),
                                 totalSamples);
    if (!problem.empty()) return refusedResult(problem);

    const AudioFormat format{header.sampleRate, header.bitsPerSample, header.channels};
    if (!isCdFormat(format)) return durationResult(format, totalSamples);
    if (totalSamples > UINT32_MAX)
        return refusedResult(damagedReason("its header claims " + std::to_string(totalSamples) +
                                           " samples, more than 27 hours of CD audio"));

    // The table is sound, so the file holds an entry for every point made here.
    AudioInfoPtr info = newAudioInfo(kCodecMonkeysAudio);
    SeekPoint* points = info ? makeSeekPoints(*info, count + 1) : nullptr;
    if (points == nullptr) return refusedResult(kNoMemoryReason);
    problem = walkSeekTable(file, header, count, fileSize, points);
    if (!problem.empty()) return refusedResult(problem);
    points[count] = {static_cast<std::uint32_t>(totalSamples), static_cast<std::uint32_t>(fileSize)};

    info->totalSamples = static_cast<std::uint32_t>(totalSamples);
    info->maxFrameSamples = header.blocksPerFrame;
    info->maxFrameBytes = header.blocksPerFrame * 4;
    info->ape.apeVersion = header.version;
    info->ape.apeBitsPerSample = header.bitsPerSample;
    info->ape.apeChannels = header.channels;
    info->ape.apeCompressionLevel = static_cast<std::uint16_t>(header.compressionLevel / 1000 - 1);
    return cdAudioResult(std::move(info));
}


}  // namespace trakmap
