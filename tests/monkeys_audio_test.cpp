#include <gtest/gtest.h>

#include "audio/monkeys_audio.h"
#include "support/byte_builder.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using test::ByteBuilder;
using test::probeBytes;
using test::seekPointsOf;

// A file of the layout with a descriptor (versions 3980 and later).
struct NewLayoutFile {
    std::uint16_t version = 3990;
    std::uint32_t descriptorLength = 52;
    std::uint16_t compressionLevel = 2000;
    std::uint32_t blocksPerFrame = 73728;
    std::uint32_t finalFrameBlocks = 1000;
    std::uint32_t totalFrames = 3;
    std::uint16_t bitsPerSample = 16;
    std::uint16_t channels = 2;
    std::uint32_t sampleRate = 44100;
    std::vector<std::uint32_t> table = {5000, 9000, 13000};
    std::int64_t tableBytes = -1;  // stated length; -1 for the table's own
    std::uint32_t frameDataBytes = 0;
    std::size_t fileSize = 20000;

    std::vector<std::uint8_t> build() const {
        ByteBuilder b;
        b.text("MAC ").le16(version).le16(0).le32(descriptorLength).le32(24);
        b.le32(tableBytes < 0 ? static_cast<std::uint32_t>(4 * table.size()) : static_cast<std::uint32_t>(tableBytes));
        b.le32(44).le32(frameDataBytes).le32(0).le32(0).zeros(16);
        // Bytes a reader would wrongly take as the header if it skipped too little.
        if (descriptorLength > 52) b.le32(0xFFFFFFFF);
        b.le16(compressionLevel).le16(0).le32(blocksPerFrame).le32(finalFrameBlocks).le32(totalFrames);
        b.le16(bitsPerSample).le16(channels).le32(sampleRate);
        for (std::uint32_t entry : table) b.le32(entry);
        if (b.size() < fileSize) b.zeros(fileSize - b.size());
        return b.bytes;
    }
};

// A file of the older layout: 32-byte header, optional words, stored WAV header.
struct OldLayoutFile {
    std::uint16_t version = 3970;
    std::uint16_t compressionLevel = 3000;
    std::uint16_t flags = 32;
    std::uint16_t channels = 2;
    std::uint32_t sampleRate = 44100;
    std::uint32_t wavHeaderBytes = 44;
    std::uint32_t totalFrames = 2;
    std::uint32_t finalFrameBlocks = 500;
    std::uint32_t entryCount = 0;  // written when flag 16 is set
    std::vector<std::uint32_t> table = {3000, 6000};
    std::size_t fileSize = 10000;

    std::vector<std::uint8_t> build() const {
        ByteBuilder b;
        b.text("MAC ").le16(version).le16(compressionLevel).le16(flags).le16(channels).le32(sampleRate);
        b.le32(wavHeaderBytes).le32(0).le32(totalFrames).le32(finalFrameBlocks);
        if (flags & 4) b.le32(0x7FFF);
        if (flags & 16) b.le32(entryCount);
        if (!(flags & 32)) b.zeros(wavHeaderBytes);
        for (std::uint32_t entry : table) b.le32(entry);
        if (b.size() < fileSize) b.zeros(fileSize - b.size());
        return b.bytes;
    }
};

TEST(MonkeysAudio, DescriptorLayoutReadsHeaderAndTableBehindEitherDescriptorLength) {
    for (std::uint32_t descriptorLength : {52u, 56u, 64u}) {
        SCOPED_TRACE(descriptorLength);
        NewLayoutFile file;
        file.descriptorLength = descriptorLength;
        AudioInfoPtr info = probeBytes(file.build());
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->codec, kCodecMonkeysAudio);
        EXPECT_EQ(info->totalSamples, 2u * 73728 + 1000);
        EXPECT_EQ(seekPointsOf(*info), (std::vector<SeekPoint>{
                                           {0, 5000}, {73728, 9000}, {147456, 13000}, {148456, 20000}}));
        EXPECT_EQ(info->maxFrameSamples, 73728u);
        EXPECT_EQ(info->maxFrameBytes, 294912u);
        EXPECT_EQ(info->ape.apeVersion, 3990);
        EXPECT_EQ(info->ape.apeBitsPerSample, 16);
        EXPECT_EQ(info->ape.apeChannels, 2);
        EXPECT_EQ(info->ape.apeCompressionLevel, 1);
    }
}

TEST(MonkeysAudio, OldLayoutFindsTableBehindPeakLevelEntryCountAndWavHeader) {
    OldLayoutFile file;
    file.flags = 4 | 16;  // peak level, entry count, stored WAV header present
    file.entryCount = 2;
    file.wavHeaderBytes = 44;
    file.compressionLevel = 500;  // below 1000: level -1
    AudioInfoPtr info = probeBytes(file.build());
    ASSERT_NE(info, nullptr);
    // Version 3970 frames hold 294912 blocks.
    EXPECT_EQ(seekPointsOf(*info), (std::vector<SeekPoint>{{0, 3000}, {294912, 6000}, {295412, 10000}}));
    EXPECT_EQ(info->ape.apeVersion, 3970);
    EXPECT_EQ(info->ape.apeCompressionLevel, 0xFFFF);
}

TEST(MonkeysAudio, OldLayoutBlocksPerFrameFollowVersionAndLevel) {
    struct Case {
        std::uint16_t version;
        std::uint16_t level;
        std::uint32_t blocksPerFrame;
    };
    for (Case c : {Case{3950, 1000, 294912}, Case{3900, 1000, 73728}, Case{3850, 4000, 73728},
                   Case{3850, 5000, 73728}, Case{3850, 3000, 9216}, Case{3800, 4000, 73728},
                   Case{3790, 5000, 9216}}) {
        SCOPED_TRACE(testing::Message() << c.version << "/" << c.level);
        OldLayoutFile file;
        file.version = c.version;
        file.compressionLevel = c.level;
        AudioInfoPtr info = probeBytes(file.build());
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->maxFrameSamples, c.blocksPerFrame);
        EXPECT_EQ(info->totalSamples, c.blocksPerFrame + 500);
        EXPECT_EQ(info->seekPoints[1].sample, c.blocksPerFrame);
    }
}

TEST(MonkeysAudio, PointCountIsTheSmallerOfTableEntriesAndFrames) {
    struct Case {
        std::uint32_t totalFrames;
        std::vector<std::uint32_t> table;
        std::uint32_t totalSamples;
        std::uint32_t points;
    };
    for (const Case& c : {Case{1, {5000, 9000, 13000}, 1000, 2},
                          Case{0, {5000}, 1000, 1},
                          Case{5, {5000, 9000, 13000}, 4 * 73728 + 1000, 4},
                          Case{2, {5000, 9000, 13000}, 73728 + 1000, 3}}) {
        SCOPED_TRACE(c.totalFrames);
        NewLayoutFile file;
        file.totalFrames = c.totalFrames;
        file.table = c.table;
        AudioInfoPtr info = probeBytes(file.build());
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->totalSamples, c.totalSamples);
        ASSERT_EQ(info->seekPointCount, c.points);
        EXPECT_EQ(info->seekPoints[c.points - 1], (SeekPoint{c.totalSamples, 20000}));
    }
}

TEST(MonkeysAudio, SaysHowEveryOtherFileIsMeasuredOrWhyItIsRefused) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        Measure measure;
        std::uint32_t frames;
        std::string reason;  // the whole reason, or a part of it
    };
    auto newLayout = [](auto change) {
        NewLayoutFile file;
        change(file);
        return file.build();
    };
    auto oldLayout = [](auto change) {
        OldLayoutFile file;
        change(file);
        return file.build();
    };
    // 2 x 73728 + 1000 samples in the new layout, 294912 + 500 in the old.
    std::vector<Case> cases = {
        {"mono", newLayout([](NewLayoutFile& f) { f.channels = 1; }), Measure::byDuration, 252,
         "44100 Hz 16-bit mono: measured by its duration"},
        {"48000 Hz", newLayout([](NewLayoutFile& f) { f.sampleRate = 48000; }), Measure::byDuration, 231,
         "48000 Hz 16-bit stereo: measured by its duration"},
        {"24-bit", newLayout([](NewLayoutFile& f) { f.bitsPerSample = 24; }), Measure::byDuration, 252,
         "44100 Hz 24-bit stereo"},
        {"old layout 24-bit flag", oldLayout([](OldLayoutFile& f) { f.flags = 32 | 8; }), Measure::byDuration, 502,
         "44100 Hz 24-bit stereo"},
        {"old layout 8-bit flag", oldLayout([](OldLayoutFile& f) { f.flags = 32 | 1 | 8; }), Measure::byDuration,
         502, "44100 Hz 8-bit stereo"},
        {"frames ending where the file ends", newLayout([](NewLayoutFile& f) { f.frameDataBytes = 20000 - 132; }),
         Measure::cdAudio, 252, ""},
        {"empty table", newLayout([](NewLayoutFile& f) { f.table = {}; }), Measure::refused, 0,
         "its header gives no seek table: the file is damaged"},
        {"old layout empty table", oldLayout([](OldLayoutFile& f) { f.flags = 32 | 16; }), Measure::refused, 0,
         "its header gives no seek table"},
        {"zero third entry", newLayout([](NewLayoutFile& f) { f.table = {5000, 9000, 0}; }), Measure::refused, 0,
         "its seek table entry at byte 84 is 0: the file is damaged"},
        {"entry past the end of the file", newLayout([](NewLayoutFile& f) { f.table = {5000, 9000, 30000}; }),
         Measure::refused, 0,
         "cut short: its seek table reaches byte 30000 of a 20000-byte file (73728 of 148456 samples there)"},
        {"frames running past the end of the file", newLayout([](NewLayoutFile& f) { f.frameDataBytes = 19900; }),
         Measure::refused, 0,
         "cut short: its frames run to byte 20032 of a 20000-byte file (147456 of 148456 samples there)"},
        {"table longer than the file", newLayout([](NewLayoutFile& f) { f.tableBytes = 0xFFFFFFF0; }),
         Measure::refused, 0,
         "cut short: its seek table reaches byte 4294967356 of a 20000-byte file (0 of 148456 samples there)"},
        {"old layout entry count beyond the file", oldLayout([](OldLayoutFile& f) {
             f.flags = 32 | 16;
             f.entryCount = 0xC0000000;
         }),
         Measure::refused, 0, "cut short: its seek table reaches byte 12884901924 of a 10000-byte file"},
        {"table cut short by the end of the file", newLayout([](NewLayoutFile& f) {
             f.tableBytes = 150;  // no longer than the file, but only 124 bytes follow
             f.fileSize = 200;
         }),
         Measure::refused, 0, "cut short: its seek table reaches byte 226 of a 200-byte file (0 of 148456"},
        {"more samples than 32 bits count", newLayout([](NewLayoutFile& f) { f.totalFrames = 60000; }),
         Measure::refused, 0, "samples, more than 27 hours of CD audio: the file is damaged"},
        {"file ends inside the descriptor", ByteBuilder().text("MAC ").le16(3990).zeros(40).bytes, Measure::refused,
         0, "cut short: it ends at byte 46, inside its header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeResult result = test::probeResultOfBytes(c.bytes);
        EXPECT_EQ(result.measure, c.measure);
        EXPECT_EQ(result.frames, c.frames);
        EXPECT_EQ(result.info != nullptr, c.measure == Measure::cdAudio);
        if (c.reason.empty()) EXPECT_EQ(result.reason, "");
        else EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
    }
}

}  // namespace
}  // namespace trakmap
