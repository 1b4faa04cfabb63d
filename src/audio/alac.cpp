#include "audio/alac.h"

#include <limits>

#include "audio/byte_order.h"
#include "audio/mp4.h"

namespace trakmap {

namespace {

// What a walk over the packets found.
struct PacketTotals {
    std::uint64_t samples = 0;  // their durations together
    std::uint64_t end = 0;      // the file offset where the last one ends
    std::uint32_t largestBytes = 0;
    std::uint32_t longest = 0;
};

std::string unreadableTable(const Mp4Durations& durations, std::uint64_t packet, std::uint32_t packets) {
    if (durations.runs.readFailed) return "it cannot be read past byte " + std::to_string(durations.runs.position);
    return damagedReason("its time-to-sample table covers " + std::to_string(packet) + " of its " +
                         std::to_string(packets) + " packets");
}

// Packets of one shared size: their durations are taken a run at a time, so
// no count the file claims costs a step a packet.
std::string walkUniformPackets(NativeFile file, const Mp4Track& track, std::uint64_t fileSize, PacketTotals* totals) {
    const std::uint64_t size = track.uniformSampleSize;
    const std::uint64_t count = track.sampleCount;
    const std::uint64_t packetsThere = fileSize > track.dataOffset ? (fileSize - track.dataOffset) / size : 0;
    Mp4Durations durations = openDurations(file, track);
    std::uint64_t samplesThere = 0;
    for (std::uint64_t packet = 0; packet < count;) {
        std::uint64_t taken = 0;
        std::uint32_t duration = 0;
        if (!takeDurations(durations, count - packet, &taken, &duration))
            return unreadableTable(durations, packet, track.sampleCount);
        if (packet < packetsThere) samplesThere += std::min(taken, packetsThere - packet) * duration;
        totals->samples += taken * duration;
        if (duration > totals->longest) totals->longest = duration;
        packet += taken;
    }
    totals->end = track.dataOffset + count * size;
    totals->largestBytes = count != 0 ? track.uniformSampleSize : 0;
    if (totals->end > fileSize)
        return cutShortReason("its packets reach", totals->end, fileSize, samplesThere, totals->samples);
    return {};
}

// Packets of their own sizes, read from the sample size table a piece at a
// time beside their durations: every packet must hold bytes and end inside
// the file. Fills `points` (a point a packet) when given.
std::string walkListedPackets(NativeFile file, const Mp4Track& track, std::uint64_t fileSize, SeekPoint* points,
                              PacketTotals* totals) {
    Mp4Durations durations = openDurations(file, track);
    StoredTable sizes = openStoredTable(file, static_cast<std::uint64_t>(track.sampleSizes.position),
                                        track.sampleSizes.count, 4);
    std::uint64_t offset = track.dataOffset;
    std::uint64_t cutAt = 0;  // where the first packet past the end of the file ends
    std::uint64_t samplesThere = 0;
    for (std::uint32_t packet = 0; packet < track.sampleSizes.count; ++packet) {
        const std::uint8_t* entry = nextEntry(sizes);
        if (entry == nullptr) return "it cannot be read past byte " + std::to_string(sizes.position);
        std::uint32_t size = loadBe32(entry);
        std::uint64_t taken = 0;
        std::uint32_t duration = 0;
        if (!takeDurations(durations, 1, &taken, &duration))
            return unreadableTable(durations, packet, track.sampleSizes.count);
        if (size == 0)
            return damagedReason("its sample size table gives packet " + std::to_string(packet + 1) + " no bytes");
        if (cutAt == 0) {
            if (offset + size > fileSize) {
                cutAt = offset + size;
                samplesThere = totals->samples;
            } else if (points != nullptr) {
                points[packet] = {static_cast<std::uint32_t>(totals->samples), static_cast<std::uint32_t>(offset)};
            }
        }
        offset += size;
        totals->samples += duration;
        if (duration > totals->longest) totals->longest = duration;
        if (size > totals->largestBytes) totals->largestBytes = size;
    }
    totals->end = offset;
    if (cutAt != 0) return cutShortReason("its packets reach", cutAt, fileSize, samplesThere, totals->samples);
    return {};
}

std::string walkPackets(NativeFile file, const Mp4Track& track, std::uint64_t fileSize, SeekPoint* points,
                        PacketTotals* totals) {
    *totals = PacketTotals{};
    if (track.uniformSampleSize != 0) return walkUniformPackets(file, track, fileSize, totals);
    return walkListedPackets(file, track, fileSize, points, totals);
}

// The track's format as its sample entry gives it. The entry's rate field
// holds 16 bits, so faster rates are taken from the configuration, or else
// from the media time scale.
AudioFormat formatOf(const Mp4Track& track) {
    AudioFormat format{track.sampleRate, track.sampleSize, track.channels};
    if (format.sampleRate == 0 && track.configBytes >= kAlacConfigBytes)
        format.sampleRate = loadBe32(track.config.data() + 24);
    if (format.sampleRate == 0) format.sampleRate = track.timeScale;
    return format;
}

void fillAlacFields(const Mp4Track& track, AlacFields& alac) {
    alac.alacFrameLength = loadBe32(track.config.data() + 4);
    alac.alacBitDepth = track.config[9];
    alac.alacHistoryMult = track.config[10];
    alac.alacInitialHistory = track.config[11];
    alac.alacRiceLimit = track.config[12];
    alac.alacChannels = track.config[13];
}

// The record of CD audio whose packets have been walked once already.
ProbeResult cdAudioRecord(NativeFile file, const Mp4Track& track, std::uint64_t fileSize, PacketTotals totals) {
    AudioInfoPtr info = newAudioInfo(kCodecAlac);
    if (!info) return refusedResult(kNoMemoryReason);
    // Packets of one shared size get only the closing point; others one point
    // each, which the first walk found backed by the file's own table.
    bool listed = track.uniformSampleSize == 0;
    std::uint64_t packets = listed ? track.sampleSizes.count : 0;
    SeekPoint* points = makeSeekPoints(*info, packets + 1);
    if (points == nullptr) return refusedResult(kNoMemoryReason);
    if (listed) {
        std::string problem = walkPackets(file, track, fileSize, points, &totals);
        if (!problem.empty()) return refusedResult(problem);
    }
    points[packets] = {static_cast<std::uint32_t>(totals.samples), static_cast<std::uint32_t>(totals.end)};
    info->totalSamples = static_cast<std::uint32_t>(totals.samples);
    info->maxFrameSamples = totals.longest;
    info->maxFrameBytes = totals.largestBytes;
    fillAlacFields(track, info->alac);
    return cdAudioResult(std::move(info));
}

}  // namespace

ProbeResult probeAlac(NativeFile file) {
    Mp4Reader reader = openMp4Reader(file, true);
    Mp4Track track;
    std::string why;
    if (!parseMp4(reader, track, &why)) return track.notAlac ? bySizeResult(why) : refusedResult(why);
    if (track.format != kMp4FormatAlac) return refusedResult(damagedReason("its track has no ALAC sample description"));
    if (track.timeToSample.position == 0 || track.timeToSample.count == 0)
        return refusedResult(damagedReason("its time-to-sample table is missing or empty"));
    if (track.sampleSizes.position == 0) return refusedResult(damagedReason("its sample size table is missing"));

    const auto fileSize = static_cast<std::uint64_t>(reader.fileSize);
    PacketTotals totals;
    std::string problem = walkPackets(file, track, fileSize, nullptr, &totals);
    if (!problem.empty()) return refusedResult(problem);

    const AudioFormat format = formatOf(track);
    if (!isCdFormat(format)) {
        ProbeResult result = durationResult(format, totals.samples);
        // Durations count units of the media time scale, which for ALAC is
        // the sample rate; where a file says otherwise, its time scale holds.
        if (result.measure == Measure::byDuration && track.timeScale != 0)
            result.frames = framesOfDuration(totals.samples, track.timeScale);
        return result;
    }
    if (totals.samples > std::numeric_limits<std::uint32_t>::max())
        return refusedResult(damagedReason("its packets last " + std::to_string(totals.samples) +
                                           " samples, more than 27 hours of CD audio"));
    return cdAudioRecord(file, track, fileSize, totals);
}

}  // namespace trakmap
