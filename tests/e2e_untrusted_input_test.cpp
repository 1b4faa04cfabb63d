// Input chosen to hang, exhaust or mislead the tool, through the built
// executable: pipes and devices named as files.
// Tests whose names contain "Posix" rely on POSIX pipes and devices; the
// others run against the Windows build as well.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::runTool;
using test::TempDir;
using test::ToolResult;
using test::ToolRunOptions;
using test::writeCdWave;
using test::writeFile;

constexpr int kPromptSeconds = 20;

std::string sheetNaming(const std::string& file) {
    return "FILE \"" + file + "\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The cache file name of a FLAC file: "F", the MD5 signature of its
// STREAMINFO block (file bytes 26 to 41) in upper-case hexadecimal, ".skt".
std::string flacCacheFileName(const fs::path& flac) {
    std::vector<std::uint8_t> bytes = test::readFileBytes(flac);
    std::string name = "F";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 26; i < 42 && i < bytes.size(); ++i) {
        name += kHex[bytes[i] >> 4];
        name += kHex[bytes[i] & 0x0F];
    }
    return name + ".skt";
}

class EndToEndUntrusted : public testing::Test {
protected:
    ToolResult run(const std::vector<std::string>& args, const ToolRunOptions& options = {}) {
        return runTool(args, dir.path(), cache.path(), options);
    }
    fs::path folder() { return fs::canonical(dir.path()); }
    TempDir dir;
    TempDir cache;
};

// A pipe without a writer, a device and standard input on an idle pipe, as
// FILE, as CDTEXTFILE and in place of a cache file: each is refused at once,
// and the sheets after them run.
TEST_F(EndToEndUntrusted, PosixPipesAndDevicesAreRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo((dir / "pipe.wav").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "texts.cdt").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "idle").c_str(), 0644), 0);
    writeCdWave(dir / "a.wav", 2352 * 150);
    ASSERT_EQ(test::runShell("cd '" + dir.path().string() + "' && flac -s -f -o a.flac a.wav"), 0);
    const fs::path tables = cache / "Vantorel" / "seektable";
    fs::create_directories(tables);
    ASSERT_EQ(::mkfifo((tables / flacCacheFileName(dir / "a.flac")).c_str(), 0644), 0);

    writeFile(dir / "pipe.cue", sheetNaming("pipe.wav"));
    writeFile(dir / "stdin.cue", sheetNaming("/dev/stdin"));
    writeFile(dir / "zero.cue", sheetNaming("/dev/zero"));
    writeFile(dir / "texts.cue", "TITLE \"Kept\"\nCDTEXTFILE \"texts.cdt\"\n" + sheetNaming("a.wav"));
    writeFile(dir / "cached.cue", sheetNaming("a.flac"));
    writeFile(dir / "last.cue", sheetNaming("a.wav"));
    ToolRunOptions options;
    options.input = "<>idle";  // read and write end held by the tool itself: reads would wait forever
    options.timeoutSeconds = kPromptSeconds;
    ToolResult result = run({"pipe.cue", "stdin.cue", "zero.cue", "texts.cue", "cached.cue", "last.cue"}, options);

    EXPECT_EQ(result.exitCode, 0) << "124 means the run hung\n" << result.err;
    const std::string refused[][2] = {
        {"pipe.cue", folder().string() + "/pipe.wav"}, {"stdin.cue", "/dev/stdin"}, {"zero.cue", "/dev/zero"}};
    for (const auto& [sheet, path] : refused)
        EXPECT_NE(result.err.find("trakmap: " + sheet + ": cannot open \""), std::string::npos) << result.err;
    for (const auto& [sheet, path] : refused)
        EXPECT_NE(result.err.find("\"" + path + "\": not a regular file"), std::string::npos) << result.err;
    EXPECT_EQ(countOf(result.err, "\n"), 3u) << result.err;
    // The CD-TEXT comes from the sheet, and the FLAC file is walked.
    EXPECT_NE(result.out.find("80: Track0 Kept \n"), std::string::npos) << result.out;
    EXPECT_EQ(countOf(result.out, "LeadOut    -        -        00:02:00     150\n"), 3u) << result.out;
}

}  // namespace
}  // namespace trakmap
