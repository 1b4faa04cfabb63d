#include "audio/alac.h"

#include <vector>

#include "audio/byte_order.h"
#include "audio/mp4.h"

namespace trakmap {

namespace {

// Packet durations in file order, walking the time-to-sample runs alongside
// the packets so that the whole table costs one pass.
class DurationCursor {
public:
    explicit DurationCursor(const std::vector<TimeToSampleRun>& runs) : runs_(runs) {}

    // The next packet's duration; false when the runs cover no more packets.
    bool next(std::uint32_t* duration) {
        while (leftInRun_ == 0) {
            if (run_ == runs_.size()) return false;
            leftInRun_ = runs_[run_].sampleCount;
            delta_ = runs_[run_].sampleDelta;
            ++run_;
        }
        --leftInRun_;
        *duration = delta_;
        return true;
    }

private:
    const std::vector<TimeToSampleRun>& runs_;
    std::size_t run_ = 0;
    std::uint32_t leftInRun_ = 0;
    std::uint32_t delta_ = 0;
};

void fillAlacFields(const std::vector<std::uint8_t>& config, AlacFields& alac) {
    alac.alacFrameLength = loadBe32(config.data() + 4);
    alac.alacBitDepth = config[9];
    alac.alacHistoryMult = config[10];
    alac.alacInitialHistory = config[11];
    alac.alacRiceLimit = config[12];
    alac.alacChannels = config[13];
}

AudioInfoPtr measureAlac(NativeFile file) {
    Mp4Reader reader = openMp4Reader(file, true);
    Mp4Track track;
    if (!parseMp4(reader, track)) return nullptr;
    if (track.sampleRate != 44100 || track.channels != 2 || track.sampleSize != 16) return nullptr;
    if (track.timeToSampleCount == 0) return nullptr;

    AudioInfoPtr info = newAudioInfo(kCodecAlac);
    if (!info) return nullptr;
    // Packets lie back to back from the first byte of the media data.
    std::vector<SeekPoint> points;
    points.reserve(std::size_t{track.sampleSizeCount} + 1);
    DurationCursor durations(track.timeToSample);
    std::uint32_t sample = 0;
    std::uint32_t offset = track.dataOffset;
    for (std::uint32_t packetSize : track.sampleSizes) {
        std::uint32_t duration = 0;
        if (!durations.next(&duration)) return nullptr;
        points.push_back({sample, offset});
        offset += packetSize;
        sample += duration;
        if (duration > info->maxFrameSamples) info->maxFrameSamples = duration;
        if (packetSize > info->maxFrameBytes) info->maxFrameBytes = packetSize;
    }
    points.push_back({sample, offset});
    if (!assignSeekPoints(*info, points)) return nullptr;
    info->totalSamples = sample;
    fillAlacFields(track.config, info->alac);
    return info;
}

}  // namespace

ProbeResult probeAlac(NativeFile file) {
    AudioInfoPtr info = measureAlac(file);
    if (!info) return ProbeResult{};
    return cdAudioResult(std::move(info));
}

}  // namespace trakmap
