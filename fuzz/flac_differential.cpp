// The frame walk against the reference FLAC decoder. The input does not hold
// a FLAC stream: it chooses audio and encoder settings, the reference encoder
// makes the stream, and then the input may rewrite frame headers or change
// bytes inside frames, with the frames' CRCs made right again so that the
// reference decoder still takes every frame that parses. Whenever that
// decoder goes through the whole stream without reporting an error, the walk
// must find the same frames: the same byte offset and first sample for each.
#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/flac.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"

namespace trakmap::fuzz {

namespace {

// Hands out the input's bytes front to back; zeros once they run out.
struct ByteSource {
    Input rest;

    std::uint8_t byte() {
        if (rest.empty()) return 0;
        std::uint8_t value = rest.front();
        rest = rest.subspan(1);
        return value;
    }
    // Big-endian; the calls are sequenced, so that every compiler reads an
    // input the same way (the test suite replays inputs built with another).
    std::uint32_t u16() {
        std::uint32_t high = byte();
        return high << 8 | byte();
    }
    std::uint32_t u32() {
        std::uint32_t high = u16();
        return high << 16 | u16();
    }
    // A value in [0, count).
    std::uint32_t below(std::uint32_t count) { return count <= 256 ? byte() % count : u16() % count; }
};

// ---------------------------------------------------------------------------
// Audio and encoder settings.

// How the samples of the input are made: each shape leads the encoder to a
// different kind of subframe.
enum class Shape : std::uint8_t { silence, constant, tone, raw, ramp, wastedBits, noise, sameChannels, count };

struct Settings {
    std::uint32_t channels = 2;
    std::uint32_t bitsPerSample = 16;
    std::uint32_t sampleRate = 44100;
    std::uint32_t blockSize = 4096;
    std::uint32_t samples = 0;  // per channel
    std::uint32_t maxLpcOrder = 8;
    std::uint32_t qlpPrecision = 0;
    bool precisionSearch = false;
    bool exhaustiveSearch = false;
    std::uint32_t minPartitionOrder = 0;
    std::uint32_t maxPartitionOrder = 6;
    bool midSide = true;
    bool looseMidSide = false;
    const char* apodization = "tukey(5e-1)";
    bool rewriteStreamInfo = true;  // the encoder can seek back to fill in STREAMINFO
    std::uint32_t paddingBytes = 0;
    std::uint32_t seekPoints = 0;
    Shape shape = Shape::silence;
};

// Whatever the input says, the encoder is given no more samples than this
// (all channels counted), so that every input runs in about a millisecond.
constexpr std::uint32_t kMostSampleValues = 16384;

Settings readSettings(ByteSource& source) {
    Settings s;
    static constexpr std::uint32_t kRates[] = {44100, 48000, 8000, 96000, 22050, 192000, 11025,
                                               1000,  655350, 700000, 1, 32000, 88200, 24000};
    static constexpr std::uint32_t kBits[] = {16, 24, 8, 12, 20, 32, 4, 17, 5, 28};
    static constexpr std::uint32_t kBlockSizes[] = {4096, 1152, 4608, 192, 576, 256, 16, 2304, 8192, 1024};
    static constexpr const char* kApodizations[] = {
        "tukey(5e-1)", "partial_tukey(2)", "punchout_tukey(3)", "hann", "rectangle", "welch",
        "subdivide_tukey(3)", "gauss(0.2)", "tukey(5e-1);partial_tukey(2);punchout_tukey(3)"};

    std::uint8_t format = source.byte();
    // Half of the inputs are CD audio, the format the tool measures by its frames.
    if (format < 128) {
        s.channels = 2;
        s.bitsPerSample = 16;
        s.sampleRate = 44100;
    } else {
        s.channels = (format & 7) + 1;
        s.bitsPerSample = kBits[(format >> 3 & 15) % std::size(kBits)];
        s.sampleRate = kRates[source.below(std::size(kRates))];
    }
    std::uint8_t block = source.byte();
    if (block < 160) s.blockSize = kBlockSizes[block % std::size(kBlockSizes)];
    else s.blockSize = 16 + source.u16() % 8192;
    const std::uint32_t most = kMostSampleValues / s.channels;
    s.samples = source.u16() % (std::min(most, s.blockSize * 6) + 1);

    s.maxLpcOrder = source.below(33);
    std::uint8_t precision = source.byte();
    s.qlpPrecision = (precision & 15) < 5 ? 0 : precision & 15;
    s.precisionSearch = (precision & 0x10) != 0;
    // The exhaustive search costs one encoding per order: only for low orders.
    s.exhaustiveSearch = (precision & 0x20) != 0 && s.maxLpcOrder <= 8;
    s.rewriteStreamInfo = (precision & 0x40) == 0;
    std::uint8_t partitions = source.byte();
    s.minPartitionOrder = partitions & 15;
    s.maxPartitionOrder = partitions >> 4;
    if (s.minPartitionOrder > s.maxPartitionOrder) std::swap(s.minPartitionOrder, s.maxPartitionOrder);
    std::uint8_t flags = source.byte();
    s.midSide = (flags & 1) != 0;
    s.looseMidSide = (flags & 2) != 0;
    s.apodization = kApodizations[(flags >> 2) % std::size(kApodizations)];
    std::uint8_t metadata = source.byte();
    s.paddingBytes = (metadata & 3) == 1 ? (metadata >> 2) * 5u : 0;
    s.seekPoints = (metadata & 3) == 2 ? (metadata >> 2) % 8 : 0;
    s.shape = static_cast<Shape>(source.below(static_cast<std::uint32_t>(Shape::count)));
    return s;
}

// The samples, channel after channel interleaved, each within the width.
std::vector<FLAC__int32> makeSamples(const Settings& s, ByteSource& source) {
    std::vector<FLAC__int32> samples(std::size_t{s.samples} * s.channels);
    const std::int64_t top = (std::int64_t{1} << (s.bitsPerSample - 1)) - 1;
    const std::int64_t bottom = -top - 1;
    auto clamp = [&](std::int64_t v) { return static_cast<FLAC__int32>(std::clamp(v, bottom, top)); };
    const std::uint32_t seed = source.u32();
    std::uint32_t noise = seed | 1;
    auto next = [&noise] {
        noise = noise * 1664525u + 1013904223u;
        return noise;
    };
    const std::uint32_t wasted = seed % std::max<std::uint32_t>(s.bitsPerSample - 1, 1);
    const std::int64_t step = std::int64_t{seed >> 8 & 0xFF} - 128;
    for (std::uint32_t i = 0; i < s.samples; ++i) {
        for (std::uint32_t c = 0; c < s.channels; ++c) {
            std::int64_t v = 0;
            switch (s.shape) {
            case Shape::silence: v = 0; break;
            case Shape::constant: v = static_cast<std::int32_t>(seed) >> (32 - s.bitsPerSample + c % 2); break;
            case Shape::tone: {
                // A triangle wave, for the predictors, and a little noise.
                std::int64_t period = 50 + (seed & 0x3FF) + 17 * c;
                std::int64_t phase = i % period;
                std::int64_t wave = (phase < period / 2 ? phase : period - phase) * 4 - period;
                v = wave * (top / std::max<std::int64_t>(period, 1) / 2) + static_cast<std::int32_t>(next()) % 16;
                break;
            }
            case Shape::raw: v = static_cast<std::int8_t>(source.byte()) * (top / 128 + 1); break;
            case Shape::ramp: v = bottom + static_cast<std::int64_t>(i) * step * (c + 1); break;
            case Shape::wastedBits:
                v = (static_cast<std::int32_t>(next()) >> (32 - s.bitsPerSample)) & ~((std::int64_t{1} << wasted) - 1);
                break;
            case Shape::noise: v = static_cast<std::int32_t>(next()) >> (32 - s.bitsPerSample); break;
            case Shape::sameChannels:
                v = c == 0 ? static_cast<std::int32_t>(next()) >> (32 - s.bitsPerSample + 2) : samples[std::size_t{i} * s.channels];
                break;
            case Shape::count: break;
            }
            // A ramp wraps around inside the width instead of sticking at its edge.
            if (s.shape == Shape::ramp) v = bottom + ((v - bottom) & ((std::int64_t{1} << s.bitsPerSample) - 1));
            samples[std::size_t{i} * s.channels + c] = clamp(v);
        }
    }
    return samples;
}

// ---------------------------------------------------------------------------
// Encoding to memory.

struct Frame {
    std::size_t offset = 0;
    std::size_t length = 0;
};

struct Encoded {
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;  // where the encoder writes next
    std::vector<Frame> frames;
};

FLAC__StreamEncoderWriteStatus onEncoderWrite(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                              uint32_t samples, uint32_t, void* data) {
    auto* out = static_cast<Encoded*>(data);
    // A write with samples is one whole frame.
    if (samples != 0) out->frames.push_back(Frame{out->position, bytes});
    if (out->position + bytes > out->bytes.size()) out->bytes.resize(out->position + bytes);
    std::memcpy(out->bytes.data() + out->position, buffer, bytes);
    out->position += bytes;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus onEncoderSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* data) {
    auto* out = static_cast<Encoded*>(data);
    if (offset > out->bytes.size()) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    out->position = static_cast<std::size_t>(offset);
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus onEncoderTell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* data) {
    *offset = static_cast<const Encoded*>(data)->position;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

struct EncoderDeleter {
    void operator()(FLAC__StreamEncoder* encoder) const { FLAC__stream_encoder_delete(encoder); }
};
struct MetadataDeleter {
    void operator()(FLAC__StreamMetadata* block) const { FLAC__metadata_object_delete(block); }
};
using MetadataPtr = std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter>;

// Nothing when the encoder refuses the settings.
std::optional<Encoded> encode(const Settings& s, const std::vector<FLAC__int32>& samples) {
    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder(FLAC__stream_encoder_new());
    if (!encoder) fail("no encoder");
    FLAC__StreamEncoder* e = encoder.get();
    FLAC__stream_encoder_set_verify(e, false);
    FLAC__stream_encoder_set_streamable_subset(e, false);
    FLAC__stream_encoder_set_channels(e, s.channels);
    FLAC__stream_encoder_set_bits_per_sample(e, s.bitsPerSample);
    FLAC__stream_encoder_set_sample_rate(e, s.sampleRate);
    FLAC__stream_encoder_set_blocksize(e, s.blockSize);
    FLAC__stream_encoder_set_max_lpc_order(e, s.maxLpcOrder);
    FLAC__stream_encoder_set_qlp_coeff_precision(e, s.qlpPrecision);
    FLAC__stream_encoder_set_do_qlp_coeff_prec_search(e, s.precisionSearch);
    FLAC__stream_encoder_set_do_exhaustive_model_search(e, s.exhaustiveSearch);
    FLAC__stream_encoder_set_min_residual_partition_order(e, s.minPartitionOrder);
    FLAC__stream_encoder_set_max_residual_partition_order(e, s.maxPartitionOrder);
    FLAC__stream_encoder_set_do_mid_side_stereo(e, s.midSide && s.channels == 2);
    FLAC__stream_encoder_set_loose_mid_side_stereo(e, s.looseMidSide && s.channels == 2);
    FLAC__stream_encoder_set_apodization(e, s.apodization);
    FLAC__stream_encoder_set_total_samples_estimate(e, s.rewriteStreamInfo ? s.samples : 0);

    std::vector<FLAC__StreamMetadata*> blocks;
    MetadataPtr padding, seekTable;
    if (s.paddingBytes != 0) {
        padding.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING));
        if (!padding) fail("no memory");
        padding->length = s.paddingBytes;
        blocks.push_back(padding.get());
    }
    if (s.seekPoints != 0 && s.rewriteStreamInfo && s.samples != 0) {
        seekTable.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
        if (!seekTable || !FLAC__metadata_object_seektable_template_append_spaced_points(seekTable.get(), s.seekPoints,
                                                                                          s.samples))
            fail("no memory");
        blocks.push_back(seekTable.get());
    }
    if (!blocks.empty()) FLAC__stream_encoder_set_metadata(e, blocks.data(), static_cast<unsigned>(blocks.size()));

    Encoded out;
    FLAC__StreamEncoderInitStatus status = FLAC__stream_encoder_init_stream(
        e, onEncoderWrite, s.rewriteStreamInfo ? onEncoderSeek : nullptr, s.rewriteStreamInfo ? onEncoderTell : nullptr,
        nullptr, &out);
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) return std::nullopt;
    bool ok = s.samples == 0 || FLAC__stream_encoder_process_interleaved(e, samples.data(), s.samples);
    ok = FLAC__stream_encoder_finish(e) && ok;
    if (!ok) return std::nullopt;
    return out;
}

// ---------------------------------------------------------------------------
// Frame surgery.

// CRC tables, made at compile time: a lookup per byte keeps the sealing of
// large frames cheap (and free of branches the coverage would count).
template <class Word, Word kPolynomial>
constexpr std::array<Word, 256> crcTable() {
    constexpr int kTop = 8 * sizeof(Word) - 1;
    std::array<Word, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        Word crc = static_cast<Word>(byte << (kTop - 7));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<Word>((crc >> kTop) != 0 ? (crc << 1) ^ kPolynomial : crc << 1);
        table[byte] = crc;
    }
    return table;
}
constexpr auto kCrc8Table = crcTable<std::uint8_t, 0x07>();
constexpr auto kCrc16Table = crcTable<std::uint16_t, 0x8005>();

std::uint8_t crc8(std::span<const std::uint8_t> bytes) {
    std::uint8_t crc = 0;
    for (std::uint8_t byte : bytes) crc = kCrc8Table[crc ^ byte];
    return crc;
}

std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t byte : bytes) crc = static_cast<std::uint16_t>(crc << 8 ^ kCrc16Table[(crc >> 8) ^ byte]);
    return crc;
}

// A frame header's fields as written: each coded field keeps its code, so
// that the same value can be written another way.
struct Header {
    bool variableBlocking = false;
    std::uint32_t blockSizeCode = 0;
    std::uint32_t sampleRateCode = 0;
    std::uint32_t assignment = 0;
    std::uint32_t sampleSizeCode = 0;
    std::uint64_t number = 0;
    std::uint32_t blockSize = 0;  // code 6 and 7: the value itself
    std::uint32_t rateValue = 0;  // codes 12 to 14: the field as written
    std::size_t length = 0;       // CRC-8 included
};

// Parses a header the encoder wrote (or this code rewrote).
std::optional<Header> parseHeader(std::span<const std::uint8_t> frame) {
    if (frame.size() < 6) return std::nullopt;
    Header h;
    h.variableBlocking = (frame[1] & 1) != 0;
    h.blockSizeCode = frame[2] >> 4;
    h.sampleRateCode = frame[2] & 15;
    h.assignment = frame[3] >> 4;
    h.sampleSizeCode = frame[3] >> 1 & 7;
    std::size_t at = 4;
    std::uint8_t lead = frame[at++];
    int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : lead < 0xFE ? 5 : 6;
    h.number = more == 0 ? lead : lead & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        if (at >= frame.size()) return std::nullopt;
        h.number = h.number << 6 | (frame[at++] & 0x3F);
    }
    auto take = [&](int bytes) -> std::optional<std::uint32_t> {
        if (at + static_cast<std::size_t>(bytes) > frame.size()) return std::nullopt;
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value = value << 8 | frame[at++];
        return value;
    };
    if (h.blockSizeCode == 6 || h.blockSizeCode == 7) {
        std::optional<std::uint32_t> value = take(h.blockSizeCode == 6 ? 1 : 2);
        if (!value) return std::nullopt;
        h.blockSize = *value + 1;
    }
    if (h.sampleRateCode >= 12 && h.sampleRateCode <= 14) {
        std::optional<std::uint32_t> value = take(h.sampleRateCode == 12 ? 1 : 2);
        if (!value) return std::nullopt;
        h.rateValue = *value;
    }
    h.length = at + 1;
    if (h.length > frame.size()) return std::nullopt;
    return h;
}

void putCodedNumber(std::vector<std::uint8_t>& out, std::uint64_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<std::uint8_t>(value));
        return;
    }
    // Payload bits: 7 for one byte, then 11, 16, 21, 26, 31, 36.
    static constexpr int kPayload[] = {7, 11, 16, 21, 26, 31, 36};
    int more = 1;
    while (more < 6 && value >= (std::uint64_t{1} << kPayload[more])) ++more;
    const std::uint8_t lead = static_cast<std::uint8_t>(0xFF00 >> (more + 1));
    out.push_back(static_cast<std::uint8_t>(lead | (value >> (6 * more))));
    for (int i = more - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(0x80 | (value >> (6 * i) & 0x3F)));
}

std::vector<std::uint8_t> writeHeader(const Header& h) {
    std::vector<std::uint8_t> out = {0xFF, static_cast<std::uint8_t>(0xF8 | (h.variableBlocking ? 1 : 0)),
                                     static_cast<std::uint8_t>(h.blockSizeCode << 4 | h.sampleRateCode),
                                     static_cast<std::uint8_t>(h.assignment << 4 | h.sampleSizeCode << 1)};
    putCodedNumber(out, h.number);
    if (h.blockSizeCode == 6) out.push_back(static_cast<std::uint8_t>(h.blockSize - 1));
    if (h.blockSizeCode == 7) {
        out.push_back(static_cast<std::uint8_t>((h.blockSize - 1) >> 8));
        out.push_back(static_cast<std::uint8_t>(h.blockSize - 1));
    }
    if (h.sampleRateCode == 12) out.push_back(static_cast<std::uint8_t>(h.rateValue));
    if (h.sampleRateCode == 13 || h.sampleRateCode == 14) {
        out.push_back(static_cast<std::uint8_t>(h.rateValue >> 8));
        out.push_back(static_cast<std::uint8_t>(h.rateValue));
    }
    out.push_back(crc8(out));
    return out;
}

// The block size a header gives.
std::uint32_t blockSizeOf(const Header& h) {
    if (h.blockSizeCode == 1) return 192;
    if (h.blockSizeCode >= 2 && h.blockSizeCode <= 5) return 576u << (h.blockSizeCode - 2);
    if (h.blockSizeCode == 6 || h.blockSizeCode == 7) return h.blockSize;
    if (h.blockSizeCode >= 8) return 256u << (h.blockSizeCode - 8);
    return 0;
}

// Writes the block size another way: in 8 bits (when it fits), in 16, or
// by the short code when it has one.
void recodeBlockSize(Header& h, std::uint32_t choice) {
    const std::uint32_t size = blockSizeOf(h);
    if (size == 0) return;
    h.blockSize = size;
    h.blockSizeCode = choice % 3 == 0 && size <= 256 ? 6 : 7;
    if (choice % 3 != 2) return;
    for (std::uint32_t code = 1; code < 16; ++code) {
        Header trial = h;
        trial.blockSizeCode = code;
        if (code != 6 && code != 7 && blockSizeOf(trial) == size) h.blockSizeCode = code;
    }
}

// Writes the sample rate another way: from STREAMINFO (code 0), or in kHz,
// Hz or tens of Hz when the rate fits.
void recodeSampleRate(Header& h, std::uint32_t streamRate, std::uint32_t choice) {
    struct Way {
        std::uint32_t code, unit, most;
    };
    static constexpr Way kWays[] = {{12, 1000, 255}, {13, 1, 65535}, {14, 10, 65535}};
    if (choice % 4 == 0) {
        h.sampleRateCode = 0;
        return;
    }
    const Way& way = kWays[choice % 4 - 1];
    if (streamRate % way.unit != 0 || streamRate / way.unit > way.most) return;
    h.sampleRateCode = way.code;
    h.rateValue = streamRate / way.unit;
}

struct Stream {
    std::vector<std::uint8_t> bytes;
    std::vector<Frame> frames;
};

// Replaces frame `index`'s header with `header` and makes its CRC-16 right;
// the frames behind it move.
void replaceHeader(Stream& stream, std::size_t index, const Header& old, const Header& header) {
    Frame& frame = stream.frames[index];
    std::vector<std::uint8_t> written = writeHeader(header);
    auto begin = stream.bytes.begin() + static_cast<std::ptrdiff_t>(frame.offset);
    stream.bytes.erase(begin, begin + static_cast<std::ptrdiff_t>(old.length));
    stream.bytes.insert(stream.bytes.begin() + static_cast<std::ptrdiff_t>(frame.offset), written.begin(), written.end());
    const std::ptrdiff_t moved = static_cast<std::ptrdiff_t>(written.size()) - static_cast<std::ptrdiff_t>(old.length);
    frame.length = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(frame.length) + moved);
    for (std::size_t i = index + 1; i < stream.frames.size(); ++i)
        stream.frames[i].offset = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(stream.frames[i].offset) + moved);
}

// Makes a frame's CRC-16 (its last two bytes) right for the bytes before it.
void sealFrame(Stream& stream, const Frame& frame) {
    if (frame.length < 2) return;
    std::uint8_t* start = stream.bytes.data() + frame.offset;
    std::uint16_t crc = crc16({start, frame.length - 2});
    start[frame.length - 2] = static_cast<std::uint8_t>(crc >> 8);
    start[frame.length - 1] = static_cast<std::uint8_t>(crc);
}

// Changes the stream as the rest of the input says, a few bytes a change.
void mutate(Stream& stream, const Settings& settings, ByteSource& source) {
    for (int changes = 0; changes < 16 && !source.rest.empty() && !stream.frames.empty(); ++changes) {
        const std::uint8_t kind = source.byte();
        const std::size_t index = source.below(static_cast<std::uint32_t>(stream.frames.size()));
        const std::uint32_t value = source.u16();
        Frame frame = stream.frames[index];
        std::optional<Header> header = parseHeader({stream.bytes.data() + frame.offset, frame.length});
        if (!header) continue;
        Header changed = *header;
        switch (kind % 10) {
        case 0:  // the same frame in variable-blocking form: numbered by its first sample
            if (!changed.variableBlocking) {
                changed.variableBlocking = true;
                changed.number *= settings.blockSize;
            }
            break;
        case 1: recodeBlockSize(changed, value); break;
        case 2: recodeSampleRate(changed, settings.sampleRate, value); break;
        case 3: changed.sampleSizeCode = value % 8; break;
        case 4: changed.number = changed.variableBlocking ? (std::uint64_t{value} << (value % 21)) : value % 4096; break;
        case 5: changed.assignment = value % 16; break;
        case 8:  // another block size: a frame of constant subframes keeps its length
            changed.blockSizeCode = value % 16;
            changed.blockSize = (value >> 4) % 256 + 1;
            break;
        case 9:  // another sample rate, any code
            changed.sampleRateCode = value % 16;
            changed.rateValue = value >> 4;
            break;
        case 6: {  // a byte inside the frame, past its header and before its CRC-16
            if (frame.length <= header->length + 2) continue;
            std::size_t at = frame.offset + header->length + value % (frame.length - header->length - 2);
            stream.bytes[at] ^= static_cast<std::uint8_t>(source.byte() | 1);
            sealFrame(stream, frame);
            continue;
        }
        case 7: {  // every frame written as variable blocking, numbered by sample
            std::uint64_t sample = 0;
            for (std::size_t i = 0; i < stream.frames.size(); ++i) {
                std::optional<Header> h = parseHeader({stream.bytes.data() + stream.frames[i].offset, stream.frames[i].length});
                if (!h) break;
                Header v = *h;
                v.variableBlocking = true;
                v.number = sample;
                sample += blockSizeOf(*h);
                replaceHeader(stream, i, *h, v);
                sealFrame(stream, stream.frames[i]);
            }
            continue;
        }
        }
        replaceHeader(stream, index, *header, changed);
        sealFrame(stream, stream.frames[index]);
    }
}

// ---------------------------------------------------------------------------
// The reference decoder's view.

struct ReferenceView {
    const std::vector<std::uint8_t>* bytes = nullptr;
    std::size_t position = 0;
    std::vector<SeekPoint> frames;
    bool frameWritten = false;
    bool error = false;
};

FLAC__StreamDecoderReadStatus onRead(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes, void* data) {
    auto* view = static_cast<ReferenceView*>(data);
    const std::size_t left = view->bytes->size() - view->position;
    if (left == 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    *bytes = std::min(*bytes, left);
    std::memcpy(buffer, view->bytes->data() + view->position, *bytes);
    view->position += *bytes;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderTellStatus onTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* data) {
    *offset = static_cast<const ReferenceView*>(data)->position;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__bool onEof(const FLAC__StreamDecoder*, void* data) {
    auto* view = static_cast<const ReferenceView*>(data);
    return view->position == view->bytes->size();
}

FLAC__StreamDecoderWriteStatus onWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame, const FLAC__int32* const*,
                                       void* data) {
    auto* view = static_cast<ReferenceView*>(data);
    // The decoder numbers every frame by its first sample; the tool keeps the
    // low 32 bits.
    if (frame->header.number_type != FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER) fail("a frame without a sample number");
    // Where the numbering skips samples, the decoder hands out a made-up
    // frame of silence for the gap before the frame read: only the last
    // frame of a step is in the bytes.
    if (view->frameWritten) view->frames.pop_back();
    view->frames.push_back(SeekPoint{static_cast<std::uint32_t>(frame->header.number.sample_number), 0});
    view->frameWritten = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void onMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata*, void*) {}

void onError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
    static_cast<ReferenceView*>(data)->error = true;
}

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* decoder) const { FLAC__stream_decoder_delete(decoder); }
};

// The frames of the whole stream, or nothing when the decoder reported an
// error or stopped before the end of the bytes.
std::optional<std::vector<SeekPoint>> referenceFrames(const std::vector<std::uint8_t>& bytes) {
    std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder(FLAC__stream_decoder_new());
    if (!decoder) fail("no decoder");
    ReferenceView view;
    view.bytes = &bytes;
    if (FLAC__stream_decoder_init_stream(decoder.get(), onRead, nullptr, onTell, nullptr, onEof, onWrite, onMetadata,
                                         onError, &view) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        fail("the decoder does not start");
    if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder.get()) || view.error) return std::nullopt;
    FLAC__uint64 end = 0;
    for (;;) {
        FLAC__uint64 start = 0;
        if (!FLAC__stream_decoder_get_decode_position(decoder.get(), &start)) return std::nullopt;
        view.frameWritten = false;
        if (!FLAC__stream_decoder_process_single(decoder.get()) || view.error) return std::nullopt;
        if (FLAC__stream_decoder_get_state(decoder.get()) == FLAC__STREAM_DECODER_END_OF_STREAM) {
            if (view.frameWritten) return std::nullopt;  // a frame the end cut short
            end = start;
            break;
        }
        if (!view.frameWritten) return std::nullopt;
        view.frames.back().offset = static_cast<std::uint32_t>(start);
    }
    if (end != bytes.size()) return std::nullopt;
    return std::move(view.frames);
}

// ---------------------------------------------------------------------------

struct Counts {
    std::uint64_t inputs = 0;
    std::uint64_t encoded = 0;
    std::uint64_t compared = 0;
    std::uint64_t changed = 0;          // streams changed after the encoder
    std::uint64_t changedCompared = 0;  // of those, compared whole
    std::uint64_t frames = 0;
};
Counts counts;

// With TRAKMAP_FUZZ_STATS set, says at exit how many inputs compared a whole
// stream.
void reportCounts() {
    auto n = [](std::uint64_t count) { return static_cast<unsigned long long>(count); };
    std::fprintf(stderr,
                 "flac_differential: %llu inputs, %llu encoded, %llu of them changed; whole streams compared: %llu "
                 "(%llu of the changed ones), %llu frames\n",
                 n(counts.inputs), n(counts.encoded), n(counts.changed), n(counts.compared), n(counts.changedCompared),
                 n(counts.frames));
}

// The walk of a stream the reference decoder reads whole must find exactly
// its frames.
void requireReferenceFrames(const std::optional<FlacWalked>& ours, const std::vector<SeekPoint>& reference,
                            std::uint64_t size) {
    if (!ours || !ours->streamInfoSeen) fail("metadata the reference decoder reads is refused");
    if (ours->walk.end != FlacWalkEnd::audioEnd || ours->walk.stopOffset != size)
        fail("the walk stops before the end of a stream the reference decoder reads whole");
    if (ours->points.size() != reference.size()) fail("the walk finds another number of frames");
    for (std::size_t i = 0; i < ours->points.size(); ++i) {
        if (ours->points[i].offset != reference[i].offset) fail("a frame at another offset");
        if (ours->points[i].sample != reference[i].sample) fail("a frame with another first sample");
    }
}

}  // namespace

int fuzzFlacDifferential(Input input) {
    static const bool reporting = [] {
        if (std::getenv("TRAKMAP_FUZZ_STATS") == nullptr) return false;
        std::atexit(reportCounts);
        return true;
    }();
    (void)reporting;
    ++counts.inputs;
    ByteSource source{input};
    const Settings settings = readSettings(source);
    std::vector<FLAC__int32> samples = makeSamples(settings, source);
    std::optional<Encoded> encoded = encode(settings, samples);
    if (!encoded) return 0;
    ++counts.encoded;
    Stream stream{std::move(encoded->bytes), std::move(encoded->frames)};
    const std::vector<std::uint8_t> asEncoded = stream.bytes;
    mutate(stream, settings, source);
    const bool changed = stream.bytes != asEncoded;
    counts.changed += changed ? 1 : 0;

    std::optional<std::vector<SeekPoint>> reference = referenceFrames(stream.bytes);

    UniqueFile file = openScratchFile(stream.bytes);
    const std::uint64_t size = stream.bytes.size();
    const std::optional<FlacWalked> walk = walkFlacFile(file.get(), size);
    // Again through a buffer of a few bytes, so that frames and Rice codes
    // cross from one buffer into the next as they do in long files.
    std::optional<FlacWalked> buffered;
    {
        ScopedReaderBuffer small(smallReaderBufferFor(stream.bytes.size()));
        buffered = walkFlacFile(file.get(), size);
    }
    if (!reference) return 0;

    ++counts.compared;
    counts.changedCompared += changed ? 1 : 0;
    counts.frames += reference->size();
    requireReferenceFrames(walk, *reference, size);
    requireReferenceFrames(buffered, *reference, size);
    return 0;
}

}  // namespace trakmap::fuzz
