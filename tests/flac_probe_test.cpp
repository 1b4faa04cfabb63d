#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "audio/flac.h"
#include "audio/probe.h"
#include "support/byte_builder.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

// Writes bit fields most significant bit first, as FLAC stores them.
class BitWriter {
public:
    void put(std::uint64_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            current_ = static_cast<std::uint8_t>(current_ << 1 | (i < 64 ? (value >> i) & 1 : 0));
            if (++used_ == 8) {
                bytes_.push_back(current_);
                current_ = 0;
                used_ = 0;
            }
        }
    }
    void align() {
        while (used_ != 0) put(0, 1);
    }
    void putBytes(const std::vector<std::uint8_t>& bytes) {
        for (std::uint8_t byte : bytes) put(byte, 8);
    }
    // The UTF-8-style coding of frame and sample numbers.
    void putCodedNumber(std::uint64_t value) {
        if (value < 0x80) return put(value, 8);
        int extra = 1;
        while (value >= (std::uint64_t{1} << (5 * extra + 6))) ++extra;
        put(((std::uint64_t{1} << (extra + 1)) - 1) << 1, extra + 2);
        put(value >> (6 * extra), 6 - extra);
        for (int i = extra - 1; i >= 0; --i) put(0x80 | ((value >> (6 * i)) & 0x3F), 8);
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint8_t current_ = 0;
    int used_ = 0;
};

struct StreamInfo {
    std::uint32_t minBlockSize = 4096;
    std::uint32_t maxBlockSize = 4096;
    std::uint32_t maxFrameSize = 20000;
    std::uint32_t sampleRate = 44100;
    std::uint32_t channels = 2;
    std::uint32_t bitsPerSample = 16;
    std::uint64_t totalSamples = 409600;
    Digest md5{0xA1, 0xB2, 0xC3};
};

void putMetadataBlock(BitWriter& out, bool last, int type, const std::vector<std::uint8_t>& body) {
    out.put(last ? 1 : 0, 1);
    out.put(static_cast<std::uint64_t>(type), 7);
    out.put(body.size(), 24);
    out.putBytes(body);
}

void putStreamInfo(BitWriter& out, bool last, const StreamInfo& info) {
    out.put(last ? 1 : 0, 1);
    out.put(0, 7);
    out.put(34, 24);
    out.put(info.minBlockSize, 16);
    out.put(info.maxBlockSize, 16);
    out.put(100, 24);
    out.put(info.maxFrameSize, 24);
    out.put(info.sampleRate, 20);
    out.put(info.channels - 1, 3);
    out.put(info.bitsPerSample - 1, 5);
    out.put(info.totalSamples, 36);
    for (std::uint8_t byte : info.md5) out.put(byte, 8);
}

// One frame of two constant subframes. `blockSizeCode` 12 is 4096 samples;
// codes 6 and 7 take the size from `explicitBlockSize`.
struct FrameShape {
    std::uint64_t number = 0;
    bool variableBlocking = false;
    int blockSizeCode = 12;
    std::uint32_t explicitBlockSize = 0;
    int channelAssignment = 1;
};

void putConstantFrame(BitWriter& out, const FrameShape& shape) {
    out.put(0x7FFC, 15);
    out.put(shape.variableBlocking ? 1 : 0, 1);
    out.put(static_cast<std::uint64_t>(shape.blockSizeCode), 4);
    out.put(9, 4);  // 44100 Hz
    out.put(static_cast<std::uint64_t>(shape.channelAssignment), 4);
    out.put(4, 3);  // 16 bits
    out.put(0, 1);
    out.putCodedNumber(shape.number);
    if (shape.blockSizeCode == 6) out.put(shape.explicitBlockSize - 1, 8);
    if (shape.blockSizeCode == 7) out.put(shape.explicitBlockSize - 1, 16);
    out.put(0, 8);  // CRC-8, not checked
    int channels = shape.channelAssignment <= 7 ? shape.channelAssignment + 1 : 2;
    for (int channel = 0; channel < channels; ++channel) {
        out.put(0, 1);
        out.put(0, 6);  // constant
        out.put(0, 1);
        out.put(static_cast<std::uint64_t>(1000 + channel), 16 + (shape.channelAssignment == 8 && channel == 1));
    }
    out.align();
    out.put(0, 16);  // CRC-16, not checked
}

// "fLaC", STREAMINFO and `frames` frames of 4096 samples, of as many
// independent channels as STREAMINFO gives.
std::vector<std::uint8_t> constantStream(const StreamInfo& info, int frames) {
    BitWriter out;
    out.putBytes({'f', 'L', 'a', 'C'});
    putStreamInfo(out, true, info);
    const int assignment = info.channels == 2 ? 1 : static_cast<int>(info.channels) - 1;
    for (int k = 0; k < frames; ++k)
        putConstantFrame(out, FrameShape{.number = static_cast<std::uint64_t>(k), .channelAssignment = assignment});
    return out.bytes();
}

// Probes through the dispatch with the cache kept in a temporary folder.
class FlacProbe : public ::testing::Test {
protected:
    void SetUp() override { setSeekTableCacheRoot(dir_.path().string()); }
    void TearDown() override { setSeekTableCacheRoot(PathString()); }

    ProbeResult probeResult(const std::vector<std::uint8_t>& bytes, const char* name = "a.flac",
                            test::Probe probe = probeAudioFile) {
        writeFile(dir_ / name, bytes);
        return test::probeResultOf(dir_ / name, probe);
    }

    AudioInfoPtr probe(const std::vector<std::uint8_t>& bytes, const char* name = "a.flac") {
        return probeResult(bytes, name).info;
    }

    std::vector<fs::path> cacheFiles() const {
        std::vector<fs::path> found;
        if (!fs::exists(dir_.path() / "Vantorel")) return found;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.path() / "Vantorel"))
            if (entry.is_regular_file()) found.push_back(entry.path());
        return found;
    }
    std::size_t cacheFileCount() const { return cacheFiles().size(); }
    fs::path onlyCacheFile() const {
        std::vector<fs::path> found = cacheFiles();
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? fs::path() : found[0];
    }

    TempDir dir_;
};

TEST_F(FlacProbe, HundredFramesGiveTheFullAndTheThinnedTable) {
    StreamInfo info;
    std::vector<std::uint8_t> bytes = constantStream(info, 100);
    AudioInfoPtr result = probe(bytes);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->codec, kCodecFlac);
    EXPECT_EQ(result->totalSamples, 409600u);
    EXPECT_EQ(audioFrames(*result), 409600u / 588);
    EXPECT_EQ(result->maxFrameBytes, 20000u);
    EXPECT_EQ(result->maxFrameSamples, 4096u);
    EXPECT_EQ(result->flac.flacSeekStep, 10);
    EXPECT_EQ(result->flac.flacChannels, 2u);
    EXPECT_EQ(result->flac.flacBitsPerSample, 16u);

    // Every frame is 14 bytes: a 6-byte header, two 3-byte constant
    // subframes and the CRC-16.
    std::optional<SeekTableRecord> cached = loadSeekTable('F', info.md5);
    ASSERT_TRUE(cached);
    ASSERT_EQ(cached->entries.size(), 101u);
    EXPECT_EQ(cached->maxFrameSamples, 4096u);
    EXPECT_EQ(cached->maxFrameBytes, 20000u);
    EXPECT_EQ(cached->totalSamples, 409600u);
    const std::uint32_t firstFrame = 4 + 4 + 34;
    for (std::uint32_t k = 0; k < 100; ++k) {
        EXPECT_EQ(cached->entries[k].sample, k * 4096);
        EXPECT_EQ(cached->entries[k].offset, firstFrame + k * 14) << k;
    }
    EXPECT_EQ(cached->entries[100].sample, 409600u);
    EXPECT_EQ(cached->entries[100].offset, bytes.size());

    ASSERT_EQ(result->seekPointCount, 11u);
    for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(result->seekPoints[i].sample, i * 10 * 4096);
    EXPECT_EQ(result->seekPoints[10].sample, 409600u);
    EXPECT_EQ(result->seekPoints[10].offset, bytes.size());
}

TEST(FlacSeekTable, ThinningKeepsFirstEveryStepAndLast) {
    struct Case {
        std::int32_t maxBlockSize;
        std::size_t points;
        std::uint16_t step;
        std::vector<std::uint32_t> kept;  // indexes into the full list
    };
    const Case cases[] = {
        {4096, 101, 10, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
        {4096, 1, 10, {0}},
        {4096, 11, 10, {0, 10}},
        {4096, 12, 10, {0, 10, 11}},
        {4608, 20, 9, {0, 9, 18, 19}},
        {1152, 40, 38, {0, 38, 39}},
        {44100, 3, 1, {0, 1, 2}},
        {65535, 2, 1, {0, 1}},
    };
    for (const Case& c : cases) {
        std::vector<SeekPoint> points(c.points);
        for (std::uint32_t i = 0; i < points.size(); ++i) points[i] = {i, 1000 + i};
        AudioInfo info;
        ASSERT_TRUE(buildSeekTable(c.maxBlockSize, info, points));
        EXPECT_EQ(info.flac.flacSeekStep, c.step) << c.maxBlockSize;
        ASSERT_EQ(info.seekPointCount, c.kept.size()) << c.maxBlockSize << " " << c.points;
        for (std::size_t i = 0; i < c.kept.size(); ++i) EXPECT_EQ(info.seekPoints[i].sample, c.kept[i]);
    }
}

TEST_F(FlacProbe, OtherMetadataIsSkippedAndFramesArePlacedByTheirNumbers) {
    StreamInfo info;
    info.minBlockSize = info.maxBlockSize = 44100;
    info.totalSamples = 2 * 44100 + 200;  // what the three frames hold
    BitWriter out;
    out.putBytes({'f', 'L', 'a', 'C'});
    putMetadataBlock(out, false, 4, std::vector<std::uint8_t>(40, 0xFF));  // tags
    putStreamInfo(out, false, info);
    // A seek table claiming other frames is ignored.
    putMetadataBlock(out, false, 3, std::vector<std::uint8_t>(18, 0x00));
    putMetadataBlock(out, true, 1, std::vector<std::uint8_t>(1000, 0x00));  // padding
    std::uint32_t firstFrame = static_cast<std::uint32_t>(out.bytes().size());
    putConstantFrame(out, {.number = 0, .blockSizeCode = 7, .explicitBlockSize = 44100});
    std::uint32_t secondFrame = static_cast<std::uint32_t>(out.bytes().size());
    // Variable blocking in a fixed-size stream: the number is a sample number.
    putConstantFrame(out, {.number = 50000, .variableBlocking = true, .blockSizeCode = 7, .explicitBlockSize = 44100});
    std::uint32_t thirdFrame = static_cast<std::uint32_t>(out.bytes().size());
    // Left/side stereo (a 17-bit side channel) and an 8-bit block size.
    putConstantFrame(out, {.number = 2, .blockSizeCode = 6, .explicitBlockSize = 200, .channelAssignment = 8});

    AudioInfoPtr result = probe(out.bytes());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->flac.flacSeekStep, 1);
    ASSERT_EQ(result->seekPointCount, 4u);
    const SeekPoint expected[] = {{0, firstFrame},
                                  {50000, secondFrame},
                                  {2 * 44100, thirdFrame},
                                  {2 * 44100 + 200, static_cast<std::uint32_t>(out.bytes().size())}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(result->seekPoints[i].sample, expected[i].sample) << i;
        EXPECT_EQ(result->seekPoints[i].offset, expected[i].offset) << i;
    }
}

TEST_F(FlacProbe, ResidualsOfBothCodingsWithEscapesAreWalked) {
    StreamInfo info;
    info.minBlockSize = info.maxBlockSize = 192;
    info.totalSamples = 192;
    BitWriter out;
    out.putBytes({'f', 'L', 'a', 'C'});
    putStreamInfo(out, true, info);
    std::uint32_t frameStart = static_cast<std::uint32_t>(out.bytes().size());
    out.put(0x7FFC, 15);
    out.put(0, 1);
    out.put(1, 4);  // 192 samples
    out.put(9, 4);
    out.put(1, 4);  // two independent channels
    out.put(4, 3);
    out.put(0, 1);
    out.putCodedNumber(0);
    out.put(0, 8);
    // Channel 0: fixed order 2, 5-bit Rice parameters, partition order 1; the
    // first partition escaped to 7-bit values, the second Rice with parameter 3.
    out.put(0, 1);
    out.put(8 + 2, 6);
    out.put(0, 1);
    out.put(5, 16);
    out.put(7, 16);
    out.put(1, 2);
    out.put(1, 4);
    out.put(31, 5);
    out.put(7, 5);
    for (int i = 0; i < 96 - 2; ++i) out.put(static_cast<std::uint64_t>(i), 7);
    out.put(3, 5);
    for (int i = 0; i < 96; ++i) {
        out.put(0, static_cast<int>(i % 5));  // unary high part
        out.put(1, 1);
        out.put(static_cast<std::uint64_t>(i), 3);
    }
    // Channel 1: LPC order 3 with 2 wasted bits, 4-bit parameters, a long
    // unary run in one value.
    out.put(0, 1);
    out.put(31 + 3, 6);
    out.put(1, 1);
    out.put(1, 2);  // wasted bits: unary 1, so 2
    for (int i = 0; i < 3; ++i) out.put(0x1234, 14);
    out.put(11, 4);  // precision 12
    out.put(9, 5);   // shift 9
    for (int i = 0; i < 3; ++i) out.put(0x800, 12);
    out.put(0, 2);
    out.put(0, 4);
    out.put(2, 4);
    for (int i = 0; i < 192 - 3; ++i) {
        out.put(0, i == 100 ? 150 : 1);
        out.put(1, 1);
        out.put(2, 2);
    }
    out.align();
    out.put(0, 16);

    AudioInfoPtr result = probe(out.bytes());
    ASSERT_TRUE(result);
    ASSERT_EQ(result->seekPointCount, 2u);
    EXPECT_EQ(result->seekPoints[0].offset, frameStart);
    EXPECT_EQ(result->seekPoints[1].offset, out.bytes().size());
}

TEST_F(FlacProbe, EveryOtherStreamIsWalkedAndSaysHowItIsMeasured) {
    // Ten frames of 4096 samples, as STREAMINFO claims.
    StreamInfo tenFrames;
    tenFrames.totalSamples = 10 * 4096;
    auto withInfo = [&](auto change) {
        StreamInfo info = tenFrames;
        change(info);
        return constantStream(info, 10);
    };
    std::vector<std::uint8_t> good = constantStream(tenFrames, 10);
    const std::size_t end = good.size();
    const std::size_t lastFrame = end - 14;
    auto junk = good;
    junk.insert(junk.end(), 128, 'T');
    auto oneTrailingByte = good;
    oneTrailingByte.push_back(0);
    auto truncated = good;
    truncated.resize(end - 3);
    std::vector<std::uint8_t> endsInMetadata(good.begin(), good.begin() + 30);
    std::vector<std::uint8_t> noLastBlock(good.begin(), good.begin() + 42);
    noLastBlock[4] = 0x00;  // STREAMINFO without the last-block flag, then nothing

    auto withFrame = [](const FrameShape& shape) {
        StreamInfo info;
        info.totalSamples = 2 * 4096;
        BitWriter out;
        out.putBytes({'f', 'L', 'a', 'C'});
        putStreamInfo(out, true, info);
        putConstantFrame(out, FrameShape{});
        putConstantFrame(out, shape);
        return out.bytes();
    };
    const std::string secondFrameRefused = "FLAC frame at byte 56 does not parse: the file is damaged (4096 of 8192 samples before it)";
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        Measure measure;
        std::uint32_t frames;
        std::string reason;
    };
    const Case cases[] = {
        {"mono", withInfo([](StreamInfo& i) { i.channels = 1; }), Measure::byDuration, 40960 * 75 / 44100,
         "44100 Hz 16-bit mono: measured by its duration"},
        {"48 kHz", withInfo([](StreamInfo& i) { i.sampleRate = 48000; }), Measure::byDuration, 40960 * 75 / 48000,
         "48000 Hz 16-bit stereo: measured by its duration"},
        {"24-bit", withInfo([](StreamInfo& i) { i.bitsPerSample = 24; }), Measure::byDuration, 40960 * 75 / 44100,
         "44100 Hz 24-bit stereo: measured by its duration"},
        {"variable block size", withInfo([](StreamInfo& i) { i.maxBlockSize = 4608; }), Measure::byDuration,
         40960 * 75 / 44100, "44100 Hz 16-bit stereo in blocks of varying size: measured by its duration"},
        {"48 kHz cut short", [&] {
             auto b = withInfo([](StreamInfo& i) { i.sampleRate = 48000; });
             b.resize(b.size() - 3);
             return b;
         }(), Measure::refused, 0, "cut short at byte " + std::to_string(lastFrame) + ": 36864 of 40960 samples"},
        {"block size 0", withInfo([](StreamInfo& i) { i.minBlockSize = i.maxBlockSize = 0; }), Measure::refused, 0,
         "its STREAMINFO block gives a block size of 0: the file is damaged"},
        {"128 bytes of junk after the last frame", junk, Measure::cdAudio, 40960 / 588,
         "128 bytes at byte " + std::to_string(end) + " are neither FLAC frames nor a tag: left out"},
        {"one byte after the last frame", oneTrailingByte, Measure::cdAudio, 40960 / 588,
         "1 byte at byte " + std::to_string(end) + " is neither FLAC frames nor a tag: left out"},
        {"last frame cut short", truncated, Measure::refused, 0,
         "cut short at byte " + std::to_string(lastFrame) + ": 36864 of 40960 samples"},
        {"ends inside the metadata", endsInMetadata, Measure::refused, 0, "cut short at byte 30, inside its FLAC metadata"},
        {"metadata never ends", noLastBlock, Measure::refused, 0, "cut short at byte 42, inside its FLAC metadata"},
        {"reserved channel assignment", withFrame({.number = 1, .channelAssignment = 11}), Measure::refused, 0,
         secondFrameRefused},
        {"no STREAMINFO", {'f', 'L', 'a', 'C', 0x81, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         Measure::refused, 0, "its FLAC metadata has no STREAMINFO block: its length cannot be told"},
        {"the stream's own bytes", good, Measure::cdAudio, 40960 / 588, ""},
        {"a frame of one channel", withFrame({.number = 1, .channelAssignment = 0}), Measure::cdAudio, 8192 / 588, ""},
        // Beyond what STREAMINFO gives, as the reference decoder takes them.
        {"frame larger than the maximum block", withFrame({.number = 1, .blockSizeCode = 13}), Measure::cdAudio,
         8192 / 588, ""},
        {"frame with more channels", withFrame({.number = 1, .channelAssignment = 2}), Measure::cdAudio, 8192 / 588, ""},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A fresh signature each time, so no case is answered from the cache.
        std::vector<std::uint8_t> bytes = c.bytes;
        if (bytes.size() > 42) bytes[26 + 8] = static_cast<std::uint8_t>(++index);
        ProbeResult result = probeResult(bytes);
        EXPECT_EQ(result.measure, c.measure);
        EXPECT_EQ(result.frames, c.frames);
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_EQ(result.info != nullptr, c.measure == Measure::cdAudio);
    }
    // Only the streams walked to their end without stray bytes were stored.
    EXPECT_EQ(cacheFileCount(), 4u);
}

TEST_F(FlacProbe, TotalSamplesZeroIsTheWalkedTotalAndIsCached) {
    StreamInfo info;
    info.totalSamples = 0;
    std::vector<std::uint8_t> bytes = constantStream(info, 3);
    for (int run = 0; run < 2; ++run) {
        AudioInfoPtr result = probe(bytes);
        ASSERT_TRUE(result) << run;
        EXPECT_EQ(result->totalSamples, 3u * 4096);
        ASSERT_EQ(result->seekPointCount, 2u);
        EXPECT_EQ(result->seekPoints[1], (SeekPoint{3 * 4096, static_cast<std::uint32_t>(bytes.size())}));
    }
    std::optional<SeekTableRecord> cached = loadSeekTable('F', info.md5);
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->totalSamples, 3u * 4096);

    // With no total to check, bytes after the frames are stray and the frames
    // before them are the stream; such a stream is walked every time.
    info.md5[0] = 0x77;
    std::vector<std::uint8_t> withJunk = constantStream(info, 3);
    withJunk.resize(withJunk.size() + 1000, 0x55);
    ProbeResult junked = probeResult(withJunk);
    EXPECT_EQ(junked.measure, Measure::cdAudio);
    EXPECT_EQ(junked.frames, 3u * 4096 / 588);
    EXPECT_EQ(junked.reason, "1000 bytes at byte " + std::to_string(bytes.size()) +
                                 " are neither FLAC frames nor a tag: left out");
    EXPECT_FALSE(loadSeekTable('F', info.md5));
}

TEST_F(FlacProbe, ACachedTableIsTakenOnlyWhereItFitsTheFile) {
    StreamInfo info;
    info.totalSamples = 30 * 4096;
    std::vector<std::uint8_t> bytes = constantStream(info, 30);
    ASSERT_TRUE(probe(bytes));
    // A broken sync code in the middle, the size unchanged: the record still
    // fits, so the table comes from the cache though a walk would refuse it.
    std::vector<std::uint8_t> damaged = bytes;
    damaged[42 + 14 * 15] = 0x00;
    AudioInfoPtr hit = probe(damaged, "b.flac");
    ASSERT_TRUE(hit);
    ASSERT_EQ(hit->seekPointCount, 4u);
    EXPECT_EQ(hit->seekPoints[3], (SeekPoint{30 * 4096, static_cast<std::uint32_t>(bytes.size())}));

    // A shorter file with the same signature is walked, and refused; the
    // record stays as it was.
    ProbeResult shorter = probeResult(constantStream(info, 5), "c.flac");
    EXPECT_EQ(shorter.measure, Measure::refused);
    EXPECT_EQ(shorter.reason, "cut short at byte " + std::to_string(42 + 5 * 14) + ": 20480 of 122880 samples");
    EXPECT_TRUE(probe(damaged, "b.flac"));

    // A damaged cache file is a miss: the file is walked (and here refused).
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path() / "Vantorel"))
        if (entry.is_regular_file()) writeFile(entry.path(), std::string(56, 'x'));
    ProbeResult walked = probeResult(damaged, "b.flac");
    EXPECT_EQ(walked.measure, Measure::refused);
    EXPECT_EQ(walked.reason, "FLAC frame at byte " + std::to_string(42 + 14 * 15) +
                                 " does not parse: the file is damaged (61440 of 122880 samples before it)");
}

TEST_F(FlacProbe, AStreamWithoutSignatureIsNeitherLookedUpNorStored) {
    StreamInfo info;
    info.md5 = Digest{};
    info.totalSamples = 20 * 4096;
    // A record under the signature of zeros, as another unsigned file left it.
    const SeekPoint planted[] = {{0, 42}, {40 * 4096, 42 + 40 * 14}};
    storeSeekTable(planted, Digest{}, 'F', 4096, 20000, 40 * 4096);
    std::vector<std::uint8_t> bytes = constantStream(info, 20);
    writeFile(dir_ / "planted.skt", test::readFileBytes(onlyCacheFile()));

    AudioInfoPtr result = probe(bytes);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->totalSamples, 20u * 4096);
    bytes.resize(bytes.size() - 14 * 5);
    EXPECT_EQ(probeResult(bytes, "cut.flac").reason, "cut short at byte " + std::to_string(bytes.size()) +
                                                        ": 61440 of 81920 samples");
    EXPECT_EQ(test::readFileBytes(onlyCacheFile()), test::readFileBytes(dir_ / "planted.skt"));
}

TEST_F(FlacProbe, TagsAroundTheStreamLeaveItsFramesWhereTheyAre) {
    StreamInfo info;
    info.totalSamples = 12 * 4096;
    const std::vector<std::uint8_t> stream = constantStream(info, 12);
    std::vector<std::uint8_t> id3v1 = {'T', 'A', 'G'};
    id3v1.resize(128, 'x');
    auto apeTag = [](bool withHeader) {
        // Items of 40 bytes, then the footer; the size counts items and footer.
        test::ByteBuilder tag;
        if (withHeader) tag.text("APETAGEX").le32(2000).le32(72).le32(1).le32(0xA0000000).zeros(8);
        tag.zeros(40).text("APETAGEX").le32(2000).le32(72).le32(1).le32(withHeader ? 0x80000000 : 0).zeros(8);
        return tag.bytes;
    };
    std::vector<std::uint8_t> id3v2 = {'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0};  // 128 bytes behind its header
    id3v2.resize(10 + 128, 0);
    auto joined = [](std::initializer_list<std::vector<std::uint8_t>> parts) {
        std::vector<std::uint8_t> all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::size_t streamStart;
    };
    const Case cases[] = {
        {"ID3v1", joined({stream, id3v1}), 0},
        {"APEv2 with a header", joined({stream, apeTag(true)}), 0},
        {"APEv2 then ID3v1", joined({stream, apeTag(false), id3v1}), 0},
        {"ID3v1 then APEv2", joined({stream, id3v1, apeTag(true)}), 0},
        {"ID3v2 in front, ID3v1 behind", joined({id3v2, stream, id3v1}), id3v2.size()},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> bytes = c.bytes;
        bytes[c.streamStart + 26 + 8] = static_cast<std::uint8_t>(++index);
        Digest md5 = info.md5;
        md5[8] = bytes[c.streamStart + 26 + 8];
        const auto firstFrame = static_cast<std::uint32_t>(c.streamStart + 42);
        const auto audioEnd = static_cast<std::uint32_t>(c.streamStart + stream.size());
        // Walked, then from the cache; the probe itself looks behind an ID3v2 tag.
        for (test::Probe probe : {test::Probe{probeAudioFile}, test::Probe{probeFlac}}) {
            ProbeResult result = probeResult(bytes, "tagged.flac", probe);
            ASSERT_TRUE(result.info);
            EXPECT_EQ(result.reason, "");
            EXPECT_EQ(result.info->totalSamples, 12u * 4096);
            EXPECT_EQ(result.info->seekPoints[0].offset, firstFrame);
            EXPECT_EQ(result.info->seekPoints[result.info->seekPointCount - 1].offset, audioEnd);
        }
        std::optional<SeekTableRecord> cached = loadSeekTable('F', md5);
        ASSERT_TRUE(cached);
        EXPECT_EQ(cached->entries.back(), (SeekPoint{12 * 4096, audioEnd}));
        if (c.streamStart != 0) continue;
        // The stream without its tags, a frame's sync code broken: it ends
        // where the record does, so only the cache can measure it.
        std::vector<std::uint8_t> bare(bytes.begin(), bytes.begin() + stream.size());
        bare[42 + 14 * 5] = 0x00;
        EXPECT_TRUE(probeResult(bare, "bare.flac").info);
    }
}

// A stream that accepts blocks of 65535 samples, followed by a million frame
// headers of junk (sync code, then the reserved bit set): the walk must stop
// at the first of them rather than work through the file.
TEST_F(FlacProbe, MillionJunkFramesAfterTheLargestBlockSizeAreRefusedAtTheFirst) {
    StreamInfo info;
    info.minBlockSize = info.maxBlockSize = 65535;
    BitWriter out;
    out.putBytes({'f', 'L', 'a', 'C'});
    putStreamInfo(out, true, info);
    std::vector<std::uint8_t> bytes = out.bytes();
    const std::size_t firstFrame = bytes.size();
    static constexpr std::uint8_t kJunkFrame[] = {0xFF, 0xF8, 0x79, 0x19};
    bytes.reserve(firstFrame + sizeof kJunkFrame * 1000000);
    for (int i = 0; i < 1000000; ++i) bytes.insert(bytes.end(), std::begin(kJunkFrame), std::end(kJunkFrame));
    writeFile(dir_ / "junk.flac", bytes);

    UniqueFile file(platformOpenFile((dir_ / "junk.flac").c_str(), kOpenRead));
    ASSERT_TRUE(file.valid());
    FlacDecoder decoder;
    ASSERT_TRUE(initReader(decoder.reader, file.get()));
    ASSERT_TRUE(readFlacMetadata(decoder));
    EXPECT_EQ(decodeFlacFrame(decoder), kFlacFrameRefused);
    EXPECT_EQ(decoder.frameOffset, firstFrame);
    EXPECT_LE(bytePosition(decoder.reader), static_cast<std::int64_t>(firstFrame + sizeof kJunkFrame));

    EXPECT_FALSE(probe(bytes, "junk.flac"));
    EXPECT_FALSE(fs::exists(dir_.path() / "Vantorel" / "seektable" / "FA1B2C30000000000000000000000000.skt"));
}

}  // namespace
}  // namespace trakmap
