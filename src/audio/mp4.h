// A strict reader of the MP4 atoms that describe one ALAC sound track: the
// path moov/trak/mdia/minf/stbl, the media time scale, the sample
// description, where the time-to-sample and sample-size tables lie, and where
// the media data starts. The tables themselves are not loaded: they are read
// a piece at a time while the packets are walked.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "audio/stored_table.h"
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

// The sample entry format of ALAC, "alac".
inline constexpr std::uint32_t kMp4FormatAlac = 0x616C6163;

// Where a table's entries lie in the file; position 0 when the track has none.
struct Mp4Table {
    std::int64_t position = 0;
    std::uint32_t count = 0;
};

// The ALAC configuration payload bytes that are kept: the version word and
// the specific configuration up to its sample rate.
inline constexpr std::uint32_t kAlacConfigBytes = 28;

struct Mp4Track {
    std::uint32_t dataOffset = 0;  // file position of the first media data byte
    std::uint16_t channels = 0;
    std::uint16_t sampleSize = 0;  // bits per sample
    std::uint32_t sampleRate = 0;  // integer part of the 16.16 rate
    std::uint32_t format = 0;      // four-character code of the sample entry
    std::uint32_t timeScale = 0;   // units a second of the durations; 0 when "mdhd" does not say
    Mp4Table timeToSample;         // runs of (packet count, duration), 8 bytes each
    Mp4Table sampleSizes;          // one 4-byte size a packet; count 0 when they share one
    std::uint32_t uniformSampleSize = 0;  // every packet's size, when not 0
    std::uint32_t sampleCount = 0;        // packets, as the sample size table counts them
    std::uint32_t configSize = 0;         // size field of the configuration atom
    std::uint32_t configBytes = 0;        // payload bytes stored in the sample entry
    std::array<std::uint8_t, kAlacConfigBytes> config{};  // their first bytes (the rest read 0)
    // Set when the parse stopped at a track that is not ALAC sound before it
    // met any ALAC track: the file holds other audio, or none.
    bool notAlac = false;
};

// Fills `track` from the file behind `reader`. True when a moov was parsed and
// the media data position is known; false for anything else, including every
// atom this reader does not expect and every size that does not fit, with
// the reason in `*why`.
bool parseMp4(Mp4Reader& reader, Mp4Track& track, std::string* why);

// The packets' durations in file order, read from the time-to-sample table a
// piece at a time.
struct Mp4Durations {
    StoredTable runs;
    std::uint32_t leftInRun = 0;
    std::uint32_t duration = 0;
};

Mp4Durations openDurations(NativeFile file, const Mp4Track& track);

// Takes up to `most` (at least 1) of the next packets, all of one duration,
// from the run at hand: `*taken` of them, each `*duration` long. False when the
// runs cover no more packets or the table cannot be read (runs.cutShort and
// runs.readFailed say which).
bool takeDurations(Mp4Durations& durations, std::uint64_t most, std::uint64_t* taken, std::uint32_t* duration);

}  // namespace trakmap
