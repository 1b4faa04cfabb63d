#include "audio/tta.h"

#include <vector>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"

namespace trakmap {

namespace {

constexpr std::uint32_t kHeaderBytes = 22;
// The frame size table is followed by a 4-byte CRC before the first frame.
constexpr std::uint32_t kTableCrcBytes = 4;

}  // namespace

ProbeResult probeTta(NativeFile file) {
    AudioInfoPtr info = newAudioInfo(kCodecTta);
    if (!info) return refusedResult("not enough memory to measure it");

    std::uint8_t header[kHeaderBytes];
    std::uint32_t got = 0;
    if (!platformReadFile(file, header, kHeaderBytes, &got) || got < kHeaderBytes) return ProbeResult{};
    std::uint16_t channels = loadLe16(header + 6);
    std::uint16_t bitsPerSample = loadLe16(header + 8);
    std::uint32_t sampleRate = loadLe32(header + 10);
    std::uint32_t dataLength = loadLe32(header + 14);

    // A frame holds 256/245 seconds of audio; a rate too low for one sample a
    // frame leaves nothing to divide by.
    std::uint32_t frameLength = sampleRate * 256 / 245;
    if (frameLength == 0) return ProbeResult{};
    std::uint32_t lastFrameSamples = dataLength % frameLength;
    std::uint32_t frameCount = dataLength / frameLength + (lastFrameSamples != 0 ? 1 : 0);

    info->totalSamples = dataLength;
    info->maxFrameSamples = frameLength;
    info->tta.ttaBytesPerSample = (bitsPerSample + 7u) / 8u;
    info->tta.ttaFrameLength = frameLength;
    info->tta.ttaLastFrameSamples = lastFrameSamples;
    info->tta.ttaFrameCount = frameCount;
    info->tta.ttaChannels = channels;
    // Other formats are measured by their duration and get no seek table.
    const AudioFormat format{sampleRate, bitsPerSample, channels};
    if (!isCdFormat(format)) {
        ProbeResult result = durationResult(format, dataLength);
        result.info = std::move(info);
        return result;
    }

    // A table the file cannot hold is treated like one cut short.
    std::uint64_t tableBytes = std::uint64_t{frameCount} * 4;
    std::int64_t fileSize = getFileSize64(file);
    std::uint64_t afterHeader = fileSize > kHeaderBytes ? static_cast<std::uint64_t>(fileSize) - kHeaderBytes : 0;
    if (tableBytes > afterHeader || tableBytes > UINT32_MAX) return ProbeResult{};
    HeapBytes table;
    if (tableBytes != 0) {
        table.reset(static_cast<std::uint8_t*>(allocBlock(static_cast<std::uint32_t>(tableBytes))));
        if (!table) return refusedResult("not enough memory to measure it");
        if (!platformReadFile(file, table.get(), static_cast<std::uint32_t>(tableBytes), &got) ||
            got < tableBytes)
            return ProbeResult{};
    }

    std::vector<SeekPoint> points;
    points.reserve(std::size_t{frameCount} + 1);
    std::uint32_t offset = frameCount * 4 + kHeaderBytes + kTableCrcBytes;
    std::uint32_t sample = 0;
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        std::uint32_t frameBytes = loadLe32(table.get() + 4 * std::size_t{i});
        points.push_back({sample, offset});
        offset += frameBytes;
        if (frameBytes > info->maxFrameBytes) info->maxFrameBytes = frameBytes;
        sample += frameLength;
    }
    points.push_back({dataLength, offset});
    if (!assignSeekPoints(*info, points)) return refusedResult("not enough memory to measure it");
    return cdAudioResult(std::move(info));
}

}  // namespace trakmap
