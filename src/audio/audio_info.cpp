#include "audio/audio_info.h"

#include <algorithm>
#include <new>

namespace trakmap {

AudioInfoPtr newAudioInfo(AudioCodec codec) {
    AudioInfoPtr info(new (std::nothrow) AudioInfo());
    if (info) info->codec = codec;
    return info;
}

bool assignSeekPoints(AudioInfo& info, std::span<const SeekPoint> points) {
    std::unique_ptr<SeekPoint[]> copy(new (std::nothrow) SeekPoint[points.empty() ? 1 : points.size()]);
    if (!copy) return false;
    std::copy(points.begin(), points.end(), copy.get());
    info.seekPoints = std::move(copy);
    info.seekPointCount = static_cast<std::uint32_t>(points.size());
    return true;
}

std::uint32_t audioFrames(const AudioInfo& info) { return info.totalSamples / 588; }

}  // namespace trakmap
