#include "audio/audio_info.h"

#include <algorithm>
#include <limits>
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

SeekPoint* makeSeekPoints(AudioInfo& info, std::uint64_t count) {
    // The count is kept in 32 bits, and the array must fit the address space.
    if (count > std::numeric_limits<std::uint32_t>::max() ||
        count > std::numeric_limits<std::size_t>::max() / sizeof(SeekPoint))
        return nullptr;
    std::unique_ptr<SeekPoint[]> points(new (std::nothrow) SeekPoint[count == 0 ? 1 : count]);
    if (!points) return nullptr;
    info.seekPoints = std::move(points);
    info.seekPointCount = static_cast<std::uint32_t>(count);
    return info.seekPoints.get();
}

std::uint32_t audioFrames(const AudioInfo& info) { return info.totalSamples / 588; }

}  // namespace trakmap
