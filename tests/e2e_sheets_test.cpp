// Sheets as rippers, taggers and people leave them, through the built
// executable: stale and travelled file names, encodings, hidden track one
// audio, old line ends and CD-TEXT files with a header. Tests whose names
// contain "Posix" rely on POSIX path rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/report_text.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::kCdText;
using test::kContent;
using test::kFiles;
using test::kLayout;
using test::kSessionOne;
using test::runTool;
using test::TempDir;
using test::ToolResult;
using test::writeCdWave;
using test::writeFile;

// A file on disk, told apart from the others by its length in frames.
struct DiskFile {
    std::string name;
    std::uint32_t frames;
};

struct CandidateCase {
    const char* label;
    std::string sheet;     // the sheet's file name
    std::string named;     // the name on its FILE line
    std::string type;      // the FILE line's type word
    std::vector<DiskFile> files;
    std::string opens;     // the file that must open, as "opened as" shows it; empty: none opens
    bool foundElsewhere;   // standard error must say which file opened
};

// The lead-out's frame count: the length of the one file a one-track sheet names.
std::string leadOutFrames(const std::string& out) {
    std::size_t at = out.find("LeadOut ");
    if (at == std::string::npos) return "<no layout>";
    std::size_t end = out.find('\n', at);
    std::size_t start = out.rfind(' ', end) + 1;
    return out.substr(start, end - start);
}

void runCandidateCases(const std::vector<CandidateCase>& cases) {
    for (const CandidateCase& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        for (const DiskFile& file : c.files) {
            fs::create_directories((dir / file.name).parent_path());
            writeCdWave(dir / file.name, std::uint64_t{file.frames} * 2352);
        }
        writeFile(dir / c.sheet, "FILE \"" + c.named + "\" " + c.type + "\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
        ToolResult result = runTool({c.sheet}, dir.path(), dir / "cache");
        std::string shown = "stdout:\n" + result.out + "stderr:\n" + result.err;
        EXPECT_EQ(result.exitCode, 0) << shown;
        if (c.opens.empty()) {
            EXPECT_EQ(result.out.find(kLayout), std::string::npos) << shown;
            EXPECT_EQ(result.err.rfind("trakmap: " + c.sheet + ": cannot open ", 0), 0u) << shown;
            continue;
        }
        std::uint32_t frames = 0;
        for (const DiskFile& file : c.files)
            if (fs::path(file.name) == fs::path(c.opens)) frames = file.frames;
        EXPECT_EQ(leadOutFrames(result.out), std::to_string(frames)) << shown;
        // The file list keeps the name the sheet gives.
        EXPECT_NE(result.out.find(kFiles + "1 " + c.named + "\n"), std::string::npos)
            << shown;
        if (!c.foundElsewhere) {
            EXPECT_EQ(result.err, "") << shown;
            continue;
        }
        // The name is matched loosely: standard error may show its bytes escaped.
        std::string opened = "\" opened as \"" + c.opens + "\"\n";
        EXPECT_EQ(result.err.rfind("trakmap: " + c.sheet + ": file 1 \"", 0), 0u) << shown;
        EXPECT_TRUE(result.err.ends_with(opened) && result.err.find('\n') == result.err.size() - 1) << shown;
    }
}

// Candidates beyond the name and the sheet's base name with the name's
// extension, on both systems; each row has one kind of candidate at work.
TEST(EndToEndSheets, StaleAndTravelledNamesFindTheirFiles) {
    runCandidateCases({
        {"a rip compressed after the sheet was written", "album.cue", "album.wav", "WAVE",
         {{"album.flac", 75}}, "album.flac", true},
        {"the audio extensions in their order", "album.cue", "album.wav", "WAVE",
         {{"album.ape", 75}, {"album.flac", 150}}, "album.flac", true},
        {"a later extension when the earlier ones are missing", "album.cue", "album.wav", "WAVE",
         {{"album.m4a", 75}}, "album.m4a", true},
        {"another extension in the folder the name gives", "album.cue", "disc 1/album.wav", "WAVE",
         {{"disc 1/album.tta", 75}, {"album.flac", 150}}, "disc 1/album.tta", true},
        {"the sheet's base name with an audio extension", "album.cue", "CD1.wav", "WAVE",
         {{"album.wv", 75}}, "album.wv", true},
        {"a name from a Windows machine, beside the sheet", "disc.cue", "C:\\Music\\Album\\album.flac", "WAVE",
         {{"album.flac", 75}}, "album.flac", true},
        {"a name from a POSIX machine, beside the sheet", "disc.cue", "/home/someone/Music/album.flac", "WAVE",
         {{"album.flac", 75}}, "album.flac", true},
        {"a travelled name of a rip compressed later", "disc.cue", "C:\\Rips\\album.wav", "WAVE",
         {{"album.flac", 75}}, "album.flac", true},
        // What opens today keeps opening, and silently.
        {"the name itself comes first", "album.cue", "album.wav", "WAVE",
         {{"album.wav", 75}, {"album.flac", 150}}, "album.wav", false},
        {"the sheet's base name with the name's extension comes next", "album.cue", "CD1.wav", "WAVE",
         {{"album.wav", 75}, {"CD1.flac", 150}}, "album.wav", false},
        // Audio extensions are for audio files: an image or a CD-TEXT file
        // is never replaced by one.
        {"a disc image is not looked for as audio", "album.cue", "album.bin", "BINARY",
         {{"album.flac", 75}}, "", false},
    });
}

TEST(EndToEndSheets, PosixNamesFromWindows1252SheetsFindUtf8Files) {
    runCandidateCases({
        {"a Windows-1252 name of a file named in UTF-8", "disc.cue", "Caf\xE9 \x96 Live.flac", "WAVE",
         {{"Caf\xC3\xA9 \xE2\x80\x93 Live.flac", 75}}, "Caf\xC3\xA9 \xE2\x80\x93 Live.flac", true},
        {"the converted name goes through the other candidates too", "disc.cue", "C:\\Rips\\Caf\xE9.wav", "WAVE",
         {{"Caf\xC3\xA9.flac", 75}}, "Caf\xC3\xA9.flac", true},
        {"a name in valid UTF-8 is not converted", "disc.cue", "Caf\xC3\xA9.flac", "WAVE",
         {{"Caf\xC3\x83\xC2\xA9.flac", 75}}, "", false},
    });
}

TEST(EndToEndSheets, PosixRefusalListsEveryCandidateOnce) {
    TempDir dir;
    writeFile(dir / "disc.cue", "FILE \"C:\\Rips\\..\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    ToolResult result = runTool({"disc.cue"}, dir.path(), dir / "cache");
    std::string folder = fs::canonical(dir.path()).string() + "/";
    // No candidate puts ".." in the sheet's folder.
    std::string tried = "\"" + folder + "C:/Rips/..\", \"" + folder + "disc\"";
    for (const char* extension : {".flac", ".ape", ".wv", ".tta", ".m4a", ".wav"})
        tried += ", \"" + folder + "disc" + extension + "\"";
    EXPECT_EQ(result.err, "trakmap: disc.cue: cannot open \"C:\\Rips\\..\" (tried " + tried + ")\n");
}

// Hidden track one audio ripped to a file of its own: that file lies on the
// disc whole, before track 1's INDEX 01, and the normalized sheet names it.
TEST(EndToEndSheets, HiddenTrackOneAudioInItsOwnFile) {
    const std::string sheet =
        "TITLE \"Hidden Disc\"\nFILE \"00.wav\" WAVE\n  TRACK 01 AUDIO\n    TITLE \"One\"\n    INDEX 00 00:00:00\n"
        "FILE \"01.wav\" WAVE\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    TITLE \"Two\"\n    INDEX 01 02:00:00\n";
    TempDir dir;
    writeCdWave(dir / "00.wav", 2352 * 3000);
    writeCdWave(dir / "01.wav", 2352 * 20000);
    writeFile(dir / "disc.cue", sheet);
    ToolResult result = runTool({"disc.cue"}, dir.path(), dir / "cache");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "trakmap disc.cue\n" + kContent + sheet + kLayout + kSessionOne +
                  "  2        1        0        00:00:00       0        00:00:00       0        00:40:00    3000\n"
                  "  2        1        1        00:40:00    3000        00:00:00       0        02:00:00    9000\n"
                  "  2        2        1        02:40:00   12000        02:00:00    9000        02:26:50   11000\n"
                  "LeadOut    -        -        05:06:50   23000\n\n" +
                  kFiles + "1 00.wav\n2 01.wav\n" + kCdText +
                  "80: Track0 Hidden Disc \n    HEX=48696464656E2044697363\n80: Track1 One \n    HEX=4F6E65\n"
                  "80: Track2 Two \n    HEX=54776F\n");
}

// A CD-TEXT file as drives return it, with its 4-byte header, named by a
// path from the machine that burnt it.
TEST(EndToEndSheets, CdTextFileWithTheDrivesHeader) {
    TempDir dir;
    std::string pack = std::string("\x80\x00\x00\x00", 4) + std::string("Disc\0Song\0\0\0", 12) + std::string("\0\0", 2);
    writeFile(dir / "disc.cdt", std::string("\x00\x14\x00\x00", 4) + pack);
    writeCdWave(dir / "a.wav", 2352 * 75);
    writeFile(dir / "a.cue", "TITLE \"Sheet\"\nCDTEXTFILE \"C:\\Burn\\disc.cdt\"\nFILE a.wav WAVE\nTRACK 1 AUDIO\n"
                             "INDEX 01 00:00:00\n");
    ToolResult result = runTool({"a.cue"}, dir.path(), dir / "cache");
    EXPECT_EQ(result.out.substr(result.out.find(kCdText)),
              kCdText + "80: Track0 Disc \n    HEX=44697363\n80: Track1 Song \n    HEX=536F6E67\n");
    EXPECT_EQ(result.err, "trakmap: a.cue: CDTEXTFILE \"C:\\Burn\\disc.cdt\" opened as \"disc.cdt\"\n");
}

// The report of one sheet without its banner line.
std::string reportBody(const ToolResult& result) { return result.out.substr(result.out.find('\n') + 1); }

TEST(EndToEndSheets, OldMacAndWindowsLineEndsGiveTheSameReport) {
    const std::string lines[] = {
        "REM GENRE Ambient", "TITLE \"Line Ends\"", "FILE \"album.wav\" WAVE", "  TRACK 01 AUDIO",
        "    TITLE \"One\"", "    INDEX 01 00:00:00", "  TRACK 02 AUDIO", "    TITLE \"Two\"",
        "    INDEX 00 00:01:00", "    INDEX 01 00:02:00",
    };
    TempDir dir;
    writeCdWave(dir / "album.wav", 2352 * 600);
    std::string reports[3];
    const char* ends[3] = {"\n", "\r", "\r\n"};
    for (int i = 0; i < 3; ++i) {
        std::string sheet;
        for (const std::string& line : lines) sheet += line + ends[i];
        writeFile(dir / "album.cue", sheet);
        ToolResult result = runTool({"album.cue"}, dir.path(), dir / "cache");
        EXPECT_EQ(result.err, "") << i;
        reports[i] = result.out;
    }
    EXPECT_NE(reports[0].find("80: Track2 Two \n"), std::string::npos) << reports[0];
    EXPECT_EQ(reports[1], reports[0]);
    EXPECT_EQ(reports[2], reports[0]);
}

// A sheet may come through a pipe; a device that never ends is cut off at
// a bound no sheet reaches, promptly and with the reason.
TEST(EndToEndSheets, PosixSheetsFromAPipeAndFromAnEndlessDevice) {
    TempDir dir;
    writeCdWave(dir / "a.wav", 2352 * 75);
    const std::string sheet = "FILE \"" + fs::canonical(dir.path()).string() +
                              "/a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    writeFile(dir / "a.cue", sheet);
    ToolResult fromFile = runTool({"a.cue"}, dir.path(), dir / "cache");
    std::string command = "cd '" + dir.path().string() + "' && cat a.cue | TRAKMAP_CACHE_ROOT=cache timeout 60 '" +
                          TRAKMAP_BINARY + "' /dev/stdin /dev/zero >out 2>err";
    ASSERT_EQ(test::runShell(command), 0);
    EXPECT_EQ(test::readFileText(dir / "out"), "trakmap /dev/stdin\n" + reportBody(fromFile) + "trakmap /dev/zero\n");
    EXPECT_EQ(test::readFileText(dir / "err"), "trakmap: /dev/zero: the sheet goes on past 64 MiB, more than any cue sheet holds\n");
}

}  // namespace
}  // namespace trakmap
