#include "audio/flac.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"
#include "audio/id3.h"
#include "audio/trailing_tags.h"
#include "platform/parallel.h"

namespace trakmap {

namespace {

constexpr std::uint32_t kStreamMarker = 0x664C6143;  // "fLaC"
constexpr std::uint32_t kFrameSync = 0x7FFC;         // 14-bit sync code and a 0 reserved bit
constexpr std::int32_t kSamplesPerSecond = 44100;
constexpr std::size_t kFirstPointReservation = 3000;

// Sample rate codes 0 to 11 of the frame header; 0 refers to STREAMINFO.
constexpr std::int32_t kSampleRates[12] = {0,     88200, 176400, 192000, 8000,  16000,
                                           22050, 24000, 32000,  44100,  48000, 96000};

void readStreamInfo(FlacDecoder& decoder) {
    BitReader& reader = decoder.reader;
    // Read as its 34 standard bytes whatever the block's length field says.
    decoder.minBlockSize = static_cast<std::int32_t>(readBits(reader, 16));
    decoder.maxBlockSize = static_cast<std::int32_t>(readBits(reader, 16));
    readBits(reader, 24);  // minimum frame size, not used
    decoder.maxFrameSize = static_cast<std::int32_t>(readBits(reader, 24));
    decoder.sampleRate = static_cast<std::int32_t>(readBits(reader, 20));
    decoder.channels = static_cast<std::int32_t>(readBits(reader, 3)) + 1;
    decoder.bitsPerSample = static_cast<std::int32_t>(readBits(reader, 5)) + 1;
    decoder.streamTotalSamples = readBits36(reader);
    for (std::uint8_t& byte : decoder.md5Signature) byte = static_cast<std::uint8_t>(readBits(reader, 8));
    decoder.streamInfoSeen = true;
}

// The block size a frame header's 4-bit code gives by itself; 0 for the
// reserved code 0 and for codes 6 and 7, whose size follows the coded number.
std::int32_t blockSizeOfCode(std::uint32_t code) {
    if (code == 1) return 192;
    if (code >= 2 && code <= 5) return 576 << (code - 2);
    if (code >= 8) return 256 << (code - 8);
    return 0;
}

// Parses the frame header after the sync code. False for a malformed header.
bool readFrameHeader(FlacDecoder& decoder, FlacFrameHeader& header) {
    BitReader& reader = decoder.reader;
    header.variableBlocking = readBit(reader) != 0;
    std::uint32_t blockSizeCode = readBits(reader, 4);
    std::uint32_t sampleRateCode = readBits(reader, 4);

    std::uint32_t assignment = readBits(reader, 4);
    if (assignment <= 7) {
        header.channels = static_cast<std::int32_t>(assignment) + 1;
        header.channelMode = 0;
    } else if (assignment <= 10) {
        header.channels = 2;
        header.channelMode = static_cast<std::int32_t>(assignment) - 7;
    } else {
        return false;
    }

    // Code 7 is 32 bits, which encoders write since the format took them in.
    static constexpr std::int32_t kSampleSizes[8] = {0, 8, 12, -1, 16, 20, 24, 32};
    std::int32_t sampleSize = kSampleSizes[readBits(reader, 3)];
    if (sampleSize < 0) return false;
    header.bitsPerSample = sampleSize == 0 ? decoder.bitsPerSample : sampleSize;
    if (readBit(reader) != 0) return false;

    header.codedNumber = readCodedNumber(reader);
    if (header.codedNumber < 0) return false;
    auto number = static_cast<std::uint64_t>(header.codedNumber);
    decoder.frameSample = static_cast<std::uint32_t>(
        header.variableBlocking ? number : number * static_cast<std::uint64_t>(decoder.maxBlockSize));

    if (blockSizeCode == 0) return false;
    if (blockSizeCode == 6) header.blockSize = static_cast<std::int32_t>(readBits(reader, 8)) + 1;
    else if (blockSizeCode == 7) header.blockSize = static_cast<std::int32_t>(readBits(reader, 16)) + 1;
    else header.blockSize = blockSizeOfCode(blockSizeCode);
    decoder.blockSize = header.blockSize;

    if (sampleRateCode <= 11) header.sampleRate = kSampleRates[sampleRateCode];
    else if (sampleRateCode == 12) header.sampleRate = static_cast<std::int32_t>(readBits(reader, 8)) * 1000;
    else if (sampleRateCode == 13) header.sampleRate = static_cast<std::int32_t>(readBits(reader, 16));
    else if (sampleRateCode == 14) header.sampleRate = static_cast<std::int32_t>(readBits(reader, 16)) * 10;
    else return false;

    readBits(reader, 8);  // header CRC-8, not checked

    // A frame of more samples or channels than STREAMINFO gives is taken as
    // the reference decoder takes it: the walk keeps no samples, so nothing
    // is sized by STREAMINFO, and refusing the frame would call a stream that
    // plays damaged.
    return true;
}

// Skips the residual of a predictor of `order` to find where it ends.
bool skipResidual(BitReader& reader, std::int32_t blockSize, std::int32_t order) {
    std::uint32_t method = readBits(reader, 2);
    if (method > 1) return false;
    const std::int32_t parameterBits = method == 0 ? 4 : 5;
    const std::uint32_t escape = method == 0 ? 15 : 31;
    const auto partitionOrder = static_cast<std::int32_t>(readBits(reader, 4));
    const std::int32_t partitionSize = blockSize >> partitionOrder;
    if ((partitionSize << partitionOrder) != blockSize || order > partitionSize) return false;
    for (std::int32_t partition = 0; partition < (1 << partitionOrder); ++partition) {
        auto count = static_cast<std::uint32_t>(partition == 0 ? partitionSize - order : partitionSize);
        std::uint32_t parameter = readBits(reader, parameterBits);
        if (parameter == escape) {
            std::uint32_t width = readBits(reader, 5);
            skipBits(reader, std::uint64_t{count} * width);
        } else if (!skipRiceCodes(reader, count, static_cast<std::int32_t>(parameter))) {
            return false;
        }
        if (reader.overrun) return false;
    }
    return true;
}

bool skipSubframe(FlacDecoder& decoder, const FlacFrameHeader& header, std::int32_t channel) {
    BitReader& reader = decoder.reader;
    bool sideChannel = ((header.channelMode == 1 || header.channelMode == 3) && channel == 1) ||
                       (header.channelMode == 2 && channel == 0);
    std::int64_t width = header.bitsPerSample + (sideChannel ? 1 : 0);
    if (readBit(reader) != 0) return false;
    std::uint32_t type = readBits(reader, 6);
    if (readBit(reader) != 0) width -= std::int64_t{readUnary(reader)} + 1;
    // More wasted bits than the sample has is malformed; the side channel of
    // 32-bit audio is 33 bits wide.
    if (width > 33 || width < 0) return false;

    const auto blockSize = static_cast<std::uint64_t>(header.blockSize);
    if (type == 0) {  // constant
        skipBits(reader, static_cast<std::uint64_t>(width));
    } else if (type == 1) {  // verbatim
        skipBits(reader, blockSize * static_cast<std::uint64_t>(width));
    } else if (type >= 8 && type <= 12) {  // fixed predictor
        auto order = static_cast<std::int32_t>(type - 8);
        skipBits(reader, static_cast<std::uint64_t>(order * width));
        return skipResidual(reader, header.blockSize, order);
    } else if (type >= 32) {  // linear predictor
        auto order = static_cast<std::int32_t>(type - 31);
        skipBits(reader, static_cast<std::uint64_t>(order * width));
        std::uint32_t precision = readBits(reader, 4);
        if (precision == 15) return false;
        if (readSignedBits(reader, 5) < 0) return false;  // negative quantization shift
        skipBits(reader, static_cast<std::uint64_t>(order) * (precision + 1));
        return skipResidual(reader, header.blockSize, order);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool readFlacMetadata(FlacDecoder& decoder) {
    BitReader& reader = decoder.reader;
    if (readBits(reader, 32) != kStreamMarker) return false;
    for (;;) {
        std::uint32_t blockHeader = readBits(reader, 32);
        bool lastBlock = (blockHeader >> 31) != 0;
        std::uint32_t type = (blockHeader >> 24) & 0x7F;
        std::uint32_t length = blockHeader & 0xFFFFFF;
        if (type == 0) readStreamInfo(decoder);
        else skipBits(reader, std::uint64_t{length} * 8);
        // Past the end of the data every header would read as another block.
        if (reader.overrun) return false;
        if (lastBlock) return true;
    }
}

FlacFrameResult decodeFlacFrame(FlacDecoder& decoder) {
    BitReader& reader = decoder.reader;
    decoder.frameOffset = static_cast<std::uint32_t>(bytePosition(reader));
    if (reader.atEnd) return kFlacStreamEnded;
    // Bytes after the last frame that are too short for a sync code are a
    // cut-off frame, not a clean end.
    if (readBits(reader, 15) != kFrameSync || reader.overrun) return kFlacFrameRefused;
    FlacFrameHeader header;
    if (!readFrameHeader(decoder, header)) return kFlacFrameRefused;
    for (std::int32_t channel = 0; channel < header.channels; ++channel)
        if (!skipSubframe(decoder, header, channel)) return kFlacFrameRefused;
    alignToByte(reader);
    readBits(reader, 16);  // frame CRC-16, not checked
    // A frame that the end of the file cut short is refused.
    return reader.overrun ? kFlacFrameRefused : kFlacFrameDecoded;
}

namespace {

// The smallest frame the decoder accepts: a 6-byte header, one subframe of 16
// bits (its header, then a constant or what wasted bits leave of one) and the
// CRC-16. The point list never needs room for more points than the file can
// hold frames of that size, plus the closing point.
constexpr std::uint64_t kSmallestFrameBytes = 10;

// Appends a frame's point, growing the list no further than `most` points and
// always leaving room for the closing point, so that a hostile file of tiny
// frames cannot make it twice the size it needs.
void appendPoint(std::vector<SeekPoint>& points, SeekPoint point, std::size_t most) {
    if (points.size() + 2 > points.capacity()) {
        std::size_t wanted = std::max(points.capacity() * 2, kFirstPointReservation);
        points.reserve(std::max(std::min(wanted, most), points.size() + 2));
    }
    points.push_back(point);
}

// The most points a walk from the reader's position can need.
std::size_t mostPointsFrom(const BitReader& reader, std::uint64_t fileSize) {
    const auto from = static_cast<std::uint64_t>(bytePosition(reader));
    return static_cast<std::size_t>((fileSize > from ? fileSize - from : 0) / kSmallestFrameBytes + 2);
}

// Walks on from the reader's position until the audio ends, a frame does not
// parse, or a frame ends at or past `until`: `walk` then holds that end.
void continueWalk(FlacDecoder& decoder, FlacWalk& walk, std::uint64_t fileSize, std::vector<SeekPoint>* points,
                  std::size_t mostPoints, std::uint64_t until) {
    BitReader& reader = decoder.reader;
    for (;;) {
        walk.stopOffset = static_cast<std::uint64_t>(bytePosition(reader));
        if (walk.stopOffset > walk.audioEnd) walk.audioEnd = fileSize;
        if (walk.stopOffset == walk.audioEnd || walk.stopOffset >= until) break;
        FlacFrameResult result = decodeFlacFrame(decoder);
        if (result != kFlacFrameDecoded) {
            walk.end = result == kFlacFrameRefused && !reader.overrun ? FlacWalkEnd::badFrame : FlacWalkEnd::cutFrame;
            break;
        }
        walk.samples += static_cast<std::uint64_t>(decoder.blockSize);
        if (points != nullptr) appendPoint(*points, SeekPoint{decoder.frameSample, decoder.frameOffset}, mostPoints);
    }
}

// A walk that stopped at a frame boundary it was asked to stop at, before the
// audio's end.
bool stoppedEarly(const FlacWalk& walk) {
    return walk.end == FlacWalkEnd::audioEnd && walk.stopOffset != walk.audioEnd;
}

void finishWalk(const BitReader& reader, FlacWalk& walk, std::uint64_t fileSize) {
    // Data that ended before the file did was not all read.
    if (walk.end == FlacWalkEnd::cutFrame && reader.lastBuffer && reader.bufferStart + reader.validBytes < fileSize)
        walk.end = FlacWalkEnd::readFailed;
}

// CRC-8 of a frame header: polynomial 0x07, initial 0.
std::uint8_t headerCrc8(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1;
        crc &= 0xFF;
    }
    return static_cast<std::uint8_t>(crc);
}

// Whether `bytes` (at least kLongestFrameHeader of them) begin with a frame
// header of this stream whose CRC-8 holds.
constexpr std::size_t kLongestFrameHeader = 16;

bool looksLikeFrameHeader(const FlacDecoder& decoder, const std::uint8_t* bytes) {
    if (bytes[0] != 0xFF || (bytes[1] & 0xFE) != 0xF8) return false;
    const unsigned blockSizeCode = bytes[2] >> 4, sampleRateCode = bytes[2] & 0x0F;
    const unsigned assignment = bytes[3] >> 4, sampleSizeCode = (bytes[3] >> 1) & 0x07;
    if (blockSizeCode == 0 || sampleRateCode == 15 || assignment > 10 || sampleSizeCode == 3 || (bytes[3] & 1) != 0)
        return false;
    if ((assignment <= 7 ? static_cast<std::int32_t>(assignment) + 1 : 2) > decoder.channels) return false;
    // The coded number: a first byte of 0 to 6 leading ones after the first
    // and that many bytes 10xxxxxx.
    std::size_t at = 4;
    int ones = std::countl_one(bytes[at]);
    if (ones == 1 || ones > 7) return false;
    int continuation = ones == 0 ? 0 : ones - 1;
    ++at;
    for (int i = 0; i < continuation; ++i, ++at)
        if ((bytes[at] & 0xC0) != 0x80) return false;
    std::int32_t blockSize = blockSizeOfCode(blockSizeCode);
    if (blockSizeCode == 6) {
        blockSize = bytes[at++] + 1;
    } else if (blockSizeCode == 7) {
        blockSize = (bytes[at] << 8 | bytes[at + 1]) + 1;
        at += 2;
    }
    if (blockSize > decoder.maxBlockSize) return false;
    if (sampleRateCode == 12) at += 1;
    else if (sampleRateCode == 13 || sampleRateCode == 14) at += 2;
    return headerCrc8(bytes, at) == bytes[at];
}

// Bytes searched for a frame header from each place the walk is to be split.
constexpr std::uint32_t kSplitSearchBytes = 65536;

}  // namespace

FlacWalk walkFlacFrames(FlacDecoder& decoder, std::uint64_t audioEnd, std::uint64_t fileSize,
                        std::vector<SeekPoint>* points) {
    FlacWalk walk;
    walk.audioEnd = audioEnd;
    continueWalk(decoder, walk, fileSize, points, mostPointsFrom(decoder.reader, fileSize), UINT64_MAX);
    finishWalk(decoder.reader, walk, fileSize);
    return walk;
}

std::vector<std::uint64_t> findFlacSplitPoints(const FlacDecoder& decoder, std::uint64_t audioEnd,
                                               unsigned parts) {
    std::vector<std::uint64_t> found;
    const auto firstFrame = static_cast<std::uint64_t>(bytePosition(decoder.reader));
    if (parts < 2 || audioEnd <= firstFrame) return found;
    const std::uint64_t span = audioEnd - firstFrame;
    std::vector<std::uint8_t> window(kSplitSearchBytes + kLongestFrameHeader);
    for (unsigned part = 1; part < parts; ++part) {
        const std::uint64_t from = std::max(firstFrame + span / parts * part, found.empty() ? 0 : found.back() + 1);
        if (from >= audioEnd) break;
        std::uint32_t got = 0;
        const auto wanted = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(window.size(), audioEnd - from));
        if (!platformReadFileAt(decoder.reader.file, from, window.data(), wanted, &got)) break;
        if (got < kLongestFrameHeader) continue;
        for (std::uint32_t at = 0; at + kLongestFrameHeader <= got && at < kSplitSearchBytes; ++at) {
            if (window[at] == 0xFF && looksLikeFrameHeader(decoder, window.data() + at)) {
                found.push_back(from + at);
                break;
            }
        }
    }
    return found;
}

namespace {

// One part of a split walk: from its start until the next part's start.
struct WalkPart {
    std::unique_ptr<FlacDecoder> own;  // null for the first part, which walks on the caller's decoder
    FlacDecoder* decoder = nullptr;
    std::vector<SeekPoint> points;
    std::size_t mostPoints = 0;
    std::uint64_t until = UINT64_MAX;
    FlacWalk walk;
};

// A decoder of the same stream whose reader starts at `offset`.
std::unique_ptr<FlacDecoder> decoderAt(const FlacDecoder& decoder, std::uint64_t offset) {
    std::unique_ptr<FlacDecoder> copy(new (std::nothrow) FlacDecoder());
    if (!copy) return copy;
    copy->sampleRate = decoder.sampleRate;
    copy->channels = decoder.channels;
    copy->bitsPerSample = decoder.bitsPerSample;
    copy->minBlockSize = decoder.minBlockSize;
    copy->maxBlockSize = decoder.maxBlockSize;
    copy->maxFrameSize = decoder.maxFrameSize;
    copy->streamTotalSamples = decoder.streamTotalSamples;
    copy->md5Signature = decoder.md5Signature;
    copy->streamInfoSeen = decoder.streamInfoSeen;
    if (!initReader(copy->reader, decoder.reader.file, offset)) copy.reset();
    return copy;
}

}  // namespace

FlacWalk walkFlacFramesInParts(FlacDecoder& decoder, std::uint64_t audioEnd, std::uint64_t fileSize,
                               std::vector<SeekPoint>* points, std::span<const std::uint64_t> splitPoints,
                               unsigned threads) {
    std::vector<WalkPart> parts(1);
    parts[0].decoder = &decoder;
    for (std::uint64_t offset : splitPoints) {
        WalkPart part;
        part.own = decoderAt(decoder, offset);
        if (!part.own) break;  // without memory for another reader, fewer parts
        part.decoder = part.own.get();
        parts.back().until = offset;
        parts.push_back(std::move(part));
    }
    if (parts.size() == 1) return walkFlacFrames(decoder, audioEnd, fileSize, points);
    for (WalkPart& part : parts) {
        part.walk.audioEnd = audioEnd;
        part.mostPoints = mostPointsFrom(part.decoder->reader, fileSize);
    }

    // Running out of memory for a part's points is that of the whole walk,
    // on the calling thread.
    std::atomic<bool> outOfMemory{false};
    if (threads == 0) threads = static_cast<unsigned>(parts.size());
    platformRunInParallel(parts.size(), threads, [&](std::size_t k) {
        WalkPart& part = parts[k];
        try {
            continueWalk(*part.decoder, part.walk, fileSize, points != nullptr ? &part.points : nullptr,
                         part.mostPoints, part.until);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    });
    if (outOfMemory) throw std::bad_alloc();

    // The parts are joined while each one ends exactly where the next began:
    // a frame parses the same wherever the walk came from, so the next part
    // is then what a walk of the whole would have found. A part that stopped
    // elsewhere (its successor began at bytes that only looked like a frame,
    // or inside a frame) walks on from where it is, and the parts after it
    // are dropped.
    FlacWalk walk = parts[0].walk;
    if (points != nullptr) {
        std::size_t total = 1;
        for (const WalkPart& part : parts) total += part.points.size();
        points->reserve(points->size() + total);
        points->insert(points->end(), parts[0].points.begin(), parts[0].points.end());
    }
    std::size_t current = 0;
    while (stoppedEarly(walk)) {
        const std::size_t next = current + 1;
        if (next < parts.size() && walk.stopOffset == parts[current].until) {
            const WalkPart& part = parts[next];
            walk.samples += part.walk.samples;
            walk.end = part.walk.end;
            walk.stopOffset = part.walk.stopOffset;
            walk.audioEnd = part.walk.audioEnd;
            if (points != nullptr) points->insert(points->end(), part.points.begin(), part.points.end());
            current = next;
            continue;
        }
        continueWalk(*parts[current].decoder, walk, fileSize, points, parts[current].mostPoints, UINT64_MAX);
    }
    finishWalk(parts[current].decoder->reader, walk, fileSize);
    return walk;
}

bool buildSeekTable(std::int32_t maxBlockSize, AudioInfo& info, std::span<const SeekPoint> points) {
    if (maxBlockSize <= 0 || points.empty()) return false;
    // About one kept point a second of audio.
    std::size_t step = maxBlockSize >= kSamplesPerSecond ? 1 : static_cast<std::size_t>(kSamplesPerSecond / maxBlockSize);
    info.flac.flacSeekStep = static_cast<std::uint16_t>(step);
    if (step == 1) return assignSeekPoints(info, points);
    std::size_t n = points.size();
    std::vector<SeekPoint> kept;
    kept.reserve((step + n - 2) / step + 1);
    for (std::size_t i = 0; i < n - 1; i += step) kept.push_back(points[i]);
    kept.push_back(points[n - 1]);
    return assignSeekPoints(info, kept);
}

namespace {

constexpr std::uint64_t kFileSizeLimit = std::uint64_t{1} << 32;  // offsets in the table are 32-bit
// The part of a file a thread of a split walk should have at least: less is
// not worth starting a thread for. Each part has a reader buffer of its own,
// so their number is bounded too.
constexpr std::uint64_t kSmallestWalkPart = std::uint64_t{1} << 19;
constexpr unsigned kMostWalkParts = 8;
constexpr Digest kNoSignature{};

// A stream of the CD format, the only kind that gets a seek table.
bool isCdStream(const FlacDecoder& decoder) {
    return decoder.minBlockSize == decoder.maxBlockSize &&
           isCdFormat(AudioFormat{static_cast<std::uint32_t>(decoder.sampleRate),
                                  static_cast<std::uint32_t>(decoder.bitsPerSample),
                                  static_cast<std::uint32_t>(decoder.channels)});
}

// Where the file ends and where its audio does.
struct FlacFileExtent {
    std::uint64_t fileSize = 0;
    std::uint64_t firstFrame = 0;
    std::uint64_t audioEnd = 0;  // the start of the tags behind the audio, or the file size
};

// A record stored for the same signature is used only when it fits this
// file: its first frame where this file's is, its closing point where this
// file's audio ends (so a copy cut short is walked, and refused), and the
// total STREAMINFO gives, if it gives one.
bool recordFits(const SeekTableRecord& record, const FlacDecoder& decoder, const FlacFileExtent& extent) {
    if (record.entries.empty() || record.entries.front().offset != extent.firstFrame) return false;
    const SeekPoint& closing = record.entries.back();
    if (closing.offset != extent.audioEnd && closing.offset != extent.fileSize) return false;
    if (closing.sample != record.totalSamples) return false;
    return decoder.streamTotalSamples == 0 || decoder.streamTotalSamples == record.totalSamples;
}

// The CD-format result: the record with its thinned table.
ProbeResult cdStreamResult(const FlacDecoder& decoder, std::uint32_t totalSamples, std::span<const SeekPoint> points,
                           std::string note) {
    AudioInfoPtr info = newAudioInfo(kCodecFlac);
    if (!info) return refusedResult(kNoMemoryReason);
    info->totalSamples = totalSamples;
    info->maxFrameBytes = static_cast<std::uint32_t>(decoder.maxFrameSize);
    info->maxFrameSamples = static_cast<std::uint32_t>(decoder.maxBlockSize);
    info->flac.flacChannels = 2;
    info->flac.flacBitsPerSample = 16;
    if (!buildSeekTable(decoder.maxBlockSize, *info, points)) return refusedResult(kNoMemoryReason);
    return cdAudioResult(std::move(info), std::move(note));
}

// Why a walk that ended as `walk` did is refused; empty when the frames hold
// the stream. A stream whose STREAMINFO gives no total holds what was walked.
std::string refusal(const FlacWalk& walk, std::uint64_t claimed) {
    if (walk.end == FlacWalkEnd::readFailed) return unreadableReason(walk.stopOffset);
    if (claimed == 0 || walk.samples >= claimed) return {};
    if (walk.end == FlacWalkEnd::badFrame)
        return "FLAC frame at byte " + std::to_string(walk.stopOffset) + " does not parse: the file is damaged (" +
               std::to_string(walk.samples) + " of " + std::to_string(claimed) + " samples before it)";
    return cutShortReason(walk.stopOffset, walk.samples, claimed);
}

ProbeResult walkStream(FlacDecoder& decoder, const FlacFileExtent& extent, bool cacheable, unsigned threads) {
    const bool cdStream = isCdStream(decoder);
    std::vector<SeekPoint> points;
    FlacWalk walk;
    const std::uint64_t frameBytes = extent.audioEnd > extent.firstFrame ? extent.audioEnd - extent.firstFrame : 0;
    const auto parts = static_cast<unsigned>(
        std::min<std::uint64_t>(std::min(threads, kMostWalkParts), frameBytes / kSmallestWalkPart));
    if (parts > 1) {
        const std::vector<std::uint64_t> splitPoints = findFlacSplitPoints(decoder, extent.audioEnd, parts);
        walk = walkFlacFramesInParts(decoder, extent.audioEnd, extent.fileSize, cdStream ? &points : nullptr,
                                     splitPoints);
    } else {
        walk = walkFlacFrames(decoder, extent.audioEnd, extent.fileSize, cdStream ? &points : nullptr);
    }
    std::string refused = refusal(walk, decoder.streamTotalSamples);
    if (!refused.empty()) return refusedResult(std::move(refused));
    const std::uint64_t samples = decoder.streamTotalSamples != 0 ? decoder.streamTotalSamples : walk.samples;
    // Bytes after the last frame that are neither a frame nor a tag are named;
    // they cannot be told from a cut copy's without a walk, so a stream with
    // them is not cached.
    std::string note;
    if (walk.end != FlacWalkEnd::audioEnd)
        note = strayBytesNote(walk.audioEnd - walk.stopOffset, walk.stopOffset, "FLAC frames");

    if (!cdStream) {
        const AudioFormat format{static_cast<std::uint32_t>(decoder.sampleRate),
                                 static_cast<std::uint32_t>(decoder.bitsPerSample),
                                 static_cast<std::uint32_t>(decoder.channels)};
        ProbeResult result = durationResult(format, samples, isCdFormat(format) ? " in blocks of varying size" : "");
        if (!note.empty() && result.measure == Measure::byDuration) result.reason += "; " + note;
        return result;
    }
    if (samples > UINT32_MAX)
        return refusedResult(std::to_string(samples) + " samples: longer than this tool can measure");
    const auto totalSamples = static_cast<std::uint32_t>(samples);
    points.push_back(SeekPoint{totalSamples, static_cast<std::uint32_t>(walk.stopOffset)});
    if (cacheable && note.empty())
        storeSeekTable(points, decoder.md5Signature, 'F', static_cast<std::uint32_t>(decoder.maxBlockSize),
                       static_cast<std::uint32_t>(decoder.maxFrameSize), totalSamples);
    return cdStreamResult(decoder, totalSamples, points, std::move(note));
}

bool startsWithStreamMarker(NativeFile file, std::uint64_t audioStart) {
    std::uint8_t marker[4];
    return readExactlyAt(file, audioStart, marker, 4) && loadBe32(marker) == kStreamMarker;
}

}  // namespace

ProbeResult probeFlacAt(NativeFile file, std::uint64_t audioStart, unsigned threads) {
    std::int64_t size = 0;
    if (!platformFileSize(file, &size) || size < 0) return refusedResult(unreadableReason(0));
    FlacFileExtent extent;
    extent.fileSize = static_cast<std::uint64_t>(size);
    if (extent.fileSize >= kFileSizeLimit) return refusedResult("a FLAC file of 4 GiB or more: too large to measure");
    if (!startsWithStreamMarker(file, audioStart))
        return bySizeResult("not an audio format this tool reads (no FLAC stream at byte " +
                            std::to_string(audioStart) + ")");
    extent.audioEnd = audioEndBeforeTags(file, extent.fileSize, audioStart);

    std::unique_ptr<FlacDecoder> decoder(new (std::nothrow) FlacDecoder());
    if (!decoder) return refusedResult(kNoMemoryReason);
    if (!platformSeekFile(file, static_cast<std::int64_t>(audioStart), SeekFrom::begin))
        return refusedResult(unreadableReason(audioStart));
    if (!initReader(decoder->reader, file, audioStart)) return refusedResult(kNoMemoryReason);
    if (!readFlacMetadata(*decoder))
        return refusedResult("cut short at byte " + std::to_string(bytePosition(decoder->reader)) +
                             ", inside its FLAC metadata");
    if (!decoder->streamInfoSeen) return refusedResult("its FLAC metadata has no STREAMINFO block: its length cannot be told");
    // No frame fits a largest block of 0 samples.
    if (decoder->maxBlockSize <= 0) return refusedResult("its STREAMINFO block gives a block size of 0: the file is damaged");
    extent.firstFrame = static_cast<std::uint64_t>(bytePosition(decoder->reader));

    // A signature of zeros names no audio (encoders leave it so when they do
    // not compute one): such a stream is walked every time.
    const bool cacheable = isCdStream(*decoder) && decoder->md5Signature != kNoSignature;
    if (cacheable) {
        std::optional<SeekTableRecord> cached = loadSeekTable('F', decoder->md5Signature);
        if (cached && recordFits(*cached, *decoder, extent))
            return cdStreamResult(*decoder, cached->totalSamples, cached->entries, {});
    }
    return walkStream(*decoder, extent, cacheable, threads);
}

ProbeResult probeFlac(NativeFile file, unsigned threads) {
    std::int64_t size = 0;
    if (!platformFileSize(file, &size) || size < 0) return refusedResult(unreadableReason(0));
    std::optional<std::uint64_t> start = dataBehindId3v2Tags(file, static_cast<std::uint64_t>(size));
    return probeFlacAt(file, start.value_or(0), threads);
}

}  // namespace trakmap
