#include <gtest/gtest.h>

#include "audio/tta.h"
#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using test::ByteBuilder;
using test::probePath;
using test::seekPointsOf;
using test::TempDir;

struct TtaFile {
    std::uint16_t channels = 2;
    std::uint16_t bitsPerSample = 16;
    std::uint32_t sampleRate = 44100;
    std::uint32_t dataLength = 0;
    std::vector<std::uint32_t> frameSizes;
    std::size_t tableEntriesWritten = SIZE_MAX;  // fewer cuts the table short

    std::vector<std::uint8_t> build() const {
        ByteBuilder b;
        b.text("TTA1").le16(1).le16(channels).le16(bitsPerSample).le32(sampleRate).le32(dataLength).le32(0);
        for (std::size_t i = 0; i < frameSizes.size() && i < tableEntriesWritten; ++i) b.le32(frameSizes[i]);
        if (tableEntriesWritten < frameSizes.size()) return b.bytes;
        b.le32(0);  // table CRC
        for (std::uint32_t size : frameSizes) b.zeros(size);
        if (b.size() < 44) b.zeros(44 - b.size());
        return b.bytes;
    }
};

// Through the dispatch, or straight to the probe for files too short for it.
AudioInfoPtr probeTtaBytes(const std::vector<std::uint8_t>& bytes) {
    return test::probeBytes(bytes, bytes.size() < 44 ? probeTta : probeAudioFile);
}

TEST(Tta, FrameTableGivesOnePointPerFrameAndClosingPoint) {
    struct Case {
        std::uint32_t dataLength;
        std::vector<std::uint32_t> frameSizes;
        std::uint32_t lastFrameSamples;
        std::vector<SeekPoint> points;
    };
    const std::vector<Case> cases = {
        {46080 * 3 + 100, {100, 300, 200, 5}, 100,
         {{0, 42}, {46080, 142}, {92160, 442}, {138240, 642}, {138340, 647}}},
        {46080 * 2, {10, 20}, 0, {{0, 34}, {46080, 44}, {92160, 64}}},
        {0, {}, 0, {{0, 26}}},
        // A frame of size 0 shares its offset with the next.
        {46080 + 1, {0, 7}, 1, {{0, 34}, {46080, 34}, {46081, 41}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataLength);
        TtaFile file;
        file.dataLength = c.dataLength;
        file.frameSizes = c.frameSizes;
        AudioInfoPtr info = probeTtaBytes(file.build());
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->codec, kCodecTta);
        EXPECT_EQ(seekPointsOf(*info), c.points);
        EXPECT_EQ(info->totalSamples, c.dataLength);
        EXPECT_EQ(info->maxFrameSamples, 46080u);
        std::uint32_t largest = 0;
        for (std::uint32_t size : c.frameSizes) largest = std::max(largest, size);
        EXPECT_EQ(info->maxFrameBytes, largest);
        EXPECT_EQ(info->tta.ttaFrameLength, 46080u);
        EXPECT_EQ(info->tta.ttaFrameCount, c.frameSizes.size());
        EXPECT_EQ(info->tta.ttaLastFrameSamples, c.lastFrameSamples);
        EXPECT_EQ(info->tta.ttaBytesPerSample, 2u);
        EXPECT_EQ(info->tta.ttaChannels, 2);
    }
}

TEST(Tta, OtherFormatsAreMeasuredByTheirDurationWithoutSeekPoints) {
    struct Case {
        const char* name;
        TtaFile file;
        std::uint32_t frameLength;
        std::uint32_t bytesPerSample;
    };
    auto cd = [](auto change) {
        TtaFile file;
        file.dataLength = 46080 * 2 + 5;
        file.frameSizes = {100, 100, 100};
        change(file);
        return file;
    };
    const std::vector<Case> cases = {
        {"48000 Hz", cd([](TtaFile& f) { f.sampleRate = 48000; }), 50155, 2},
        {"mono", cd([](TtaFile& f) { f.channels = 1; }), 46080, 2},
        {"24-bit", cd([](TtaFile& f) { f.bitsPerSample = 24; }), 46080, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeResult result = test::probeResultOfBytes(c.file.build());
        EXPECT_EQ(result.measure, Measure::byDuration);
        EXPECT_EQ(result.frames, std::uint64_t{c.file.dataLength} * 75 / c.file.sampleRate);
        EXPECT_NE(result.reason.find(": measured by its duration"), std::string::npos) << result.reason;
        const AudioInfoPtr& info = result.info;
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->seekPointCount, 0u);
        EXPECT_EQ(info->seekPoints, nullptr);
        EXPECT_EQ(info->maxFrameBytes, 0u);
        EXPECT_EQ(info->totalSamples, c.file.dataLength);
        EXPECT_EQ(info->tta.ttaFrameLength, c.frameLength);
        EXPECT_EQ(info->tta.ttaBytesPerSample, c.bytesPerSample);
        EXPECT_EQ(info->tta.ttaChannels, c.file.channels);
    }
}

TEST(Tta, TablesTheFileCannotHoldAreRefusedWithWhatIsThere) {
    TtaFile cd;
    cd.dataLength = 46080 * 2 + 5;
    cd.frameSizes = {100, 100, 100};
    TtaFile insideTable = cd;
    insideTable.tableEntriesWritten = 2;
    // About 93000 frames claimed, far more table than the file holds.
    TtaFile huge = cd;
    huge.dataLength = 0xFFFFFFFF;
    TtaFile hires = cd;
    hires.sampleRate = 96000;
    hires.dataLength = 100310 * 2 + 5;
    std::vector<std::uint8_t> insideFrame = cd.build();
    insideFrame.resize(38 + 150);
    std::vector<std::uint8_t> hiresInsideFrame = hires.build();
    hiresInsideFrame.resize(38 + 250);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string reason;
    };
    const Case cases[] = {
        {"cut inside the table", insideTable.build(),
         "cut short: its frame table reaches byte 38 of a 30-byte file (0 of 92165 samples there)"},
        {"table larger than the file", huge.build(),
         "cut short: its frame table reaches byte 372854 of a 338-byte file (0 of 4294967295 samples there)"},
        {"cut inside the second frame", insideFrame,
         "cut short: its frame table reaches byte 238 of a 188-byte file (46080 of 92165 samples there)"},
        {"96000 Hz cut inside the third frame", hiresInsideFrame,
         "cut short: its frame table reaches byte 338 of a 288-byte file (200620 of 200625 samples there)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeResult result = test::probeResultOfBytes(c.bytes, c.bytes.size() < 44 ? probeTta : probeAudioFile);
        EXPECT_EQ(result.measure, Measure::refused);
        EXPECT_EQ(result.info, nullptr);
        EXPECT_EQ(result.reason, c.reason);
    }
}

TEST(Tta, RefusesHeaderWithoutUsableFrameLengthOrTooShort) {
    // Rates whose frame length comes out 0, the second by 32-bit wraparound.
    for (std::uint32_t rate : {0u, 0x01000000u}) {
        TtaFile file;
        file.sampleRate = rate;
        file.dataLength = 1000;
        ProbeResult result = test::probeResultOfBytes(file.build());
        EXPECT_EQ(result.measure, Measure::refused) << rate;
        EXPECT_EQ(result.reason, "its header gives a sample rate of " + std::to_string(rate) +
                                     " Hz, which leaves a frame no samples: the file is damaged");
    }
    ProbeResult result = test::probeResultOfBytes(ByteBuilder().text("TTA1").le16(1).le16(2).le16(16).bytes, probeTta);
    EXPECT_EQ(result.measure, Measure::refused);
    EXPECT_EQ(result.reason, "cut short: it ends at byte 10, inside its header");
}

TEST(Tta, AgreesWithFfprobeOnFfmpegOutput) {
    ASSERT_TRUE(test::toolAvailable("ffmpeg") && test::toolAvailable("ffprobe")) << "ffmpeg/ffprobe needed";
    TempDir dir;
    auto path = dir / "noise.tta";
    ASSERT_TRUE(test::ffmpegNoise(path, 3.0, "-c:a tta -sample_fmt s16"));
    std::vector<test::ProbedPacket> packets = test::ffprobePackets(path, dir.path());
    ASSERT_EQ(packets.size(), 3u);

    AudioInfoPtr info = probePath(path);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->totalSamples, 132300u);
    ASSERT_EQ(info->seekPointCount, packets.size() + 1);
    std::uint64_t sample = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(info->seekPoints[i].offset, packets[i].pos) << i;
        EXPECT_EQ(info->seekPoints[i].sample, sample) << i;
        sample += packets[i].duration;
    }
    EXPECT_EQ(info->seekPoints[packets.size()], (SeekPoint{132300, static_cast<std::uint32_t>(
                                                                         packets.back().pos + packets.back().size)}));
    EXPECT_EQ(audioFrames(*info), 132300u / 588);
}

}  // namespace
}  // namespace trakmap
