// FLAC probe: walks every frame of a FLAC stream to check that the file holds
// the samples its STREAMINFO block claims. A CD-format stream (2 channels,
// 44100 Hz, 16 bits, fixed block size) gets a seek table, and the full list
// of frame positions is cached under 'F' and the stream's MD5 signature, so
// such a file is walked only once; any other stream is measured by its
// duration.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "audio/audio_info.h"
#include "audio/probe_result.h"
#include "audio/bit_reader.h"
#include "cache/seek_table_cache.h"
#include "platform/platform.h"

namespace trakmap {

// The probe's working state: STREAMINFO, the reader and the frame last decoded.
struct FlacDecoder {
    std::int32_t sampleRate = 0;
    std::int32_t channels = 0;
    std::int32_t bitsPerSample = 0;
    std::int32_t minBlockSize = 0;
    std::int32_t maxBlockSize = 0;
    std::int32_t maxFrameSize = 0;  // 0 means unknown
    std::uint64_t streamTotalSamples = 0;
    Digest md5Signature{};
    bool streamInfoSeen = false;
    std::int32_t blockSize = 0;  // of the frame last decoded
    BitReader reader;
    std::uint32_t frameSample = 0;  // first sample of the frame last decoded
    std::uint32_t frameOffset = 0;  // byte offset of the frame last decoded
};

struct FlacFrameHeader {
    std::int32_t sampleRate = 0;  // Hz; 0 when the frame refers to STREAMINFO
    std::int32_t channels = 0;
    std::int32_t bitsPerSample = 0;
    std::int32_t blockSize = 0;
    std::int32_t channelMode = 0;  // 0 independent, 1 left/side, 2 right/side, 3 mid/side
    std::int64_t codedNumber = 0;  // frame number, or sample number when variableBlocking
    bool variableBlocking = false;
};

enum FlacFrameResult : int {
    kFlacFrameRefused = 0,
    kFlacFrameDecoded = 1,
    kFlacStreamEnded = 2,  // the data ended where the next frame would begin
};

// Reads "fLaC" and the metadata blocks from a reader set up at offset 0.
// False when the file is not FLAC or ends inside the metadata.
bool readFlacMetadata(FlacDecoder& decoder);

// Parses the next frame completely (header, subframes, footer) to find where
// it ends; the samples are not reconstructed and the CRCs are not checked.
FlacFrameResult decodeFlacFrame(FlacDecoder& decoder);

// How a walk over the frames ended.
enum class FlacWalkEnd : std::uint8_t {
    audioEnd,    // where the audio ends: the end of the file or a trailing tag
    badFrame,    // the bytes at `stopOffset` are not a frame that parses
    cutFrame,    // the data ends inside the frame at `stopOffset`
    readFailed,  // the file could not be read to its end
};

struct FlacWalk {
    FlacWalkEnd end = FlacWalkEnd::audioEnd;
    std::uint64_t stopOffset = 0;  // the end of the last frame that parsed
    // Where the audio ends: as given, or the end of the file when a frame
    // runs past that (the bytes taken for a tag were audio).
    std::uint64_t audioEnd = 0;
    std::uint64_t samples = 0;     // the block sizes of the frames walked
};

// Walks the frames from the reader's position (the first frame) towards
// `audioEnd` in a file of `fileSize` bytes, appending one point (first
// sample, byte offset) per frame to `points` unless it is null.
FlacWalk walkFlacFrames(FlacDecoder& decoder, std::uint64_t audioEnd, std::uint64_t fileSize,
                        std::vector<SeekPoint>* points);

// Where a walk of the frames from the reader's position (the first frame) to
// `audioEnd` may be split into `parts`: for each part after the first, the
// first place at or after its share of the bytes (and after the place before)
// where a frame header of this stream with a valid CRC-8 begins, searched for
// within 64 KiB. Such bytes may still lie inside a frame; a split walk
// confirms each place. Fewer places when some share has none.
std::vector<std::uint64_t> findFlacSplitPoints(const FlacDecoder& decoder, std::uint64_t audioEnd, unsigned parts);

// Walks the frames as walkFlacFrames does, with the same result, in parts on
// threads of their own: the first part from the reader's position, each
// other part from one of `splitPoints` (increasing), each until its
// successor's start. A part that does not end exactly where its successor
// began walks on alone and the later parts are dropped. `threads` of 0 gives
// every part a thread of its own; 1 walks the parts one after the other.
FlacWalk walkFlacFramesInParts(FlacDecoder& decoder, std::uint64_t audioEnd, std::uint64_t fileSize,
                               std::vector<SeekPoint>* points, std::span<const std::uint64_t> splitPoints,
                               unsigned threads = 0);

// Thins the full point list (closing point included, at least one point) to
// about one point a second and stores it, with the step, in `info`. False
// without memory.
bool buildSeekTable(std::int32_t maxBlockSize, AudioInfo& info, std::span<const SeekPoint> points);

// Says how `file` is measured: a stream at its start, or behind the ID3v2
// tags there. With `threads` above 1 a long stream is walked in as many
// parts at once.
ProbeResult probeFlac(NativeFile file, unsigned threads);
inline ProbeResult probeFlac(NativeFile file) { return probeFlac(file, 1); }
// The same for a stream that starts at `audioStart` (behind a tag); offsets in
// its table stay offsets from the start of the file.
ProbeResult probeFlacAt(NativeFile file, std::uint64_t audioStart, unsigned threads = 1);

}  // namespace trakmap
