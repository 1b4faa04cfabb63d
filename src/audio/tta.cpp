#include "audio/tta.h"

#include <string>

#include "audio/byte_order.h"
#include "audio/stored_table.h"

namespace trakmap {

namespace {

constexpr std::uint32_t kHeaderBytes = 22;
// The frame size table is followed by a 4-byte CRC before the first frame.
constexpr std::uint32_t kTableCrcBytes = 4;

struct TtaFrames {
    std::uint32_t length = 0;  // samples a frame holds; the last may hold fewer
    std::uint32_t count = 0;
    std::uint32_t totalSamples = 0;
};

// Walks the frame size table a piece at a time: every frame must end inside
// the file. Fills `points` (count + 1 of them) when given and raises
// `*largest` to the largest frame. Empty when the table is sound, else why
// the file cannot be measured.
std::string walkFrameTable(NativeFile file, const TtaFrames& frames, std::uint64_t fileSize, SeekPoint* points,
                           std::uint32_t* largest) {
    StoredTable table = openStoredTable(file, kHeaderBytes, frames.count, 4);
    std::uint64_t offset = std::uint64_t{frames.count} * 4 + kHeaderBytes + kTableCrcBytes;
    std::uint32_t sample = 0;
    for (std::uint32_t i = 0; i < frames.count; ++i) {
        const std::uint8_t* entry = nextEntry(table);
        if (entry == nullptr) {
            if (table.readFailed) return "it cannot be read past byte " + std::to_string(table.position);
            return cutShortReason("its frame table reaches", offset, fileSize, 0, frames.totalSamples);
        }
        std::uint32_t frameBytes = loadLe32(entry);
        if (points != nullptr) points[i] = {sample, static_cast<std::uint32_t>(offset)};
        offset += frameBytes;
        if (offset > fileSize)
            return cutShortReason("its frame table reaches", offset, fileSize, std::uint64_t{i} * frames.length,
                                  frames.totalSamples);
        if (frameBytes > *largest) *largest = frameBytes;
        sample += frames.length;
    }
    if (points != nullptr) points[frames.count] = {frames.totalSamples, static_cast<std::uint32_t>(offset)};
    return {};
}

}  // namespace

ProbeResult probeTta(NativeFile file) {
    std::uint8_t header[kHeaderBytes];
    std::uint32_t got = 0;
    std::int64_t size = 0;
    if (!platformReadFile(file, header, kHeaderBytes, &got) || !platformFileSize(file, &size))
        return refusedResult("it cannot be read");
    if (got < kHeaderBytes)
        return refusedResult("cut short: it ends at byte " + std::to_string(got) + ", inside its header");
    const auto fileSize = static_cast<std::uint64_t>(size);
    std::uint16_t channels = loadLe16(header + 6);
    std::uint16_t bitsPerSample = loadLe16(header + 8);
    std::uint32_t sampleRate = loadLe32(header + 10);

    // A frame holds 256/245 seconds of audio; a rate too low for one sample a
    // frame leaves nothing to divide by.
    TtaFrames frames;
    frames.length = sampleRate * 256 / 245;
    frames.totalSamples = loadLe32(header + 14);
    if (frames.length == 0)
        return refusedResult(damagedReason("its header gives a sample rate of " + std::to_string(sampleRate) +
                                           " Hz, which leaves a frame no samples"));
    std::uint32_t lastFrameSamples = frames.totalSamples % frames.length;
    frames.count = frames.totalSamples / frames.length + (lastFrameSamples != 0 ? 1 : 0);

    AudioInfoPtr info = newAudioInfo(kCodecTta);
    if (!info) return refusedResult(kNoMemoryReason);
    info->totalSamples = frames.totalSamples;
    info->maxFrameSamples = frames.length;
    info->tta.ttaBytesPerSample = (bitsPerSample + 7u) / 8u;
    info->tta.ttaFrameLength = frames.length;
    info->tta.ttaLastFrameSamples = lastFrameSamples;
    info->tta.ttaFrameCount = frames.count;
    info->tta.ttaChannels = channels;

    std::uint64_t firstFrame = std::uint64_t{frames.count} * 4 + kHeaderBytes + kTableCrcBytes;
    if (firstFrame > fileSize)
        return refusedResult(cutShortReason("its frame table reaches", firstFrame, fileSize, 0, frames.totalSamples));

    // Only CD audio gets seek points; at 44100 Hz a table has at most 93207
    // frames, so they are made before the table is read.
    const AudioFormat format{sampleRate, bitsPerSample, channels};
    SeekPoint* points = nullptr;
    if (isCdFormat(format)) {
        points = makeSeekPoints(*info, std::uint64_t{frames.count} + 1);
        if (points == nullptr) return refusedResult(kNoMemoryReason);
    }
    std::uint32_t largestFrame = 0;
    std::string problem = walkFrameTable(file, frames, fileSize, points, &largestFrame);
    if (!problem.empty()) return refusedResult(problem);
    if (points == nullptr) {
        // Other formats are measured by their duration, with the header's record.
        ProbeResult result = durationResult(format, frames.totalSamples);
        result.info = std::move(info);
        return result;
    }
    info->maxFrameBytes = largestFrame;
    return cdAudioResult(std::move(info));
}

}  // namespace trakmap
