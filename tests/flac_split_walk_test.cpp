// A FLAC walk split into parts that run on threads of their own must give
// exactly what one walk gives: the same frames, the same end, the same
// refusal. Places to split at are found by their bytes alone, so some are not
// frame starts; those parts must be dropped.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/flac.h"
#include "audio/probe.h"
#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::TempDir;
using test::writeFile;

// What a walk found: its end and every frame's point.
struct Walked {
    FlacWalk walk;
    std::vector<SeekPoint> points;
};

bool operator==(const Walked& a, const Walked& b) {
    return a.walk.end == b.walk.end && a.walk.stopOffset == b.walk.stopOffset &&
           a.walk.audioEnd == b.walk.audioEnd && a.walk.samples == b.walk.samples && a.points == b.points;
}

void PrintTo(const Walked& w, std::ostream* out) {
    *out << "end " << static_cast<int>(w.walk.end) << " at " << w.walk.stopOffset << ", audio end "
         << w.walk.audioEnd << ", " << w.walk.samples << " samples, " << w.points.size() << " points";
}

// Walks `file` from its first frame to its end, in parts split at
// `splitPoints`, or in one when there are none. `parts` asks for the places
// the walk itself would split at instead.
Walked walkFile(const fs::path& file, const std::vector<std::uint64_t>& splitPoints,
                std::vector<std::uint64_t>* found = nullptr, unsigned parts = 0) {
    Walked walked;
    UniqueFile handle(platformOpenFile(file.c_str(), kOpenRead));
    EXPECT_TRUE(handle.valid());
    FlacDecoder decoder;
    EXPECT_TRUE(initReader(decoder.reader, handle.get()));
    EXPECT_TRUE(readFlacMetadata(decoder));
    const std::uint64_t size = fs::file_size(file);
    std::vector<std::uint64_t> places = splitPoints;
    if (found != nullptr) places = *found = findFlacSplitPoints(decoder, size, parts);
    walked.walk = walkFlacFramesInParts(decoder, size, size, &walked.points, places);
    return walked;
}

std::vector<std::uint64_t> frameOffsets(const Walked& walked) {
    std::vector<std::uint64_t> offsets;
    for (const SeekPoint& point : walked.points) offsets.push_back(point.offset);
    return offsets;
}

bool isFrameStart(const Walked& walked, std::uint64_t offset) {
    for (const SeekPoint& point : walked.points)
        if (point.offset == offset) return true;
    return false;
}

// CRC-8 of a frame header, as an encoder writes it.
std::uint8_t crc8(const Bytes& bytes) {
    unsigned crc = 0;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = ((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1) & 0xFF;
    }
    return static_cast<std::uint8_t>(crc);
}

// A stereo 16-bit stream of `frames` frames of 1152 samples whose subframes
// are verbatim, and whose samples repeat a frame header of this very stream
// with a valid CRC-8: every byte searched for a frame start leads to a false
// one.
Bytes streamOfFalseHeaders(int frames) {
    auto header = [](std::uint8_t number) {
        Bytes bytes{0xFF, 0xF8, 0x39, 0x18, number};  // 1152 samples, 44100 Hz, 2 channels, 16 bits
        bytes.push_back(crc8(bytes));
        return bytes;
    };
    Bytes out{'f', 'L', 'a', 'C', 0x80, 0, 0, 34};
    const std::uint64_t total = 1152ull * static_cast<std::uint64_t>(frames);
    const Bytes streamInfo{0x04, 0x80, 0x04, 0x80, 0, 0, 0, 0, 0x20, 0, 0x0A, 0xC4, 0x42, 0xF0,
                           static_cast<std::uint8_t>(total >> 24), static_cast<std::uint8_t>(total >> 16),
                           static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total)};
    out.insert(out.end(), streamInfo.begin(), streamInfo.end());
    for (int i = 0; i < 16; ++i) out.push_back(static_cast<std::uint8_t>(0x51 + i));  // signature
    const Bytes forged = header(0x05);
    for (int k = 0; k < frames; ++k) {
        const Bytes real = header(static_cast<std::uint8_t>(k));
        out.insert(out.end(), real.begin(), real.end());
        for (int channel = 0; channel < 2; ++channel) {
            out.push_back(0x02);  // verbatim, no wasted bits
            for (int i = 0; i < 1152 * 2; ++i) out.push_back(forged[static_cast<std::size_t>(i) % forged.size()]);
        }
        out.push_back(0);  // CRC-16, not checked
        out.push_back(0);
    }
    return out;
}

// Twenty seconds of stereo pink noise encoded by the reference encoder:
// about 1.4 MB of Rice-coded residuals, long enough to be split in two.
class FlacSplitWalk : public testing::Test {
protected:
    static void SetUpTestSuite() {
        source_ = new TempDir;
        ASSERT_TRUE(test::toolAvailable("flac")) << "flac is needed";
        ASSERT_TRUE(test::ffmpegNoise(*source_ / "noise.wav", 20.0, "-c:a pcm_s16le"));
        ASSERT_EQ(test::runShell("flac -s -f -5 -o '" + noise().string() + "' '" +
                                 (*source_ / "noise.wav").string() + "' 2>/dev/null"),
                  0);
    }
    static void TearDownTestSuite() {
        delete source_;
        source_ = nullptr;
    }
    static fs::path noise() { return *source_ / "noise.flac"; }

    TempDir dir_;
    static TempDir* source_;
};

TempDir* FlacSplitWalk::source_ = nullptr;

TEST_F(FlacSplitWalk, FoundPlacesAreFrameStartsAndEveryPartingWalksTheSame) {
    const Walked whole = walkFile(noise(), {});
    ASSERT_EQ(whole.walk.end, FlacWalkEnd::audioEnd);
    ASSERT_GT(whole.points.size(), 100u);
    for (unsigned parts : {2u, 3u, 8u}) {
        std::vector<std::uint64_t> found;
        EXPECT_EQ(walkFile(noise(), {}, &found, parts), whole) << parts << " parts";
        ASSERT_EQ(found.size(), parts - 1) << parts << " parts";
        for (std::uint64_t offset : found) EXPECT_TRUE(isFrameStart(whole, offset)) << offset;
    }
}

TEST_F(FlacSplitWalk, PartsThatDoNotMeetAreDroppedForOneWalkOn) {
    const Walked whole = walkFile(noise(), {});
    const std::vector<std::uint64_t> frames = frameOffsets(whole);
    ASSERT_GT(frames.size(), 100u);
    const std::uint64_t a = frames[frames.size() / 3], b = frames[frames.size() / 2], c = frames[frames.size() * 3 / 4];
    const std::uint64_t size = fs::file_size(noise());
    const struct {
        const char* what;
        std::vector<std::uint64_t> splitPoints;
    } cases[] = {
        {"inside a frame", {b + 1}},
        {"inside the last frame's bytes", {size - 3}},
        {"inside a frame, then a frame start", {a + 7, c}},
        {"a frame start, then inside a frame", {a, b + 100}},
        {"a frame start, inside one, a frame start", {a, b + 2, c}},
        {"frame starts", {a, b, c}},
    };
    for (const auto& c : cases) EXPECT_EQ(walkFile(noise(), c.splitPoints), whole) << c.what;
}

TEST_F(FlacSplitWalk, FalseFrameHeadersInsideFramesAreFoundAndDropped) {
    writeFile(dir_ / "forged.flac", streamOfFalseHeaders(41));
    const Walked whole = walkFile(dir_ / "forged.flac", {});
    ASSERT_EQ(whole.walk.end, FlacWalkEnd::audioEnd);
    ASSERT_EQ(whole.points.size(), 41u);
    std::vector<std::uint64_t> found;
    EXPECT_EQ(walkFile(dir_ / "forged.flac", {}, &found, 4), whole);
    ASSERT_EQ(found.size(), 3u);
    for (std::uint64_t offset : found) EXPECT_FALSE(isFrameStart(whole, offset)) << offset;
}

// Through the probe, which splits only files of some megabytes: the same
// result, table and cache file on two threads as on one, and the same
// refusal for damage before or after the middle.
TEST_F(FlacSplitWalk, ProbesOnTwoThreadsSayWhatOneSays) {
    const Bytes bytes = test::readFileBytes(noise());
    ASSERT_GT(bytes.size(), 1100000u) << "too short to be split in two";
    const std::vector<std::uint64_t> frames = frameOffsets(walkFile(noise(), {}));
    auto damaged = [&](double where) {
        Bytes copy = bytes;
        const std::uint64_t at = frames[static_cast<std::size_t>(static_cast<double>(frames.size()) * where)];
        for (std::uint64_t i = at; i < at + 6; ++i) copy[i] = 0;
        return copy;
    };
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"whole", bytes},
        {"cut short in the second half", Bytes(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * 4 / 5))},
        {"a damaged frame in the second half", damaged(0.7)},
        {"a damaged frame in the first half", damaged(0.3)},
        {"a damaged frame at the middle", damaged(0.5)},
    };
    for (const auto& c : cases) {
        writeFile(dir_ / "probed.flac", c.bytes);
        UniqueFile file(platformOpenFile((dir_ / "probed.flac").c_str(), kOpenRead));
        ASSERT_TRUE(file.valid());
        std::optional<Bytes> cacheFile;
        std::vector<ProbeResult> results;
        for (unsigned threads : {1u, 2u}) {
            TempDir cache;
            setSeekTableCacheRoot(cache.path().string());
            ASSERT_TRUE(platformSeekFile(file.get(), 0, SeekFrom::begin));
            results.push_back(probeAudioFileOnThreads(file.get(), threads));
            setSeekTableCacheRoot(PathString());
            std::optional<Bytes> stored;
            if (fs::exists(cache / "Vantorel" / "seektable"))
                for (const auto& entry : fs::directory_iterator(cache / "Vantorel" / "seektable"))
                    stored = test::readFileBytes(entry.path());
            if (threads == 1) cacheFile = stored;
            else EXPECT_EQ(stored, cacheFile) << c.what;
        }
        EXPECT_EQ(results[1].measure, results[0].measure) << c.what;
        EXPECT_EQ(results[1].frames, results[0].frames) << c.what;
        EXPECT_EQ(results[1].reason, results[0].reason) << c.what;
        ASSERT_EQ(static_cast<bool>(results[1].info), static_cast<bool>(results[0].info)) << c.what;
        if (results[0].info) {
            EXPECT_EQ(results[0].measure, Measure::cdAudio) << c.what;
            EXPECT_EQ(test::seekPointsOf(*results[1].info), test::seekPointsOf(*results[0].info)) << c.what;
        } else {
            EXPECT_EQ(results[0].measure, Measure::refused) << c.what;
        }
    }
}

}  // namespace
}  // namespace trakmap
