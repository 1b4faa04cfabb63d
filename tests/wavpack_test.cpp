#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "audio/byte_order.h"
#include "audio/wavpack.h"
#include "audio/file_helpers.h"
#include "cache/md5.h"
#include "cache/seek_table_cache.h"
#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::ByteBuilder;
using test::probePath;
using test::seekPointsOf;
using test::TempDir;

constexpr std::uint32_t kMiB = 1048576;
// Two bytes a sample (bits 0-1 = 1), stereo (bit 2 clear), 44100 Hz (rate index 9).
constexpr std::uint32_t kCdFlags = 1 | 9u << 23;

// A WavPack file assembled from blocks and other bytes.
struct WavPackFile {
    ByteBuilder b;

    // A block of `length` bytes in all, carrying `samples` samples.
    WavPackFile& block(std::uint32_t samples, std::uint32_t length, std::uint32_t flags = kCdFlags,
                       std::optional<std::uint32_t> sizeField = std::nullopt) {
        b.text("wvpk").le32(sizeField.value_or(length - 8)).le16(0x410).le16(0).le32(0).le32(0);
        b.le32(samples).le32(flags).le32(0).zeros(length - 32);
        return *this;
    }
    WavPackFile& stub(std::uint32_t length) {
        b.bytes.insert(b.bytes.end(), {0x4D, 0x5A, 0x50, 0x00});
        b.zeros(length - 4);
        return *this;
    }
    WavPackFile& tag(std::uint32_t length) {
        b.text("APETAGEX").zeros(length - 8);
        return *this;
    }
    // Sets the total samples of the block at `at` (the first), as encoders do.
    WavPackFile& claim(std::uint32_t total, std::size_t at = 0) {
        for (int i = 0; i < 4; ++i) b.bytes[at + 12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(total >> (8 * i));
        return *this;
    }
};

Digest md5Of(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    Md5Context context;
    md5Init(context);
    md5Update(context, std::span(bytes.data(), count));
    return md5Final(context);
}

// Every test keeps its cache below its own temporary folder.
class WavPack : public ::testing::Test {
protected:
    void SetUp() override { setSeekTableCacheRoot(cacheDir_.path().native()); }
    void TearDown() override {
        setSeekTableCacheRoot(PathString());
        setWavPackScanBytes(kWavPackScanBytes);
    }

    AudioInfoPtr probeBytes(const std::vector<std::uint8_t>& bytes) {
        fs::path file = files_ / ("f" + std::to_string(++fileCount_) + ".wv");
        test::writeFile(file, bytes);
        return probePath(file);
    }

    std::vector<fs::path> cacheFiles() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(cacheDir_.path()))
            if (entry.is_regular_file()) found.push_back(entry.path());
        return found;
    }

    TempDir cacheDir_;
    TempDir files_;
    int fileCount_ = 0;
};

TEST_F(WavPack, AFileIsNamedByItsFirstMebibyteOrAllOfASmallerOne) {
    // The product's window, and the smaller one the fuzz target sets through
    // the seam, which must keep every rule.
    for (std::uint32_t window : {kMiB, 16384u}) {
        setWavPackScanBytes(window);
        for (std::uint32_t size : {3000u, window - 1, window, window + 500}) {
            SCOPED_TRACE(std::to_string(window) + " " + std::to_string(size));
            WavPackFile file;
            std::uint32_t blocks = 0;
            // Blocks of a sixteenth of the window, the last one taking what is left.
            const std::uint32_t blockBytes = window / 16;
            for (std::uint32_t left = size; left > 0; ++blocks) {
                std::uint32_t length = left >= blockBytes + 32 ? blockBytes : left;
                file.block(1000, length);
                left -= length;
            }
            ASSERT_EQ(file.b.size(), size);
            AudioInfoPtr info = probeBytes(file.b.bytes);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->codec, kCodecWavPack);
            EXPECT_EQ(info->seekPointCount, blocks + 1);
            EXPECT_EQ(info->seekPoints[blocks], (SeekPoint{1000 * blocks, size}));
            std::optional<SeekTableRecord> cached = loadSeekTable('W', md5Of(file.b.bytes, std::min(size, window)));
            ASSERT_TRUE(cached);
            EXPECT_EQ(cached->totalSamples, 1000 * blocks);
        }
    }
}

TEST_F(WavPack, WalkSkipsSilentBlocksAndStopsAtTrailingData) {
    WavPackFile file;
    file.block(0, 100).block(4096, 300000).block(0, 50).block(4096, 300000).block(2000, 500000).tag(200);
    AudioInfoPtr info = probeBytes(file.b.bytes);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(seekPointsOf(*info),
              (std::vector<SeekPoint>{{0, 100}, {4096, 300150}, {8192, 600150}, {10192, 1100150}}));
    EXPECT_EQ(info->totalSamples, 10192u);
    EXPECT_EQ(info->maxFrameBytes, 500000u);
    EXPECT_EQ(info->maxFrameSamples, 4096u);
}

TEST_F(WavPack, FirstBlockIsFoundBehindAStubWhenItsFlagsLieInTheFirstMebibyte) {
    struct Case {
        std::uint32_t stubLength;
        bool accepted;
    };
    // The flags of a block at 1,048,548 end exactly at the end of the first
    // MiB; one byte later they would reach past it.
    for (Case c : {Case{70000, true}, Case{1048548, true}, Case{1048549, false}, Case{1048552, false},
                   Case{1048572, false}}) {
        SCOPED_TRACE(c.stubLength);
        WavPackFile file;
        file.stub(c.stubLength).block(4096, 600000).block(4096, 600000);
        AudioInfoPtr info = probeBytes(file.b.bytes);
        if (!c.accepted) {
            EXPECT_EQ(info, nullptr);
            continue;
        }
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(seekPointsOf(*info), (std::vector<SeekPoint>{{0, c.stubLength},
                                                               {4096, c.stubLength + 600000},
                                                               {8192, c.stubLength + 1200000}}));
    }
}

TEST_F(WavPack, OtherFormatsAreWalkedAndMeasuredByTheirDuration) {
    constexpr std::uint32_t kInitial = 1u << 11;
    constexpr std::uint32_t kFinal = 1u << 12;
    struct Case {
        const char* what;
        std::uint32_t flags;
        std::uint32_t secondFlags;  // of the block after each first one
        Measure measure;
        std::uint32_t frames;
        std::string reason;
    };
    const Case cases[] = {
        {"48 kHz", 1 | 10u << 23, 0, Measure::byDuration, 8192 * 75 / 48000, "48000 Hz 16-bit stereo: measured by its duration"},
        {"mono", 1 | 9u << 23 | 4, 0, Measure::byDuration, 8192 * 75 / 44100, "44100 Hz 16-bit mono: measured by its duration"},
        {"24-bit", 2 | 9u << 23, 0, Measure::byDuration, 8192 * 75 / 44100, "44100 Hz 24-bit stereo: measured by its duration"},
        {"8-bit", 0 | 9u << 23, 0, Measure::byDuration, 8192 * 75 / 44100, "44100 Hz 8-bit stereo: measured by its duration"},
        // Two stereo blocks for each stretch of samples: the second adds channels, not samples.
        {"4 channels", kCdFlags | kInitial, kCdFlags | kFinal, Measure::byDuration, 8192 * 75 / 44100,
         "44100 Hz 16-bit 4-channel: measured by its duration"},
        {"a rate outside the table", 1 | 15u << 23, 0, Measure::refused, 0,
         "a WavPack stream at a sample rate outside the standard ones: its duration cannot be told"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WavPackFile file;
        for (int i = 0; i < 2; ++i) {
            file.block(4096, 300000, c.flags);
            if (c.secondFlags != 0) file.block(4096, 300000, c.secondFlags);
        }
        ProbeResult result = test::probeResultOfBytes(file.b.bytes);
        EXPECT_EQ(result.measure, c.measure);
        EXPECT_EQ(result.frames, c.frames);
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_EQ(result.info, nullptr);
    }
    EXPECT_TRUE(cacheFiles().empty());
}

TEST_F(WavPack, BlockSizeThatWouldWrapOrPassFourGibEndsTheWalkBeforeIt) {
    // 0xFFFFFFF8 would make a 32-bit step of 0, 0xFFFFFF00 one backwards; the
    // last puts the next block exactly at 4 GiB.
    for (std::uint32_t sizeField : {0xFFFFFFF8u, 0xFFFFFF00u, 0xFFFFFFFFu - 600008u + 1}) {
        SCOPED_TRACE(sizeField);
        WavPackFile file;
        file.block(4096, 600000).block(4096, 600000, kCdFlags, sizeField).block(4096, 600000);
        AudioInfoPtr info = probeBytes(file.b.bytes);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(seekPointsOf(*info), (std::vector<SeekPoint>{{0, 0}, {4096, 600000}}));
        EXPECT_EQ(info->maxFrameBytes, 600000u);
    }
}

// Six blocks of 4096 samples, 300000 bytes each: the last two lie behind the
// first MiB.
WavPackFile sixBlocks(std::uint32_t claimed) {
    WavPackFile file;
    for (int i = 0; i < 6; ++i) file.block(4096, 300000);
    file.claim(claimed);
    return file;
}

TEST_F(WavPack, ACachedTableIsTakenOnlyWhereItFitsTheFile) {
    const std::vector<std::uint8_t> intact = sixBlocks(6 * 4096).b.bytes;
    AudioInfoPtr first = probeBytes(intact);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(cacheFiles().size(), 1u);
    EXPECT_EQ(cacheFiles()[0].filename().string().front(), 'W');

    // A block header behind the first MiB damaged, the last one intact: the
    // record fits, so the table comes from the cache though a walk refuses it.
    std::vector<std::uint8_t> damaged = intact;
    std::fill_n(damaged.begin() + 1200000, 4, 'x');
    AudioInfoPtr hit = probeBytes(damaged);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(seekPointsOf(*hit), seekPointsOf(*first));
    EXPECT_EQ(hit->totalSamples, 6u * 4096);
    EXPECT_EQ(hit->maxFrameBytes, first->maxFrameBytes);
    EXPECT_EQ(hit->maxFrameSamples, first->maxFrameSamples);

    // A copy cut behind the first MiB is walked and refused; it stores nothing.
    std::vector<std::uint8_t> cut(intact.begin(), intact.begin() + kMiB + 100);
    ProbeResult cutResult = test::probeResultOfBytes(cut);
    EXPECT_EQ(cutResult.measure, Measure::refused);
    EXPECT_EQ(cutResult.reason, "cut short at byte 900000: 12288 of 24576 samples");
    EXPECT_NE(probeBytes(damaged), nullptr);

    // A record that holds fewer samples than the first block claims, as runs
    // before this check could store, is a miss.
    const SeekPoint shortTable[] = {{0, 0}, {4096, 300000}};
    storeSeekTable(shortTable, md5Of(intact, kMiB), 'W', 4096, 300000, 4096);
    ProbeResult walked = test::probeResultOfBytes(damaged);
    EXPECT_EQ(walked.measure, Measure::refused);
    EXPECT_EQ(walked.reason, "no WavPack block at byte 1200000: the file is damaged (16384 of 24576 samples before it)");
}

TEST_F(WavPack, AWalkThatCouldNotReadTheWholeFileStoresNothing) {
    // Without a total to check against, only the walk's end tells a cut or
    // unreadable file from a whole one.
    const std::vector<std::uint8_t> intact = sixBlocks(0xFFFFFFFF).b.bytes;
    std::vector<std::uint8_t> cut(intact.begin(), intact.begin() + kMiB + 100);
    ProbeResult cutResult = test::probeResultOfBytes(cut);
    EXPECT_EQ(cutResult.measure, Measure::cdAudio);
    EXPECT_EQ(cutResult.frames, 3u * 4096 / 588);
    EXPECT_EQ(cutResult.reason, "the WavPack block at byte 900000 runs past the end of the file: left out");

    setFailingReadsFrom(1500010);
    ProbeResult unreadable = test::probeResultOfBytes(intact);
    setFailingReadsFrom(kNoFailingReads);
    EXPECT_EQ(unreadable.measure, Measure::refused);
    EXPECT_EQ(unreadable.reason, "reading it failed at byte 1500000");
    EXPECT_TRUE(cacheFiles().empty());

    ProbeResult whole = test::probeResultOfBytes(intact);
    EXPECT_EQ(whole.measure, Measure::cdAudio);
    EXPECT_EQ(whole.frames, 6u * 4096 / 588);
    EXPECT_EQ(cacheFiles().size(), 1u);
}

// Ten seconds of independent noise on both channels: more than 1 MiB in every mode.
class WavPackEncoder : public WavPack {
protected:
    static void SetUpTestSuite() {
        source_ = new TempDir;
        ASSERT_TRUE(test::toolAvailable("wavpack")) << "wavpack needed";
        ASSERT_TRUE(test::toolAvailable("ffmpeg")) << "ffmpeg needed";
        ASSERT_EQ(test::runShell("ffmpeg -hide_banner -loglevel error -y "
                                 "-f lavfi -i anoisesrc=d=10:c=white:r=44100:a=0.5:s=3 "
                                 "-f lavfi -i anoisesrc=d=10:c=white:r=44100:a=0.5:s=5 "
                                 "-filter_complex amerge=inputs=2 -sample_fmt s16 '" +
                                 wave().string() + "'"),
                  0);
    }
    static void TearDownTestSuite() {
        delete source_;
        source_ = nullptr;
    }
    static fs::path wave() { return *source_ / "noise.wav"; }

    fs::path encode(const std::string& options, const std::string& name) {
        fs::path out = files_ / name;
        EXPECT_EQ(test::runShell("wavpack -q -y " + options + " '" + wave().string() + "' -o '" +
                                 out.string() + "'"),
                  0);
        return out;
    }

    // Checks the points against the block headers read here: each point starts
    // a block whose own index field equals the point's sample, the blocks follow
    // one another, and the closing point carries the stream's total length.
    static void expectPointsMatchBlocks(const AudioInfo& info, const std::vector<std::uint8_t>& bytes,
                                        std::uint32_t firstBlock, std::uint32_t dataEnd,
                                        std::uint32_t totalSamples = 441000) {
        ASSERT_GE(info.seekPointCount, 2u);
        EXPECT_EQ(info.seekPoints[0].offset, firstBlock);
        std::uint32_t largestBlock = 0;
        std::uint32_t largestSamples = 0;
        for (std::uint32_t i = 0; i + 1 < info.seekPointCount; ++i) {
            std::uint32_t at = info.seekPoints[i].offset;
            ASSERT_LE(std::size_t{at} + 32, bytes.size());
            ASSERT_EQ(std::string(bytes.begin() + at, bytes.begin() + at + 4), "wvpk") << i;
            EXPECT_EQ(loadLe32(&bytes[at + 16]), info.seekPoints[i].sample) << i;
            std::uint32_t blockBytes = loadLe32(&bytes[at + 4]) + 8;
            EXPECT_EQ(info.seekPoints[i + 1].offset, at + blockBytes) << i;
            largestBlock = std::max(largestBlock, blockBytes);
            largestSamples = std::max(largestSamples, loadLe32(&bytes[at + 20]));
        }
        SeekPoint closing = info.seekPoints[info.seekPointCount - 1];
        EXPECT_EQ(closing, (SeekPoint{loadLe32(&bytes[firstBlock + 12]), dataEnd}));
        EXPECT_EQ(info.totalSamples, totalSamples);
        EXPECT_EQ(info.maxFrameBytes, largestBlock);
        EXPECT_EQ(info.maxFrameSamples, largestSamples);
    }

    static TempDir* source_;
};

TempDir* WavPackEncoder::source_ = nullptr;

TEST_F(WavPackEncoder, PointsMatchTheBlocksOfEveryMode) {
    for (const char* mode : {"-f", "", "-h", "-hh", "-x", "-b1000"}) {
        SCOPED_TRACE(mode);
        fs::path file = encode(mode, "mode.wv");
        std::vector<std::uint8_t> bytes = test::readFileBytes(file);
        AudioInfoPtr info = probePath(file);
        ASSERT_NE(info, nullptr);
        expectPointsMatchBlocks(*info, bytes, 0, static_cast<std::uint32_t>(bytes.size()));
        EXPECT_EQ(audioFrames(*info), 441000u / 588);
    }
}

TEST_F(WavPackEncoder, TagAfterTheLastBlockClosesTheTable) {
    fs::path file = encode("-w 'Title=x'", "tagged.wv");
    std::vector<std::uint8_t> bytes = test::readFileBytes(file);
    auto tag = std::search(bytes.begin(), bytes.end(), std::begin("APETAGEX"), std::end("APETAGEX") - 1);
    ASSERT_NE(tag, bytes.end());
    AudioInfoPtr info = probePath(file);
    ASSERT_NE(info, nullptr);
    expectPointsMatchBlocks(*info, bytes, 0, static_cast<std::uint32_t>(tag - bytes.begin()));
}

TEST_F(WavPackEncoder, StubbedFileIsMeasuredFromItsFirstBlock) {
    std::vector<std::uint8_t> plain = test::readFileBytes(encode("", "plain.wv"));
    WavPackFile stubbed;
    stubbed.stub(70000).b.append(plain);
    fs::path file = files_ / "stubbed.wv";
    test::writeFile(file, stubbed.b.bytes);
    AudioInfoPtr info = probePath(file);
    ASSERT_NE(info, nullptr);
    expectPointsMatchBlocks(*info, stubbed.b.bytes, 70000, static_cast<std::uint32_t>(stubbed.b.size()));
}

TEST_F(WavPackEncoder, FileShorterThanOneMebibyteIsMeasured) {
    fs::path shortWave = files_ / "short.wav";
    ASSERT_EQ(test::runShell("ffmpeg -hide_banner -loglevel error -y -i '" + wave().string() +
                             "' -t 2 '" + shortWave.string() + "'"),
              0);
    fs::path file = files_ / "short.wv";
    ASSERT_EQ(test::runShell("wavpack -q -y '" + shortWave.string() + "' -o '" + file.string() + "'"), 0);
    ASSERT_LT(fs::file_size(file), kMiB);
    std::vector<std::uint8_t> bytes = test::readFileBytes(file);
    AudioInfoPtr info = probePath(file);
    ASSERT_NE(info, nullptr);
    expectPointsMatchBlocks(*info, bytes, 0, static_cast<std::uint32_t>(bytes.size()), 88200);
}

}  // namespace
}  // namespace trakmap
