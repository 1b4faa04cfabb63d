// Albums in every compressed container, through the built executable: each is
// laid out in CD frames exactly as the same audio in a PCM WAVE file, and
// FLAC and WavPack tables come from the cache on the second run.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/encoders.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::runShell;
using test::runTool;
using test::TempDir;
using test::ToolResult;
using test::writeFile;

// 20 seconds: exactly 1500 CD frames, and over 1 MiB as WavPack.
constexpr double kSeconds = 20.0;

std::string sheetFor(const std::string& file) {
    return "TITLE \"Noise\"\nFILE \"" + file + "\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
           "  TRACK 02 AUDIO\n    INDEX 00 00:03:70\n    INDEX 01 00:04:00\n"
           "  TRACK 03 AUDIO\n    INDEX 01 00:08:00\n";
}

// The report with the file's name taken out, so reports of the same audio in
// different containers compare equal.
std::string withoutName(std::string report, const std::string& name) {
    for (std::size_t at = report.find(name); at != std::string::npos; at = report.find(name, at))
        report.erase(at, name.size());
    return report;
}

class EndToEndCompressed : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::ffmpegNoise(dir / "album.wav", kSeconds, "-c:a pcm_s16le -bitexact -map_metadata -1"));
        // ffmpeg may write extra chunks; the canonical 44-byte header is what is measured.
        ASSERT_EQ(runShell("cd '" + dir.path().string() + "' && ffmpeg -hide_banner -loglevel error -y -i album.wav "
                           "-f s16le raw.pcm"), 0);
        fs::path raw = dir / "raw.pcm";
        ASSERT_EQ(fs::file_size(raw), 1500u * 2352);
        test::writeCdWave(dir / "header.wav", 1500u * 2352);
        ASSERT_EQ(runShell("cd '" + dir.path().string() + "' && head -c 44 header.wav > album.wav && "
                           "cat raw.pcm >> album.wav"), 0);
        writeFile(dir / "wav.cue", sheetFor("album.wav"));
        ToolResult reference = run({"wav.cue"});
        ASSERT_EQ(reference.err, "");
        expected = withoutName(reference.out, "album.wav");
        expected = withoutName(expected, "wav.cue");
        ASSERT_NE(expected.find("LeadOut    -        -        00:20:00    1500"), std::string::npos) << expected;
    }

    ToolResult run(const std::vector<std::string>& args) { return runTool(args, dir.path(), cache.path()); }

    // Runs the tool on a sheet over `file` and compares with the WAVE report.
    void expectSameLayout(const std::string& file) {
        std::string sheetName = file + ".cue";
        writeFile(dir / sheetName, sheetFor(file));
        ToolResult result = run({sheetName});
        EXPECT_EQ(result.err, "") << file;
        EXPECT_EQ(withoutName(withoutName(result.out, sheetName), file), expected)
            << file << " (exit code " << result.exitCode << ", stderr: " << result.err << ")";
    }

    // Runs the tool on a sheet over `file`, which must be refused: the sheet
    // ends after its normalized form, and standard error names the file and
    // the reason (`reason` is its start).
    void expectRefused(const std::string& file, const std::string& reason) {
        std::string sheetName = file + ".cue";
        writeFile(dir / sheetName, sheetFor(file));
        ToolResult result = run({sheetName});
        EXPECT_NE(result.out.find(".cue Content"), std::string::npos) << file;
        EXPECT_EQ(result.out.find("CD Layout"), std::string::npos) << file;
        const std::string start = "trakmap: " + sheetName + ": file 1 \"" + file + "\": " + reason;
        EXPECT_EQ(result.err.substr(0, start.size()), start) << result.err;
    }

    std::size_t cacheFiles(char letter) {
        std::size_t count = 0;
        fs::path folder = cache.path() / "Vantorel" / "seektable";
        if (!fs::exists(folder)) return 0;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string()[0] == letter && entry.path().extension() == ".skt") ++count;
        return count;
    }

    TempDir dir;
    TempDir cache;
    std::string expected;
};

TEST_F(EndToEndCompressed, FlacIsMeasuredInFramesAndCached) {
    ASSERT_EQ(runShell("cd '" + dir.path().string() + "' && flac -s -8 -f -o album.flac album.wav"), 0);
    expectSameLayout("album.flac");
    EXPECT_EQ(cacheFiles('F'), 1u);
    // Break the sync code of a frame in the middle, the size unchanged: a walk
    // would refuse the file, so a layout measured in frames can only come
    // from the cache, whose record still fits the file.
    fs::path flac = dir / "album.flac";
    std::vector<std::uint8_t> bytes = test::readFileBytes(flac);
    std::uint64_t frame = test::lastSeekPointFrame(flac, dir.path());
    ASSERT_GT(frame, 0u);
    ASSERT_EQ(bytes[frame], 0xFF);
    bytes[frame] = 0;
    writeFile(flac, bytes);
    expectSameLayout("album.flac");
    // Repaired but cut short, it no longer fits: walked, and refused.
    bytes[frame] = 0xFF;
    bytes.resize(bytes.size() - 100);
    writeFile(flac, bytes);
    expectRefused("album.flac", "cut short at byte ");
}

TEST_F(EndToEndCompressed, WavPackIsMeasuredInFramesAndCached) {
    ASSERT_EQ(runShell("cd '" + dir.path().string() + "' && wavpack -q -y -o album.wv album.wav"), 0);
    fs::path wv = dir / "album.wv";
    ASSERT_GT(fs::file_size(wv), 1u << 20);
    expectSameLayout("album.wv");
    EXPECT_EQ(cacheFiles('W'), 1u);
    // Damage the id of a block behind the first MiB, not the last one: a walk
    // would stop there, so only the cache still knows the file's length.
    std::vector<std::uint8_t> bytes = test::readFileBytes(wv);
    const std::string id = "wvpk";
    auto block = std::search(bytes.begin() + (1 << 20), bytes.end(), id.begin(), id.end());
    ASSERT_NE(block, bytes.end());
    ASSERT_NE(std::search(block + 1, bytes.end(), id.begin(), id.end()), bytes.end());
    std::fill_n(block, 4, 'x');
    writeFile(wv, bytes);
    expectSameLayout("album.wv");
    // Cut just after its first MiB: walked, and refused.
    fs::resize_file(wv, (1u << 20) + 10);
    expectRefused("album.wv", "cut short at byte ");
}

TEST_F(EndToEndCompressed, TtaAndAlacAreMeasuredInFrames) {
    ASSERT_EQ(runShell("cd '" + dir.path().string() + "' && ffmpeg -hide_banner -loglevel error -y -i album.wav "
                       "-c:a tta album.tta && ffmpeg -hide_banner -loglevel error -y -i album.wav -c:a alac "
                       "album.m4a && ffmpeg -hide_banner -loglevel error -y -i album.wav -c:a alac "
                       "-movflags +faststart front.m4a"), 0);
    expectSameLayout("album.tta");
    expectSameLayout("album.m4a");
    expectSameLayout("front.m4a");
}

}  // namespace
}  // namespace trakmap
