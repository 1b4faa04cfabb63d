// The frame walk against files written by real encoders, checked with the
// reference decoder's view of the same files.
#include <gtest/gtest.h>

#include <FLAC/stream_decoder.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/flac.h"
#include "audio/probe.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::runShell;
using test::TempDir;
using test::writeFile;

void putLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Five seconds of CD audio that exercises the encoders' choices: tones,
// noise of changing loudness, digital silence, and a stretch where both
// channels are equal.
void writeTestWave(const fs::path& file) {
    const std::uint32_t samples = 5 * 44100;
    std::vector<std::uint8_t> bytes = {'R', 'I', 'F', 'F'};
    putLe(bytes, 36 + samples * 4, 4);
    for (char c : std::string("WAVEfmt ")) bytes.push_back(static_cast<std::uint8_t>(c));
    putLe(bytes, 16, 4);
    putLe(bytes, 1, 2);
    putLe(bytes, 2, 2);
    putLe(bytes, 44100, 4);
    putLe(bytes, 176400, 4);
    putLe(bytes, 4, 2);
    putLe(bytes, 16, 2);
    for (char c : std::string("data")) bytes.push_back(static_cast<std::uint8_t>(c));
    putLe(bytes, samples * 4, 4);
    std::uint32_t noise = 1;
    for (std::uint32_t i = 0; i < samples; ++i) {
        noise = noise * 1664525u + 1013904223u;
        double t = i / 44100.0;
        double loudness = 0.5 + 0.5 * std::sin(t * 2.1);
        double noiseValue = (static_cast<double>(noise >> 16) / 65536.0 - 0.5) * loudness;
        double left = 0.4 * std::sin(2 * M_PI * 440 * t) + 0.3 * noiseValue;
        double right = 0.3 * std::sin(2 * M_PI * 660 * t + 1) + 0.2 * noiseValue;
        if (t > 1.5 && t < 2.0) left = right = 0;
        if (t > 3.0 && t < 3.5) right = left;
        putLe(bytes, static_cast<std::uint16_t>(static_cast<std::int16_t>(left * 32767)), 2);
        putLe(bytes, static_cast<std::uint16_t>(static_cast<std::int16_t>(right * 32767)), 2);
    }
    writeFile(file, bytes);
}

struct ReferenceView {
    std::vector<SeekPoint> frames;  // first sample and byte offset of each frame
    std::uint64_t totalSamples = 0;
    std::uint32_t maxBlockSize = 0;
    std::uint32_t maxFrameSize = 0;
    Digest md5{};
    bool frameWritten = false;
    bool failed = false;
};

FLAC__StreamDecoderWriteStatus onFrame(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                       const FLAC__int32* const*, void* data) {
    auto* view = static_cast<ReferenceView*>(data);
    std::uint64_t sample = frame->header.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                               ? frame->header.number.sample_number
                               : std::uint64_t{frame->header.number.frame_number} * view->maxBlockSize;
    view->frames.push_back(SeekPoint{static_cast<std::uint32_t>(sample), 0});
    view->frameWritten = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void onMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* data) {
    auto* view = static_cast<ReferenceView*>(data);
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    view->totalSamples = info.total_samples;
    view->maxBlockSize = info.max_blocksize;
    view->maxFrameSize = info.max_framesize;
    std::copy(std::begin(info.md5sum), std::end(info.md5sum), view->md5.begin());
}

void onError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
    static_cast<ReferenceView*>(data)->failed = true;
}

// Decodes the file frame by frame, noting where each frame starts.
ReferenceView referenceView(const fs::path& file) {
    ReferenceView view;
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    EXPECT_EQ(FLAC__stream_decoder_init_file(decoder, file.c_str(), onFrame, onMetadata, onError, &view),
              FLAC__STREAM_DECODER_INIT_STATUS_OK);
    EXPECT_TRUE(FLAC__stream_decoder_process_until_end_of_metadata(decoder));
    for (;;) {
        FLAC__uint64 position = 0;
        EXPECT_TRUE(FLAC__stream_decoder_get_decode_position(decoder, &position));
        view.frameWritten = false;
        if (!FLAC__stream_decoder_process_single(decoder)) break;
        if (view.frameWritten) view.frames.back().offset = static_cast<std::uint32_t>(position);
        if (FLAC__stream_decoder_get_state(decoder) == FLAC__STREAM_DECODER_END_OF_STREAM) break;
    }
    FLAC__stream_decoder_delete(decoder);
    return view;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Needs the encoders; each test starts with the test audio in a fresh folder
// and leaves the cache seam as it found it.
class FlacInterop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runShell("flac --version >/dev/null 2>&1"), 0) << "the flac encoder is needed";
        ASSERT_EQ(runShell("ffmpeg -version >/dev/null 2>&1"), 0) << "ffmpeg is needed";
        writeTestWave(wave);
    }
    void TearDown() override { setSeekTableCacheRoot(PathString()); }

    TempDir dir;
    fs::path wave = dir / "in.wav";
};

TEST_F(FlacInterop, WalkMatchesTheReferenceDecoderForEveryEncoderSetting) {
    fs::path picture = dir / "cover.png";
    ASSERT_EQ(runShell("ffmpeg -loglevel error -f lavfi -i color=c=red:s=8x8 -frames:v 1 " + quoted(picture)), 0);

    const std::string flac = "flac --silent --force ";
    const std::string in = " " + quoted(wave);
    struct Setting {
        const char* name;
        std::string command;  // writes "$OUT"
    };
    const Setting settings[] = {
        {"flac -0", flac + "-0 -o \"$OUT\"" + in},
        {"flac -5", flac + "-5 -o \"$OUT\"" + in},
        {"flac -8", flac + "-8 -o \"$OUT\"" + in},
        {"flac -8 -e -p", flac + "-8 -e -p -o \"$OUT\"" + in},
        {"flac -b 1152", flac + "--lax -b 1152 -o \"$OUT\"" + in},
        {"flac -b 4608", flac + "--lax -b 4608 -o \"$OUT\"" + in},
        {"flac -l 32", flac + "-l 32 --lax -o \"$OUT\"" + in},
        {"flac -r 8", flac + "-8 -r 8 -o \"$OUT\"" + in},
        {"flac no padding, no seek table", flac + "--no-padding --no-seektable -o \"$OUT\"" + in},
        {"flac tags, picture, seek table",
         flac + "-S 1s -T ARTIST=Someone -T TITLE=Something --picture=" + quoted(picture) + " -o \"$OUT\"" + in},
        {"ffmpeg", "ffmpeg -loglevel error -y -i" + in + " -c:a flac \"$OUT\""},
        {"ffmpeg level 12", "ffmpeg -loglevel error -y -i" + in + " -c:a flac -compression_level 12 \"$OUT\""},
    };
    int index = 0;
    for (const Setting& setting : settings) {
        SCOPED_TRACE(setting.name);
        fs::path encoded = dir / ("out" + std::to_string(index) + ".flac");
        // Every encoding of the same audio has the same signature: each gets
        // a cache of its own.
        fs::path cache = dir / ("cache" + std::to_string(index++));
        fs::create_directories(cache);
        ASSERT_EQ(runShell("OUT=" + quoted(encoded) + "; " + setting.command), 0);

        ReferenceView reference = referenceView(encoded);
        ASSERT_FALSE(reference.failed);
        ASSERT_GT(reference.frames.size(), 10u);

        setSeekTableCacheRoot(cache.string());
        UniqueFile file(platformOpenFile(encoded.c_str(), kOpenRead));
        AudioInfoPtr info = probeAudioFile(file.get()).info;
        std::optional<SeekTableRecord> walked = loadSeekTable('F', reference.md5);
        setSeekTableCacheRoot(PathString());

        ASSERT_TRUE(info);
        EXPECT_EQ(info->totalSamples, reference.totalSamples);
        EXPECT_EQ(info->maxFrameBytes, reference.maxFrameSize);
        EXPECT_EQ(info->maxFrameSamples, reference.maxBlockSize);
        ASSERT_TRUE(walked);
        ASSERT_EQ(walked->entries.size(), reference.frames.size() + 1);
        for (std::size_t i = 0; i < reference.frames.size(); ++i) {
            ASSERT_EQ(walked->entries[i].sample, reference.frames[i].sample) << "frame " << i;
            ASSERT_EQ(walked->entries[i].offset, reference.frames[i].offset) << "frame " << i;
        }
        EXPECT_EQ(walked->entries.back().sample, reference.totalSamples);
        EXPECT_EQ(walked->entries.back().offset, fs::file_size(encoded));
    }
}

TEST_F(FlacInterop, EncodedFilesOutsideTheCdFormatTaggedOrDamaged) {
    setSeekTableCacheRoot(dir.path().string());
    auto probeFile = [](const fs::path& path) {
        UniqueFile file(platformOpenFile(path.c_str(), kOpenRead));
        return probeAudioFile(file.get());
    };

    struct Conversion {
        const char* name;
        const char* options;
        std::uint32_t frames;  // five seconds, by their duration
    };
    const Conversion conversions[] = {
        {"mono", "-ac 1", 375},
        {"48 kHz", "-ar 48000", 375},
        {"24-bit", "-sample_fmt s32 -bits_per_raw_sample 24", 375},
    };
    for (const Conversion& c : conversions) {
        fs::path encoded = dir / (std::string(c.name) + ".flac");
        ASSERT_EQ(runShell("ffmpeg -loglevel error -y -i " + quoted(wave) + " " + c.options + " -c:a flac " +
                           quoted(encoded)),
                  0);
        ProbeResult result = probeFile(encoded);
        EXPECT_EQ(result.measure, Measure::byDuration) << c.name;
        EXPECT_EQ(result.frames, c.frames) << c.name;
        EXPECT_FALSE(result.info) << c.name;
    }

    // Copies of a good file, probed before the good one could fill the cache.
    fs::path good = dir / "good.flac";
    ASSERT_EQ(runShell("flac --silent --force -5 -o " + quoted(good) + " " + quoted(wave)), 0);
    std::vector<std::uint8_t> bytes = test::readFileBytes(good);
    auto tagged = bytes;
    tagged.insert(tagged.end(), {'T', 'A', 'G'});
    tagged.resize(bytes.size() + 128, ' ');
    writeFile(dir / "tagged.flac", tagged);
    writeFile(dir / "truncated.flac", std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1000));
    ProbeResult taggedResult = probeFile(dir / "tagged.flac");
    ASSERT_TRUE(taggedResult.info);
    EXPECT_EQ(taggedResult.info->totalSamples, 5u * 44100);
    EXPECT_EQ(taggedResult.info->seekPoints[taggedResult.info->seekPointCount - 1].offset, bytes.size());
    EXPECT_EQ(probeFile(dir / "truncated.flac").measure, Measure::refused);

    // An unknown length (total samples 0): the length the walk finds.
    auto unknownLength = bytes;
    unknownLength[21] &= 0xF0;
    std::fill(unknownLength.begin() + 22, unknownLength.begin() + 26, 0);
    unknownLength[30] ^= 0xFF;  // a signature of its own
    writeFile(dir / "unknown.flac", unknownLength);
    AudioInfoPtr info = probeFile(dir / "unknown.flac").info;
    ASSERT_TRUE(info);
    EXPECT_EQ(info->totalSamples, 5u * 44100);
    ASSERT_GT(info->seekPointCount, 2u);
    EXPECT_EQ(info->seekPoints[info->seekPointCount - 1].sample, 5u * 44100);
    EXPECT_EQ(info->seekPoints[info->seekPointCount - 2].sample, 5u * 44100 / 4096 / 10 * 10 * 4096);
}

}  // namespace
}  // namespace trakmap
