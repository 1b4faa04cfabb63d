// The command line and the run driver, through the built executable: exit
// codes, what reaches standard output and the reasons given on standard error.
// Tests whose names contain "Posix" rely on POSIX path rules.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace trakmap {
namespace {

using test::runTool;
using test::TempDir;
using test::ToolResult;
using test::writeCdWave;
using test::writeFile;

const std::string kUsage =
    "trakmap: dump cue sheet files (.cue)\nUsage: trakmap <options> [.cue file] ...\n";

const std::string kOneTrackSheet = "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
const std::string kContentHeading = "\n\n.cue Content:\n--------------------------------\n";

class EndToEnd : public testing::Test {
protected:
    ToolResult run(const std::vector<std::string>& args) { return runTool(args, dir.path(), cache.path()); }
    TempDir dir;
    TempDir cache;
};

TEST_F(EndToEnd, UsageAndExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        {{}, 0}, {{"-?"}, 0}, {{"-h"}, 0}, {{"-H"}, 0}, {{"-help"}, 0},
        {{"-x"}, 1}, {{"-"}, 1}, {{"--"}, 1},
    };
    for (const Case& c : cases) {
        ToolResult result = run(c.args);
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(result.out, kUsage) << label;
        EXPECT_EQ(result.err, "") << label;
        EXPECT_EQ(result.exitCode, c.exitCode) << label;
    }
}

TEST_F(EndToEnd, OptionStopsTheCommandLine) {
    writeFile(dir / "a.cue", kOneTrackSheet);
    writeCdWave(dir / "a.wav", 2352 * 100);
    ToolResult result = run({"a.cue", "-x", "missing.cue"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out.rfind("trakmap a.cue\n" + kContentHeading + kOneTrackSheet, 0), 0u) << result.out;
    EXPECT_NE(result.out.find("\n\nCD Layout:\n"), std::string::npos);
    EXPECT_EQ(result.out.substr(result.out.size() - kUsage.size()), kUsage);
    EXPECT_EQ(result.out.find("missing.cue"), std::string::npos);
    EXPECT_EQ(result.err, "");
}

TEST_F(EndToEnd, SheetsThatCannotBeReadPrintOnlyTheBanner) {
    std::filesystem::create_directory(dir / "folder.cue");
    ToolResult result = run({"missing.cue", "sub/", "folder.cue"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "trakmap missing.cue\ntrakmap sub/\ntrakmap folder.cue\n");
    EXPECT_EQ(result.err,
              "trakmap: missing.cue: the sheet cannot be opened\n"
              "trakmap: sub/: no full path with a file name can be made of it\n"
              "trakmap: folder.cue: the sheet cannot be opened\n");
}

TEST_F(EndToEnd, ParseErrorsAreReportedAndTheRunGoesOn) {
    writeFile(dir / "bad.cue", "TITLE x\n  FILE \"a.wav\"\n");
    writeFile(dir / "silent.cue", "FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:02:00\n");
    writeFile(dir / "a.cue", kOneTrackSheet);
    writeCdWave(dir / "a.wav", 2352 * 10);
    ToolResult result = run({"bad.cue", "silent.cue", "a.cue"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("trakmap bad.cue\ntrakmap silent.cue\ntrakmap a.cue\n" + kContentHeading, 0), 0u)
        << result.out;
    // On Windows the parse error is a message box, which returns at once without a display.
    std::string messageBox = test::toolRunsUnderRunner() ? "" : "Error to parse .cue, line 2:   FILE\n";
    EXPECT_EQ(result.err,
              messageBox +
                  "trakmap: silent.cue: line 3: the first INDEX of a file must lie at 00:00:00, not at 00:02:00\n");
}

TEST_F(EndToEnd, MissingSecondFileEndsThatSheetOnly) {
    const std::string sheet =
        "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
        "FILE \"b.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n";
    writeFile(dir / "two.cue", sheet);
    writeFile(dir / "b.txt", "no");
    writeCdWave(dir / "a.wav", 2352 * 10);
    writeFile(dir / "a.cue", kOneTrackSheet);
    ToolResult result = run({"two.cue", "a.cue"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("trakmap two.cue\n" + kContentHeading + sheet + "trakmap a.cue\n", 0), 0u)
        << result.out;
    EXPECT_NE(result.out.find("\n\nCD Layout:\n"), std::string::npos);
    // Every candidate, each once: the name, the sheet's base name with its
    // extension, then both stems with the other audio extensions.
    std::string tried;
    for (const char* name : {"b.wav", "two.wav", "b.flac", "b.ape", "b.wv", "b.tta", "b.m4a", "two.flac", "two.ape",
                             "two.wv", "two.tta", "two.m4a"})
        tried += (tried.empty() ? "\"" : ", \"") + test::toolPathOf(std::filesystem::canonical(dir.path()) / name) + "\"";
    EXPECT_EQ(result.err, "trakmap: two.cue: cannot open \"b.wav\" (tried " + tried + ")\n");
}

TEST_F(EndToEnd, MissingFileFallsBackToTheSheetsBaseName) {
    writeFile(dir / "album.cue", "FILE \"CD1.wav\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    writeCdWave(dir / "album.wav", 2352 * 10);
    writeFile(dir / "image.cue", "FILE \"image-file\" BINARY\nTRACK 1 MODE1/2048\nINDEX 01 00:00:00\n");
    writeFile(dir / "image", std::string(2048 * 4, '\0'));
    ToolResult result = run({"album.cue", "image.cue"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 0);
    std::size_t first = result.out.find("\n\nCD Layout:\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(result.out.find("\n\nCD Layout:\n", first + 1), std::string::npos) << result.out;
}

TEST_F(EndToEnd, NamelessFileCannotBeOpened) {
    writeFile(dir / "a.cue", "FILE \"\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    writeCdWave(dir / "a.wav", 2352);
    ToolResult result = run({"a.cue"});
    EXPECT_EQ(result.out, "trakmap a.cue\n" + kContentHeading + "FILE \"\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    EXPECT_EQ(result.err, "trakmap: a.cue: file 1 cannot be opened: its FILE line gives no name\n");
}

TEST_F(EndToEnd, PosixSlashAndAbsoluteNames) {
    std::string folder = std::filesystem::canonical(dir.path()).string();
    std::string windowsStyle = folder;
    for (char& c : windowsStyle)
        if (c == '/') c = '\\';
    writeCdWave(dir / "a.wav", 2352 * 10);
    writeCdWave(dir / "album.wav", 2352 * 10);
    writeFile(dir / "abs.cue", "FILE \"" + folder + "/a.wav\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    writeFile(dir / "back.cue", "FILE \"" + windowsStyle + "\\a.wav\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    // A drive-letter name names no POSIX file: the sheet's base name is used.
    writeFile(dir / "album.cue", "FILE \"C:\\Rips\\CD1.wav\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    ToolResult result = run({"/", folder + "/abs.cue", "back.cue", "album.cue"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "trakmap: /: no full path with a file name can be made of it\n");
    std::size_t layouts = 0;
    for (std::size_t at = result.out.find("CD Layout"); at != std::string::npos; at = result.out.find("CD Layout", at + 1))
        ++layouts;
    EXPECT_EQ(layouts, 3u) << result.out;

    writeFile(dir / "gone.cue", "FILE \"" + folder + "/gone.wav\" WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n");
    writeCdWave(dir / "gone.wav.cue", 0);
    result = run({"gone.cue"});
    EXPECT_EQ(result.err, "trakmap: gone.cue: cannot open \"" + folder + "/gone.wav\" (tried \"" + folder +
                              "/gone.wav\", \"" + folder + "/gone.flac\", \"" + folder + "/gone.ape\", \"" + folder +
                              "/gone.wv\", \"" + folder + "/gone.tta\", \"" + folder + "/gone.m4a\")\n");
}

}  // namespace
}  // namespace trakmap

namespace trakmap {
namespace {

TEST_F(EndToEnd, PosixManySheetsKeepDescriptorsFlat) {
    // With descriptors capped far below the number of sheets, every sheet
    // still opens its file: nothing a sheet opened outlives it.
    writeFile(dir / "a.cue", kOneTrackSheet);
    writeCdWave(dir / "a.wav", 2352 * 10);
    std::string command = "cd '" + dir.path().string() + "' && ulimit -n 32 && TRAKMAP_CACHE_ROOT='" +
                          cache.path().string() + "' '" + TRAKMAP_BINARY + "'";
    for (int i = 0; i < 2000; ++i) command += " a.cue";
    command += " >/dev/null 2>'" + (cache / "err").string() + "'";
    EXPECT_EQ(test::runShell(command), 0);
    EXPECT_EQ(test::readFileBytes(cache / "err").size(), 0u);
}

TEST_F(EndToEnd, SheetNamingMoreThan128FilesIsRefusedAtThe129th) {
    std::string sheet;
    for (int i = 0; i < 200; ++i) {
        std::string name = "t" + std::to_string(i) + ".wav";
        writeCdWave(dir / name, 2352);
        sheet += "FILE " + name + " WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n";
    }
    writeFile(dir / "many.cue", sheet);
    ToolResult result = run({"many.cue"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "trakmap: many.cue: file 129 cannot be opened: a sheet may name at most 128 files\n");
    EXPECT_EQ(result.out.find("CD Layout"), std::string::npos);
}

}  // namespace
}  // namespace trakmap
