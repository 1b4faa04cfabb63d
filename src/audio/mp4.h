// A strict reader of the MP4 atoms that describe one ALAC sound track: the
// path moov/trak/mdia/minf/stbl, the sample description, the time-to-sample
// and sample-size tables, and where the media data starts.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace trakmap {

struct Mp4Reader {
    NativeFile file = kInvalidFile;
    bool bigEndian = false;  // values are byte-swapped from big-endian when set
    bool atEnd = false;      // a read succeeded but delivered nothing
    // Kept by the reader itself: where the next read starts, and the file's
    // size, against which atom sizes are checked before anything is sized by them.
    std::int64_t position = 0;
    std::int64_t fileSize = 0;
};

// Starts a reader at offset 0 of `file`.
Mp4Reader openMp4Reader(NativeFile file, bool bigEndian);

// One read of `count` bytes; sets atEnd when the read succeeds with nothing.
// Returns whether the read succeeded (it may still have delivered fewer).
bool readBytes(Mp4Reader& reader, std::uint32_t count, void* buffer);
// Values whose read fails or falls short give 0.
std::uint32_t readU32(Mp4Reader& reader);
std::uint16_t readU16(Mp4Reader& reader);
std::uint8_t readU8(Mp4Reader& reader);
// Moves the position by `distance` bytes from where it is.
bool skipBytes(Mp4Reader& reader, std::int64_t distance);

struct TimeToSampleRun {
    std::uint32_t sampleCount;  // packets in the run
    std::uint32_t sampleDelta;  // duration of each, in samples
};

struct Mp4Track {
    std::uint32_t dataOffset = 0;  // file position of the first media data byte
    std::uint16_t channels = 0;
    std::uint16_t sampleSize = 0;  // bits per sample
    std::uint32_t sampleRate = 0;  // integer part of the 16.16 rate
    std::uint32_t format = 0;      // four-character code of the sample entry
    std::vector<TimeToSampleRun> timeToSample;
    std::uint32_t timeToSampleCount = 0;
    std::vector<std::uint32_t> sampleSizes;  // empty when all packets share one size
    std::uint32_t sampleSizeCount = 0;
    std::uint32_t configSize = 0;       // size field of the configuration atom
    std::vector<std::uint8_t> config;   // the configuration payload as stored
};

// Fills `track` from the file behind `reader`. True when a moov was parsed and
// the media data position is known; false for anything else, including every
// atom this reader does not expect and every size that does not fit.
bool parseMp4(Mp4Reader& reader, Mp4Track& track);

struct Mp4Packet {
    std::uint32_t duration;
    std::uint32_t size;
};

// Duration and size of packet `index`; false when the tables do not cover it.
bool sampleInfo(const Mp4Track& track, std::uint32_t index, Mp4Packet* packet);

}  // namespace trakmap
