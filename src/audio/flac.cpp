#include "audio/flac.h"

#include <memory>
#include <new>
#include <vector>

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

bool isCdFormat(const FlacDecoder& decoder) {
    // A maximum block size of 0 could place no frame and would divide by zero
    // when the table is thinned.
    return decoder.streamInfoSeen && decoder.minBlockSize == decoder.maxBlockSize &&
           decoder.maxBlockSize > 0 && decoder.channels == 2 && decoder.sampleRate == kSamplesPerSecond &&
           decoder.bitsPerSample == 16;
}

// Parses the frame header after the sync code. False for a malformed header
// or one the stream's STREAMINFO cannot hold.
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

    static constexpr std::int32_t kSampleSizes[8] = {0, 8, 12, -1, 16, 20, 24, -1};
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
    if (blockSizeCode == 1) header.blockSize = 192;
    else if (blockSizeCode <= 5) header.blockSize = 576 << (blockSizeCode - 2);
    else if (blockSizeCode == 6) header.blockSize = static_cast<std::int32_t>(readBits(reader, 8)) + 1;
    else if (blockSizeCode == 7) header.blockSize = static_cast<std::int32_t>(readBits(reader, 16)) + 1;
    else header.blockSize = 256 << (blockSizeCode - 8);
    decoder.blockSize = header.blockSize;

    if (sampleRateCode <= 11) header.sampleRate = kSampleRates[sampleRateCode];
    else if (sampleRateCode == 12) header.sampleRate = static_cast<std::int32_t>(readBits(reader, 8)) * 1000;
    else if (sampleRateCode == 13) header.sampleRate = static_cast<std::int32_t>(readBits(reader, 16));
    else if (sampleRateCode == 14) header.sampleRate = static_cast<std::int32_t>(readBits(reader, 16)) * 10;
    else return false;

    readBits(reader, 8);  // header CRC-8, not checked

    // The stream was accepted for its block size and channel count; a frame
    // beyond either does not belong to it.
    return header.blockSize <= decoder.maxBlockSize && header.channels <= decoder.channels;
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
    // More wasted bits than the sample has is as malformed as a width over 32.
    if (width > 32 || width < 0) return false;

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

bool walkFlacFrames(FlacDecoder& decoder, std::vector<SeekPoint>& points) {
    for (;;) {
        FlacFrameResult result = decodeFlacFrame(decoder);
        if (result == kFlacFrameRefused) return false;
        if (result == kFlacStreamEnded) return true;
        points.push_back(SeekPoint{decoder.frameSample, decoder.frameOffset});
    }
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

AudioInfoPtr measureFlac(NativeFile file, std::uint64_t audioStart) {
    std::int64_t fileSize = 0;
    if (!platformFileSize(file, &fileSize) || fileSize >= (std::int64_t{1} << 32)) return nullptr;
    std::unique_ptr<FlacDecoder> decoder(new (std::nothrow) FlacDecoder());
    if (!decoder || !platformSeekFile(file, static_cast<std::int64_t>(audioStart), SeekFrom::begin) ||
        !initReader(decoder->reader, file, audioStart))
        return nullptr;
    if (!readFlacMetadata(*decoder) || !isCdFormat(*decoder)) return nullptr;
    AudioInfoPtr info = newAudioInfo(kCodecFlac);
    if (!info) return nullptr;
    const auto totalSamples = static_cast<std::uint32_t>(decoder->streamTotalSamples);
    info->totalSamples = totalSamples;
    info->maxFrameBytes = static_cast<std::uint32_t>(decoder->maxFrameSize);
    info->maxFrameSamples = static_cast<std::uint32_t>(decoder->maxBlockSize);
    info->flac.flacSeekStep = 1;
    info->flac.flacChannels = 2;
    info->flac.flacBitsPerSample = 16;

    if (std::optional<SeekTableRecord> cached = loadSeekTable('F', decoder->md5Signature)) {
        if (!buildSeekTable(decoder->maxBlockSize, *info, cached->entries)) return nullptr;
        return info;
    }

    std::vector<SeekPoint> points;
    points.reserve(kFirstPointReservation);
    if (!walkFlacFrames(*decoder, points)) return nullptr;
    points.push_back(SeekPoint{totalSamples, static_cast<std::uint32_t>(fileSize)});
    storeSeekTable(points, decoder->md5Signature, 'F', static_cast<std::uint32_t>(decoder->maxBlockSize),
                   static_cast<std::uint32_t>(decoder->maxFrameSize), totalSamples);
    if (!buildSeekTable(decoder->maxBlockSize, *info, points)) return nullptr;
    return info;
}

}  // namespace

ProbeResult probeFlacAt(NativeFile file, std::uint64_t audioStart) {
    AudioInfoPtr info = measureFlac(file, audioStart);
    if (!info) return ProbeResult{};
    return cdAudioResult(std::move(info));
}

ProbeResult probeFlac(NativeFile file) { return probeFlacAt(file, 0); }

}  // namespace trakmap
