// FLAC and WavPack files as users have them, made by the real encoders and
// measured through the built executable with an empty and a warm cache: files
// with tags, fed from a pipe, in other formats, short tracks of a rip of one
// file per track, copies cut short. Expected lengths come from the encoders'
// own sample counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/measure_table.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::captureShell;
using test::measureOnce;
using test::measureTwice;
using test::runShell;
using test::TempDir;

constexpr std::int64_t kSamplesPerFrame = 588;

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// An ID3v2.3 tag with one title frame, as taggers put in front of audio.
Bytes id3v2Tag() {
    const std::string title = "\x03" "A title";
    test::ByteBuilder frame;
    frame.text("TIT2").be32(static_cast<std::uint32_t>(title.size())).be16(0).text(title);
    frame.zeros(200);  // padding
    test::ByteBuilder tag;
    tag.text("ID3").le16(3);
    tag.bytes.push_back(0);  // flags
    for (int shift = 21; shift >= 0; shift -= 7)
        tag.bytes.push_back(static_cast<std::uint8_t>((frame.size() >> shift) & 0x7F));
    return tag.append(frame.bytes).bytes;
}

// An ID3v1 tag: "TAG", title, artist, album, year, comment and genre.
Bytes id3v1Tag() {
    test::ByteBuilder tag;
    tag.text("TAG").text(std::string(30, 'T')).text(std::string(30, 'A')).text(std::string(30, 'B'));
    tag.text("1999").text(std::string(30, ' '));
    tag.bytes.push_back(17);
    return tag.bytes;
}

// An APEv2 tag with its header: one "Title" item, then the footer.
Bytes apeTag() {
    test::ByteBuilder item;
    item.le32(7).le32(0).text("Title").zeros(1).text("A title");
    const auto size = static_cast<std::uint32_t>(item.size() + 32);  // items and footer
    test::ByteBuilder tag;
    tag.text("APETAGEX").le32(2000).le32(size).le32(1).le32(0xA0000000).zeros(8);
    tag.append(item.bytes);
    tag.text("APETAGEX").le32(2000).le32(size).le32(1).le32(0x80000000).zeros(8);
    return tag.bytes;
}

class EndToEndMeasure : public testing::Test {
protected:
    static void SetUpTestSuite() {
        source_ = new TempDir;
        ASSERT_TRUE(test::toolAvailable("flac") && test::toolAvailable("metaflac")) << "flac is needed";
        ASSERT_TRUE(test::toolAvailable("wavpack")) << "wavpack is needed";
        ASSERT_TRUE(test::toolAvailable("ffmpeg") && test::toolAvailable("ffprobe")) << "ffmpeg is needed";
        // Three seconds of CD audio, and the same as raw samples for a pipe.
        ASSERT_TRUE(test::ffmpegNoise(cdWave(), 3.0, "-c:a pcm_s16le"));
        ASSERT_EQ(runShell("ffmpeg -hide_banner -loglevel error -y -i " + quoted(cdWave()) + " -f s16le " +
                           quoted(*source_ / "cd.pcm")),
                  0);
    }
    static void TearDownTestSuite() {
        delete source_;
        source_ = nullptr;
    }
    static fs::path cdWave() { return *source_ / "cd.wav"; }

    // Runs `command` in the test's folder.
    void shell(const std::string& command) { ASSERT_EQ(runShell("cd " + quoted(dir.path()) + " && " + command), 0) << command; }

    // Encodes the CD audio as FLAC with `options`.
    fs::path flac(const std::string& name, const std::string& options = "") {
        shell("flac -s -f " + options + " -o " + name + " " + quoted(cdWave()) + " 2>/dev/null");
        return dir / name;
    }

    std::int64_t metaflacTotal(const fs::path& file) {
        return std::stoll(captureShell("metaflac --show-total-samples " + quoted(file), dir.path()));
    }
    std::int64_t ffprobeSamples(const fs::path& file) {
        return std::stoll(captureShell("ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts "
                                       "-of csv=p=0 " + quoted(file),
                                       dir.path()));
    }

    // The line the tool writes about the only file of the measuring sheet.
    static std::string line(const std::string& file, const std::string& reason) {
        return "trakmap: measure.cue: file 1 \"" + file + "\": " + reason + "\n";
    }

    TempDir dir;
    static TempDir* source_;
};

TempDir* EndToEndMeasure::source_ = nullptr;

TEST_F(EndToEndMeasure, FlacAsTaggersAndPipesLeaveIt) {
    const Bytes plain = test::readFileBytes(flac("plain.flac"));
    const std::int64_t total = metaflacTotal(dir / "plain.flac");
    ASSERT_EQ(total, 3 * 44100);
    // Fed from a pipe the encoder cannot seek back into: no total, no signature.
    shell("cat " + quoted(*source_ / "cd.pcm") + " | flac -s --force-raw-format --endian=little --sign=signed "
          "--channels=2 --bps=16 --sample-rate=44100 - -c > piped.flac 2>/dev/null");
    const Bytes piped = test::readFileBytes(dir / "piped.flac");
    ASSERT_EQ(metaflacTotal(dir / "piped.flac"), 0);
    // A total of 0 in a signed stream, which the cache then carries.
    Bytes unknownTotal = plain;
    unknownTotal[21] &= 0xF0;
    std::fill(unknownTotal.begin() + 22, unknownTotal.begin() + 26, 0);

    const std::string junkAt = std::to_string(piped.size());
    struct Case {
        const char* name;
        Bytes bytes;
        std::string err;
    };
    const Case cases[] = {
        {"id3v1.flac", joined({plain, id3v1Tag()}), ""},
        {"id3v2.flac", joined({id3v2Tag(), plain}), ""},
        {"ape.flac", joined({plain, apeTag()}), ""},
        {"ape-id3v1.flac", joined({plain, apeTag(), id3v1Tag()}), ""},
        {"id3v1-ape.flac", joined({plain, id3v1Tag(), apeTag()}), ""},
        {"all-three.flac", joined({id3v2Tag(), plain, apeTag(), id3v1Tag()}), ""},
        {"piped.flac", piped, ""},
        {"piped-junk.flac", joined({piped, Bytes(1000, 0)}),
         line("piped-junk.flac", "1000 bytes at byte " + junkAt + " are neither FLAC frames nor a tag: left out")},
        {"unknown-total.flac", unknownTotal, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(dir / c.name, c.bytes);
        test::Measured measured = measureTwice(dir.path(), c.name);
        EXPECT_EQ(measured.leadOut, total / kSamplesPerFrame);
        EXPECT_EQ(measured.err, c.err);
    }
}

TEST_F(EndToEndMeasure, OtherFormatsAreMeasuredByTheirDuration) {
    struct Case {
        const char* name;
        std::string ffmpegOptions;  // make the WAVE source from the CD audio
        const char* encoder;
        std::uint32_t rate;
        const char* format;
    };
    const Case cases[] = {
        {"48k.flac", "-ar 48000", "flac", 48000, "48000 Hz 16-bit stereo"},
        {"96k24.flac", "-ar 96000 -c:a pcm_s24le", "flac", 96000, "96000 Hz 24-bit stereo"},
        {"24bit.flac", "-c:a pcm_s24le", "flac", 44100, "44100 Hz 24-bit stereo"},
        {"32bit.flac", "-c:a pcm_s32le", "flac", 44100, "44100 Hz 32-bit stereo"},
        {"mono.flac", "-ac 1", "flac", 44100, "44100 Hz 16-bit mono"},
        {"48k.wv", "-ar 48000", "wavpack", 48000, "48000 Hz 16-bit stereo"},
        {"96k24.wv", "-ar 96000 -c:a pcm_s24le", "wavpack", 96000, "96000 Hz 24-bit stereo"},
        {"24bit.wv", "-c:a pcm_s24le", "wavpack", 44100, "44100 Hz 24-bit stereo"},
        {"mono.wv", "-ac 1", "wavpack", 44100, "44100 Hz 16-bit mono"},
        {"5.1.wv", "-af 'pan=5.1|c0=c0|c1=c1|c2=c0|c3=c1|c4=c0|c5=c1'", "wavpack", 44100, "44100 Hz 16-bit 6-channel"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wave = std::string(c.name) + ".wav";
        shell("ffmpeg -hide_banner -loglevel error -y -i " + quoted(cdWave()) + " " + c.ffmpegOptions + " " + wave);
        if (std::string(c.encoder) == "flac") shell("flac -s -f -o " + std::string(c.name) + " " + wave + " 2>/dev/null");
        else shell("wavpack -q -y " + wave + " -o " + c.name);
        const std::int64_t samples = std::string(c.encoder) == "flac" ? metaflacTotal(dir / c.name)
                                                                      : ffprobeSamples(dir / c.name);
        ASSERT_GT(samples, 0);
        test::Measured measured = measureTwice(dir.path(), c.name);
        EXPECT_EQ(measured.leadOut, samples * 75 / c.rate);
        EXPECT_EQ(measured.err, line(c.name, std::string(c.format) + ": measured by its duration"));
    }
}

TEST_F(EndToEndMeasure, ShortWavPackTracksOfARipOfOneFilePerTrack) {
    // Tracks of lengths that are not whole CD frames, each well under 1 MiB.
    const double seconds[] = {1.3, 2.21, 0.9};
    std::string wavSheet;
    for (int i = 0; i < 3; ++i) {
        const std::string track = "t" + std::to_string(i + 1);
        shell("ffmpeg -hide_banner -loglevel error -y -i " + quoted(cdWave()) + " -t " + std::to_string(seconds[i]) +
              " " + track + ".wav && wavpack -q -y " + track + ".wav -o " + track + ".wv");
        ASSERT_LT(fs::file_size(dir / (track + ".wv")), 1u << 20);
        wavSheet += "FILE \"" + track + ".wav\" WAVE\n  TRACK 0" + std::to_string(i + 1) +
                    " AUDIO\n    INDEX 01 00:00:00\n";
    }
    test::Measured one = measureTwice(dir.path(), "t2.wv");
    EXPECT_EQ(one.leadOut, ffprobeSamples(dir / "t2.wv") / kSamplesPerFrame);
    EXPECT_EQ(one.err, "");

    // Every track starts where it does with the same audio in WAVE files.
    std::string wvSheet = wavSheet;
    for (std::size_t at = wvSheet.find(".wav"); at != std::string::npos; at = wvSheet.find(".wav", at))
        wvSheet.replace(at, 4, ".wv");
    test::writeFile(dir / "wav.cue", wavSheet);
    test::writeFile(dir / "wv.cue", wvSheet);
    TempDir cache;
    test::ToolResult wav = test::runTool({"wav.cue"}, dir.path(), cache.path());
    test::ToolResult wv = test::runTool({"wv.cue"}, dir.path(), cache.path());
    ASSERT_NE(wav.out.find("LeadOut"), std::string::npos) << wav.out << wav.err;
    std::string expected = wav.out;
    for (std::size_t at = expected.find("wav"); at != std::string::npos; at = expected.find("wav", at))
        expected.replace(at, 3, "wv");
    EXPECT_EQ(wv.out, expected);
    EXPECT_EQ(wv.err, "");
}

TEST_F(EndToEndMeasure, CopiesCutShortAreRefusedAndLeaveTheCacheRight) {
    // Eight seconds of independent white noise on both channels: more than
    // 1 MiB as WavPack.
    shell("ffmpeg -hide_banner -loglevel error -y -f lavfi -i anoisesrc=d=8:c=white:r=44100:a=0.5:s=3 "
          "-f lavfi -i anoisesrc=d=8:c=white:r=44100:a=0.5:s=5 -filter_complex amerge=inputs=2 "
          "-c:a pcm_s16le long.wav && wavpack -q -y long.wav -o long.wv");
    ASSERT_GT(fs::file_size(dir / "long.wv"), 1u << 20);
    flac("signed.flac");
    // Two files without a signature, of different audio and length.
    flac("unsigned.flac", "--no-md5-sum");
    shell("flac -s -f --no-md5-sum -o other.flac long.wav 2>/dev/null");

    struct Case {
        const char* intact;
        std::uint64_t keep;  // bytes of the cut copy
        std::int64_t samples;
    };
    const Case cases[] = {
        {"signed.flac", fs::file_size(dir / "signed.flac") * 2 / 3, metaflacTotal(dir / "signed.flac")},
        {"long.wv", (1u << 20) + 1000, ffprobeSamples(dir / "long.wv")},
        // Once another unsigned file was probed, as the first step does.
        {"other.flac", fs::file_size(dir / "other.flac") / 2, metaflacTotal(dir / "other.flac")},
    };
    TempDir cache;
    ASSERT_EQ(measureOnce(dir.path(), "unsigned.flac", cache.path()).leadOut, 3 * 44100 / kSamplesPerFrame);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.intact);
        const std::string cut = std::string("cut-") + c.intact;
        Bytes bytes = test::readFileBytes(dir / c.intact);
        bytes.resize(c.keep);
        test::writeFile(dir / cut, bytes);

        EXPECT_EQ(measureOnce(dir.path(), c.intact, cache.path()).leadOut, c.samples / kSamplesPerFrame);
        for (int run = 0; run < 2; ++run) {
            test::Measured refused = measureOnce(dir.path(), cut, cache.path());
            EXPECT_EQ(refused.leadOut, -1);
            const std::string start = "trakmap: measure.cue: file 1 \"" + cut + "\": cut short at byte ";
            EXPECT_EQ(refused.err.substr(0, start.size()), start) << refused.err;
            EXPECT_NE(refused.err.find(" of " + std::to_string(c.samples) + " samples\n"), std::string::npos)
                << refused.err;
        }
        test::Measured again = measureOnce(dir.path(), c.intact, cache.path());
        EXPECT_EQ(again.leadOut, c.samples / kSamplesPerFrame);
        EXPECT_EQ(again.err, "");
    }
}

}  // namespace
}  // namespace trakmap
