// TTA, ALAC in MP4 files of several brands and Monkey's Audio, as encoders
// and downloads leave them, through the built executable with an empty and a
// warm cache: each is laid out at the length its encoder counted, by its
// duration when it is not CD audio, or refused with the reason when it is
// cut short; MP4 files of other audio are measured by their size and say so.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/measure_table.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr double kSeconds = 2.5;

// The sample count and rate of the first audio stream, as ffprobe reads them.
struct Counted {
    std::uint64_t samples = 0;
    std::uint64_t rate = 0;
};

Counted ffprobeCount(const fs::path& file, const fs::path& dir) {
    std::string text = test::captureShell("ffprobe -v error -select_streams a:0 -show_entries "
                                          "stream=duration_ts,sample_rate -of default=nw=1 '" +
                                              file.string() + "'",
                                          dir);
    Counted counted;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("sample_rate=", 0) == 0) counted.rate = std::stoull(line.substr(12));
        if (line.rfind("duration_ts=", 0) == 0) counted.samples = std::stoull(line.substr(12));
    }
    return counted;
}

std::int64_t framesOf(const Counted& counted) {
    return counted.rate == 0 ? -1 : static_cast<std::int64_t>(counted.samples * 75 / counted.rate);
}

// Keeps the first `percent` of a file's bytes, as an interrupted download does.
void cutTo(const fs::path& file, int percent) {
    fs::resize_file(file, fs::file_size(file) * static_cast<std::uintmax_t>(percent) / 100);
}

// A Monkey's Audio file of three frames of 73728 samples but the last of 1000,
// whose seek table puts the last frame at `lastFrame` in a 20000-byte file.
std::vector<std::uint8_t> monkeysAudio(std::uint32_t sampleRate, std::uint32_t lastFrame) {
    test::ByteBuilder b;
    b.text("MAC ").le16(3990).le16(0).le32(52).le32(24).le32(12).le32(0).le32(0).le32(0).le32(0).zeros(16);
    b.le16(2000).le16(0).le32(73728).le32(1000).le32(3).le16(16).le16(2).le32(sampleRate);
    b.le32(5000).le32(9000).le32(lastFrame);
    b.zeros(20000 - b.size());
    return b.bytes;
}

struct Case {
    const char* file;
    // Makes the file in the folder; the encoder's count of it while whole, or
    // nothing when it could not be made.
    std::function<std::optional<Counted>(const fs::path&)> make;
    // The reason the tool gives, empty for CD audio, which it measures
    // silently. "..." stands for words that vary with the encoder's packets.
    std::function<std::string(const fs::path&, const Counted&)> reason;
    // The lead-out in frames; -1 for a refusal.
    std::function<std::int64_t(const fs::path&, const Counted&)> leadOut = [](const fs::path&, const Counted& c) {
        return framesOf(c);
    };
};

std::function<std::optional<Counted>(const fs::path&)> encoded(std::string args, int keepPercent = 100) {
    return [args, keepPercent](const fs::path& file) -> std::optional<Counted> {
        if (!test::ffmpegNoise(file, kSeconds, args)) return std::nullopt;
        Counted counted = ffprobeCount(file, file.parent_path());
        if (keepPercent < 100) cutTo(file, keepPercent);
        return counted;
    };
}

std::function<std::optional<Counted>(const fs::path&)> written(std::vector<std::uint8_t> bytes) {
    return [bytes](const fs::path& file) -> std::optional<Counted> {
        test::writeFile(file, bytes);
        return Counted{};
    };
}

auto silent() {
    return [](const fs::path&, const Counted&) { return std::string(); };
}

auto saying(std::string reason) {
    return [reason](const fs::path&, const Counted&) { return reason; };
}

auto byDuration(std::string format) {
    return [format](const fs::path&, const Counted&) { return format + ": measured by its duration"; };
}

constexpr auto refused = [](const fs::path&, const Counted&) { return std::int64_t{-1}; };

// A cut-short refusal: the file's size and, when the file still says, the
// samples its encoder counted.
auto cutShort(std::string subject, bool samplesKnown = true) {
    return [subject, samplesKnown](const fs::path& file, const Counted& whole) {
        std::string reason = "cut short: " + subject + " ... of a " + std::to_string(fs::file_size(file)) +
                             "-byte file";
        if (samplesKnown) reason += " (... of " + std::to_string(whole.samples) + " samples there)";
        return reason;
    };
}

class EndToEndContainers : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::toolAvailable("ffmpeg") && test::toolAvailable("ffprobe")) << "ffmpeg/ffprobe needed";
    }

    // Measures every case and checks its lead-out and what standard error says.
    void expectMeasured(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.file);
            const fs::path file = dir / c.file;
            std::optional<Counted> counted = c.make(file);
            ASSERT_TRUE(counted.has_value());
            std::string reason = c.reason(file, *counted);
            test::Measured measured = test::measureTwice(dir.path(), c.file);
            EXPECT_EQ(measured.leadOut, c.leadOut(file, *counted));
            if (reason.empty()) {
                EXPECT_EQ(measured.err, "");
                continue;
            }
            // The parts of the reason between the words that vary, in order.
            std::string expected = "file 1 \"" + std::string(c.file) + "\": " + reason;
            std::size_t at = 0;
            for (std::size_t from = 0; from <= expected.size();) {
                std::size_t gap = std::min(expected.find("...", from), expected.size());
                at = measured.err.find(expected.substr(from, gap - from), at);
                EXPECT_NE(at, std::string::npos) << expected << "\n" << measured.err;
                if (at == std::string::npos) break;
                from = gap + 3;
            }
            EXPECT_EQ(measured.err.find('\n'), measured.err.size() - 1) << "one line: " << measured.err;
        }
    }

    TempDir dir;
};

TEST_F(EndToEndContainers, TtaOfEveryFormatIsMeasuredAsTheEncoderCountedIt) {
    expectMeasured({
        {"cd.tta", encoded("-c:a tta -sample_fmt s16"), silent()},
        {"48k.tta", encoded("-ar 48000 -c:a tta -sample_fmt s16"), byDuration("48000 Hz 16-bit stereo")},
        {"96k24.tta", encoded("-ar 96000 -c:a tta -sample_fmt s32"), byDuration("96000 Hz 24-bit stereo")},
        {"mono.tta", encoded("-ac 1 -c:a tta -sample_fmt s16"), byDuration("44100 Hz 16-bit mono")},
        {"cut.tta", encoded("-c:a tta -sample_fmt s16", 60), cutShort("its frame table reaches byte"), refused},
        {"cut48k.tta", encoded("-ar 48000 -c:a tta -sample_fmt s16", 60), cutShort("its frame table reaches byte"),
         refused},
    });
}

TEST_F(EndToEndContainers, AlacInMp4FilesOfAnyBrandIsMeasuredAsTheEncoderCountedIt) {
    expectMeasured({
        {"cd.m4a", encoded("-c:a alac -sample_fmt s16p"), silent()},
        {"front.m4a", encoded("-c:a alac -sample_fmt s16p -movflags +faststart"), silent()},
        {"isom.mp4", encoded("-c:a alac -sample_fmt s16p"), silent()},
        {"mp42.mp4", encoded("-c:a alac -sample_fmt s16p -brand mp42"), silent()},
        {"48k.m4a", encoded("-ar 48000 -c:a alac -sample_fmt s16p"), byDuration("48000 Hz 16-bit stereo")},
        {"96k24.m4a", encoded("-ar 96000 -c:a alac -sample_fmt s32p"), byDuration("96000 Hz 24-bit stereo")},
        {"mono.mp4", encoded("-ac 1 -c:a alac -sample_fmt s16p"), byDuration("44100 Hz 16-bit mono")},
    });
}

TEST_F(EndToEndContainers, Mp4FilesOfOtherAudioOrCutShortSayWhy) {
    expectMeasured({
        // Measured by its size, as the layout counts any file it cannot read.
        {"aac.m4a", encoded("-c:a aac"), saying("MP4 audio in \"mp4a\", not ALAC: measured by its size"),
         [](const fs::path& file, const Counted&) { return static_cast<std::int64_t>(fs::file_size(file) / 2352); }},
        // The packets are there up to the cut, the movie at the front.
        {"cutfront.m4a", encoded("-c:a alac -sample_fmt s16p -movflags +faststart", 70),
         cutShort("its packets reach byte"), refused},
        // The movie was to come after the media data.
        {"cut.m4a", encoded("-c:a alac -sample_fmt s16p", 70), cutShort("its \"mdat\" atom reaches byte", false),
         refused},
        {"cut48k.mp4", encoded("-ar 48000 -c:a alac -sample_fmt s16p -movflags +faststart", 70),
         cutShort("its packets reach byte"), refused},
    });
}

TEST_F(EndToEndContainers, MonkeysAudioOfOtherFormatsOrCutShort) {
    expectMeasured({
        {"48k.ape", written(monkeysAudio(48000, 13000)), byDuration("48000 Hz 16-bit stereo"),
         [](const fs::path&, const Counted&) { return std::int64_t{148456 * 75 / 48000}; }},
        {"cut.ape", written(monkeysAudio(44100, 30000)),
         saying("cut short: its seek table reaches byte 30000 of a 20000-byte file (73728 of 148456 samples there)"),
         refused},
    });
}

}  // namespace
}  // namespace trakmap
