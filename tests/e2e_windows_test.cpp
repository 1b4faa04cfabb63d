// End-to-end runs of the Windows executable for the Windows command-line and
// path rules. They only run when the tool is driven through a runner such as
// Wine (TRAKMAP_E2E_RUNNER); natively they are skipped.
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

TEST(EndToEndWindowsOnly, SlashIntroducesOptions) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "Windows command-line rules; needs TRAKMAP_E2E_RUNNER";
    struct Case {
        std::string option;
        int exitCode;
    };
    TempDir dir;
    for (const Case& c : {Case{"/h", 0}, Case{"/?", 0}, Case{"/H", 0}, Case{"/x", 1}, Case{"/", 1}}) {
        ToolResult result = runTool({c.option}, dir.path(), dir / "cache");
        EXPECT_EQ(result.out, kUsage) << c.option << "\nstderr:\n" << result.err;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.option << "\nstderr:\n" << result.err;
    }
}

// Names with a drive letter or a leading backslash are opened as written,
// without the sheet's folder and without the fallback to the sheet's base
// name with the name's extension; a leading "/" is not absolute and stays
// below the sheet's folder.
TEST(EndToEndWindowsOnly, AbsoluteSheetNamesAreOpenedAsWritten) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "Windows path rules; needs TRAKMAP_E2E_RUNNER";
    TempDir dir;
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "disc" / "nested");
    writeCdWave(dir / "elsewhere" / "x.wav", 2352 * 75);
    writeCdWave(dir / "disc" / "nested" / "y.wav", 2352 * 75);
    // What that fallback would find: the sheet's base name with the name's
    // extension, which is no audio extension, so no other candidate finds it.
    writeCdWave(dir / "disc" / "album.bin", 2352 * 75);
    std::string elsewhere = toolPathOf(fs::absolute(dir / "elsewhere"));
    std::string rootRelative = elsewhere.substr(2);  // "\tmp\...\elsewhere", on drive Z:

    struct Case {
        std::string name;
        bool opens;
    };
    const std::vector<Case> cases = {
        {elsewhere + "\\x.wav", true},
        {rootRelative + "\\x.wav", true},
        {elsewhere + "\\missing.bin", false},
        {rootRelative + "\\missing.bin", false},
        {"/nested/y.wav", true},
    };
    for (const Case& c : cases) {
        writeFile(dir / "disc" / "album.cue", sheetNaming(c.name));
        ToolResult result = runTool({"disc\\album.cue"}, dir.path(), dir / "cache");
        std::string section = sectionOf(result.out, "disc\\album.cue");
        std::string shown = c.name + "\nstdout:\n" + result.out + "stderr:\n" + result.err;
        EXPECT_NE(section.find(kSheetHeading), std::string::npos) << shown;
        EXPECT_EQ(section.find(kLayoutHeading) != std::string::npos, c.opens) << shown;
        EXPECT_EQ(result.exitCode, 0) << shown;
    }
}

// A sheet saved as UTF-8 with a byte-order mark names its files in UTF-8,
// whatever the system's 8-bit code page.
TEST(EndToEndWindowsOnly, Utf8SheetNamesNonAsciiFiles) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "Windows name conversion; needs TRAKMAP_E2E_RUNNER";
    TempDir dir;
    writeCdWave(dir / "caf\xC3\xA9 \xE2\x99\xAA.wav", 2352 * 75);
    writeFile(dir / "album.cue", "\xEF\xBB\xBF" + sheetNaming("caf\xC3\xA9 \xE2\x99\xAA.wav"));
    ToolResult result = runTool({"album.cue"}, dir.path(), dir / "cache");
    EXPECT_NE(result.out.find(kLayoutHeading), std::string::npos) << result.out << result.err;
}

// Without a byte-order mark a sheet's names are read in the ANSI code page
// first; a name that opens nothing that way and is valid UTF-8 is read as
// UTF-8, as most editors save sheets today.
TEST(EndToEndWindowsOnly, NamesOfUtf8SheetsWithoutByteOrderMark) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "Windows name conversion; needs TRAKMAP_E2E_RUNNER";
    TempDir dir;
    const std::string utf8Name = "caf\xC3\xA9 \xE2\x99\xAA.flac";
    writeCdWave(dir / utf8Name, 2352 * 75);
    writeCdWave(dir / "caf\xC3\xA9.wav", 2352 * 75);
    writeFile(dir / "utf8.cue", sheetNaming(utf8Name));
    // The ANSI code page's reading of a Windows-1252 sheet opens as before.
    writeFile(dir / "ansi.cue", sheetNaming("caf\xE9.wav"));
    ToolResult result = runTool({"utf8.cue", "ansi.cue"}, dir.path(), dir / "cache");
    std::string shown = "stdout:\n" + result.out + "stderr:\n" + result.err;
    EXPECT_NE(sectionOf(result.out, "utf8.cue").find(kLayoutHeading), std::string::npos) << shown;
    EXPECT_NE(sectionOf(result.out, "ansi.cue").find(kLayoutHeading), std::string::npos) << shown;
    EXPECT_EQ(result.err, "trakmap: utf8.cue: file 1 \"" + utf8Name + "\" opened as \"" + utf8Name + "\"\n") << shown;
}

}  // namespace
}  // namespace trakmap::test
