// End-to-end runs of the tool that matter on Windows as much as anywhere: the
// command line's options and exit codes, and sheets that fail without ending
// the run. The WindowsOnly cases cover Windows path rules and only run when the
// tool is driven through a runner such as Wine (TRAKMAP_E2E_RUNNER).
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace trakmap::test {
namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "trakmap: dump cue sheet files (.cue)\n"
    "Usage: trakmap <options> [.cue file] ...\n";

const std::string kSheetHeading = "\n\n.cue Content:\n--------------------------------\n";
const std::string kLayoutHeading = "\n\nCD Layout:\n--------------------------------\n";

std::string sheetNaming(const std::string& fileName) {
    return "FILE \"" + fileName + "\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
}

// The part of the report that belongs to one sheet: from its banner up to the
// next banner or the end.
std::string sectionOf(const std::string& out, const std::string& sheetArgument) {
    std::string banner = "trakmap " + sheetArgument + "\n";
    std::size_t start = out.find(banner);
    if (start == std::string::npos) return "<no banner for " + sheetArgument + ">";
    std::size_t next = out.find("\ntrakmap ", start + banner.size() - 1);
    return out.substr(start, next == std::string::npos ? std::string::npos : next + 1 - start);
}

bool underRunner() {
    const char* runner = std::getenv("TRAKMAP_E2E_RUNNER");
    return runner != nullptr && *runner != 0;
}

// The Windows spelling of a folder of this machine as Wine shows it: the
// Unix root is drive Z:.
std::string windowsPathOf(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

struct OptionCase {
    std::vector<std::string> args;
    int exitCode;
};

void expectUsageRuns(const std::vector<OptionCase>& cases) {
    TempDir dir;
    for (const OptionCase& c : cases) {
        std::string shown = c.args.empty() ? "(none)" : c.args[0];
        ToolResult result = runTool(c.args, dir.path(), dir / "cache");
        EXPECT_EQ(result.out, kUsage) << shown;
        EXPECT_EQ(result.exitCode, c.exitCode) << shown;
    }
}

TEST(EndToEndCommandLine, OptionsPrintTheUsageWithTheirExitCode) {
    expectUsageRuns({
        {{}, 0},
        {{"-?"}, 0},
        {{"-h"}, 0},
        {{"-H"}, 0},
        {{"-x"}, 1},
        {{"-"}, 1},
        {{"-help"}, 0},  // only the second character counts
    });
}

TEST(EndToEndCommandLine, AnOptionEndsTheRunAfterTheSheetsBeforeIt) {
    TempDir dir;
    writeFile(dir / "a.cue", sheetNaming("a.wav"));
    writeCdWave(dir / "a.wav", 2352 * 75);
    writeFile(dir / "b.cue", sheetNaming("a.wav"));

    ToolResult result = runTool({"a.cue", "-x", "b.cue"}, dir.path(), dir / "cache");

    EXPECT_EQ(result.exitCode, 1);
    std::string section = sectionOf(result.out, "a.cue");
    EXPECT_NE(section.find(kLayoutHeading), std::string::npos) << result.out;
    ASSERT_GE(result.out.size(), kUsage.size());
    EXPECT_EQ(result.out.substr(result.out.size() - kUsage.size()), kUsage);
    EXPECT_EQ(result.out.find("b.cue"), std::string::npos) << result.out;
}

// Every kind of failed sheet prints what it got to, the run goes on with the
// next argument (a parse error's message box does not hold it up) and the
// exit code stays 0.
TEST(EndToEndSheets, FailedSheetsNeitherStopTheRunNorChangeTheExitCode) {
    TempDir dir;
    fs::create_directory(dir / "sub");
    writeFile(dir / "broken.cue", "FILE a.wav\n");
    writeFile(dir / "gone.cue", sheetNaming("gone.wav"));
    writeFile(dir / "sub" / "album.cue", sheetNaming("CD1.wav"));
    writeCdWave(dir / "sub" / "album.wav", 2352 * 75);

    ToolResult result = runTool({"missing.cue", "sub/", "broken.cue", "gone.cue", "sub/album.cue"},
                                dir.path(), dir / "cache");

    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(sectionOf(result.out, "missing.cue"), "trakmap missing.cue\n");
    EXPECT_EQ(sectionOf(result.out, "sub/"), "trakmap sub/\n");
    EXPECT_EQ(sectionOf(result.out, "broken.cue"), "trakmap broken.cue\n");
    EXPECT_EQ(sectionOf(result.out, "gone.cue"),
              "trakmap gone.cue\n" + kSheetHeading + sheetNaming("gone.wav"));
    // A missing CD1.wav falls back to the sheet's own base name, album.wav.
    EXPECT_NE(sectionOf(result.out, "sub/album.cue").find(kLayoutHeading), std::string::npos)
        << result.out;
}

TEST(EndToEndWindowsOnly, SlashIntroducesOptions) {
    if (!underRunner()) GTEST_SKIP() << "Windows command-line rules; needs TRAKMAP_E2E_RUNNER";
    expectUsageRuns({
        {{"/h"}, 0},
        {{"/?"}, 0},
        {{"/x"}, 1},
        {{"/"}, 1},
    });
}

// Names with a drive letter or a leading backslash are opened as written,
// without the sheet's folder and without the fallback to the sheet's base
// name; a leading "/" is not absolute and stays below the sheet's folder.
TEST(EndToEndWindowsOnly, AbsoluteSheetNamesAreOpenedAsWritten) {
    if (!underRunner()) GTEST_SKIP() << "Windows path rules; needs TRAKMAP_E2E_RUNNER";
    TempDir dir;
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "disc" / "nested");
    writeCdWave(dir / "elsewhere" / "x.wav", 2352 * 75);
    writeCdWave(dir / "disc" / "nested" / "y.wav", 2352 * 75);
    // What a fallback would find: the sheet's base name with the name's extension.
    writeCdWave(dir / "disc" / "album.wav", 2352 * 75);
    std::string elsewhere = windowsPathOf(dir / "elsewhere");
    std::string rootRelative = elsewhere.substr(2);  // "\tmp\...\elsewhere", on drive Z:

    struct Case {
        std::string name;
        bool opens;
    };
    const std::vector<Case> cases = {
        {elsewhere + "\\x.wav", true},
        {rootRelative + "\\x.wav", true},
        {elsewhere + "\\missing.wav", false},
        {rootRelative + "\\missing.wav", false},
        {"/nested/y.wav", true},
    };
    for (const Case& c : cases) {
        writeFile(dir / "disc" / "album.cue", sheetNaming(c.name));
        ToolResult result = runTool({"disc\\album.cue"}, dir.path(), dir / "cache");
        std::string section = sectionOf(result.out, "disc\\album.cue");
        EXPECT_NE(section.find(kSheetHeading), std::string::npos) << c.name << "\n" << result.out;
        EXPECT_EQ(section.find(kLayoutHeading) != std::string::npos, c.opens)
            << c.name << "\n" << result.out;
        EXPECT_EQ(result.exitCode, 0) << c.name;
    }
}

}  // namespace
}  // namespace trakmap::test
