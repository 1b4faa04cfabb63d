// The result of probing one audio file: its length, the largest frame and a
// seek table of (first sample, byte offset) points, plus what each codec adds.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace trakmap {

struct SeekPoint {
    std::uint32_t sample;  // first sample (per channel) of the frame or block
    std::uint32_t offset;  // byte offset of the frame or block in the file
};

enum AudioCodec : std::uint8_t {
    kCodecPcmWave = 0,
    kCodecFlac = 1,
    kCodecMonkeysAudio = 2,
    kCodecWavPack = 3,
    kCodecTta = 4,
    kCodecAlac = 5,
};

struct FlacFields {
    std::uint16_t flacSeekStep;  // frames between kept seek points
    std::uint32_t flacChannels;
    std::uint32_t flacBitsPerSample;
};

struct MonkeysAudioFields {
    std::uint16_t apeVersion;
    std::uint16_t apeBitsPerSample;
    std::uint16_t apeChannels;
    std::uint16_t apeCompressionLevel;
};

struct TtaFields {
    std::uint32_t ttaBytesPerSample;
    std::uint32_t ttaFrameLength;
    std::uint32_t ttaLastFrameSamples;
    std::uint32_t ttaFrameCount;
    std::uint16_t ttaChannels;
};

struct AlacFields {
    std::uint32_t alacFrameLength;
    std::uint8_t alacBitDepth;
    std::uint8_t alacHistoryMult;
    std::uint8_t alacInitialHistory;
    std::uint8_t alacRiceLimit;
    std::uint32_t alacChannels;
};

struct AudioInfo {
    // Common part.
    std::unique_ptr<SeekPoint[]> seekPoints;  // null when there is no table
    std::uint32_t seekPointCount = 0;
    std::uint32_t totalSamples = 0;
    std::uint32_t maxFrameBytes = 0;
    std::uint32_t maxFrameSamples = 0;
    std::uint8_t codec = kCodecPcmWave;
    // Codec-specific tail; only the one matching `codec` is filled, the rest
    // stay zero.
    FlacFields flac{};
    MonkeysAudioFields ape{};
    TtaFields tta{};
    AlacFields alac{};
};

using AudioInfoPtr = std::unique_ptr<AudioInfo>;

// A new zero-filled record for `codec`; null when memory cannot be had.
AudioInfoPtr newAudioInfo(AudioCodec codec);

// Copies `points` into a fresh array of exactly that many entries and sets
// seekPointCount. False (and the record unchanged) when memory cannot be had.
bool assignSeekPoints(AudioInfo& info, std::span<const SeekPoint> points);

// Gives the record a fresh, uninitialised table of `count` points and
// returns it; null (and the record unchanged) when memory cannot be had.
SeekPoint* makeSeekPoints(AudioInfo& info, std::uint64_t count);

// The file's length in CD frames (588 samples each), a partial frame dropped.
std::uint32_t audioFrames(const AudioInfo& info);

}  // namespace trakmap
