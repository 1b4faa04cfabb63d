// Whole reports through the built executable: realistic sheets over WAVE
// files, compared as full standard output.
#include <gtest/gtest.h>

#include <fstream>

#include "support/report_text.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using test::runTool;
using test::TempDir;
using test::ToolResult;
using test::writeCdWave;
using test::writeFile;
using test::kCdText;
using test::kContent;
using test::kFiles;
using test::kLayout;
using test::kSessionOne;

class EndToEndReport : public testing::Test {
protected:
    ToolResult run(const std::vector<std::string>& args) { return runTool(args, dir.path(), cache.path()); }
    TempDir dir;
    TempDir cache;
};

TEST_F(EndToEndReport, BundledExample) {
    // The expected report was made by running the tool as examples/album.cue.
    std::filesystem::path examples = std::filesystem::path(TRAKMAP_TEST_DATA).parent_path().parent_path() / "examples";
    std::filesystem::create_directory(dir / "examples");
    std::filesystem::copy_file(examples / "album.cue", dir / "examples/album.cue");
    std::filesystem::copy_file(examples / "album.wav", dir / "examples/album.wav");
    std::ifstream expected(std::filesystem::path(TRAKMAP_TEST_DATA) / "album.expected", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(expected)), {});
    ToolResult result = run({"examples/album.cue"});
    EXPECT_EQ(result.out, text);
    EXPECT_EQ(result.err, "");
}

TEST_F(EndToEndReport, SingleFileAlbumWithIndex00AndPostgap) {
    const std::string sheet =
        "FILE \"album.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
        "    INDEX 00 03:58:00\n    INDEX 01 04:00:00\n  TRACK 03 AUDIO\n    INDEX 01 06:40:00\n"
        "    POSTGAP 00:02:00\n";
    writeFile(dir / "album.cue", sheet);
    writeCdWave(dir / "album.wav", 40000ull * 2352);
    ToolResult result = run({"album.cue"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "trakmap album.cue\n" + kContent + sheet + kLayout + kSessionOne +
                  "  1        1        1        00:00:00       0        00:00:00       0        03:58:00   17850\n"
                  "  1        2        0        03:58:00   17850        03:58:00   17850        00:02:00     150\n"
                  "  1        2        1        04:00:00   18000        04:00:00   18000        02:40:00   12000\n"
                  "  1        3        1        06:40:00   30000        06:40:00   30000        02:13:25   10000\n"
                  "  -        3        1        08:53:25   40000           -                    00:02:00     150\n"
                  "LeadOut    -        -        08:55:25   40150\n\n" +
                  kFiles + "1 album.wav\n" + kCdText);
}

TEST_F(EndToEndReport, OneFilePerTrackWithCrossFileIndex00AndPregap) {
    const std::string sheet =
        "TITLE \"Three Files\"\nFILE \"01.wav\" WAVE\n  TRACK 01 AUDIO\n    TITLE \"One\"\n    INDEX 01 00:00:00\n"
        "  TRACK 02 AUDIO\n    TITLE \"Two\"\n    INDEX 00 04:58:00\nFILE \"02.wav\" WAVE\n    INDEX 01 00:00:00\n"
        "FILE \"03.wav\" WAVE\n  TRACK 03 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n";
    writeFile(dir / "disc.cue", sheet);
    writeCdWave(dir / "01.wav", 22500ull * 2352);
    writeCdWave(dir / "02.wav", 20150ull * 2352);
    writeCdWave(dir / "03.wav", 30000ull * 2352);
    ToolResult result = run({"disc.cue"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "trakmap disc.cue\n" + kContent + sheet + kLayout + kSessionOne +
                  "  1        1        1        00:00:00       0        00:00:00       0        04:58:00   22350\n"
                  "  2        2        0        04:58:00   22350        04:58:00   22350        00:02:00     150\n"
                  "  2        2        1        05:00:00   22500        00:00:00       0        04:28:50   20150\n"
                  "  -        3        0        09:28:50   42650           -                    00:02:00     150\n"
                  "  3        3        1        09:30:50   42800        00:00:00       0        06:40:00   30000\n"
                  "LeadOut    -        -        16:10:50   72800\n\n" +
                  kFiles + "1 01.wav\n2 02.wav\n3 03.wav\n" + kCdText +
                  "80: Track0 Three Files \n    HEX=54687265652046696C6573\n"
                  "80: Track1 One \n    HEX=4F6E65\n80: Track2 Two \n    HEX=54776F\n");
}

TEST_F(EndToEndReport, IndexBeyondTheEndOfItsFileIsRefused) {
    const std::string sheet =
        "FILE \"album.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 45:00:00\n";
    writeFile(dir / "long.cue", sheet);
    writeCdWave(dir / "album.wav", 40000ull * 2352);
    ToolResult result = run({"long.cue"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "trakmap long.cue\n" + kContent + sheet);
    EXPECT_EQ(result.err,
              "trakmap: long.cue: INDEX 01 of track 2 lies at 45:00:00 in file 1 \"album.wav\", which holds 08:53:25\n");
}

TEST_F(EndToEndReport, CdTextFileReplacesTheSheetsText) {
    // One title pack of a CD-TEXT file: "Disc" for track 0 and "Song" for track 1.
    std::string pack = std::string("\x80\x00\x00\x00", 4) + std::string("Disc\0Song\0\0\0", 12) + std::string("\0\0", 2);
    writeFile(dir / "disc.cdt", pack + "xy");
    writeFile(dir / "a.cue", "TITLE \"Ignored\"\nCDTEXTFILE \"disc.cdt\"\nFILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    writeFile(dir / "b.cue", "TITLE \"Built\"\nCDTEXTFILE \"missing.cdt\"\nFILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    writeCdWave(dir / "a.wav", 2352 * 75);
    ToolResult result = run({"a.cue", "b.cue"});
    EXPECT_EQ(result.err, "");
    std::size_t second = result.out.find("trakmap b.cue\n");
    ASSERT_NE(second, std::string::npos);
    std::string first = result.out.substr(0, second);
    EXPECT_EQ(first.substr(first.find(kCdText)),
              kCdText + "80: Track0 Disc \n    HEX=44697363\n80: Track1 Song \n    HEX=536F6E67\n");
    std::string rest = result.out.substr(second);
    EXPECT_EQ(rest.substr(rest.find(kCdText)), kCdText + "80: Track0 Built \n    HEX=4275696C74\n");
}

}  // namespace
}  // namespace trakmap
