// End-to-end runs of the Windows executable for the Windows command-line and
// path rules, the message box, the cache folder and what the 32-bit and the
// 64-bit executable share. They only run when the tool is driven through a
// runner such as Wine (TRAKMAP_E2E_RUNNER); natively they are skipped.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/encoders.h"
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

// Sets an environment variable for one scope, so that a few runs start the
// tool differently; the old value comes back afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The runner with `prefix` (environment settings through env) put in front.
std::string runnerWith(const std::string& prefix) {
    return "env " + prefix + " " + std::getenv("TRAKMAP_E2E_RUNNER");
}

// The parse error goes to a message box with no owner and no caption and the
// error icon, not to standard error; Wine's trace of the call shows its text.
TEST(EndToEndWindowsOnly, ParseErrorShowsItsTextInAMessageBox) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "the Windows message box; needs TRAKMAP_E2E_RUNNER";
    TempDir dir;
    writeFile(dir / "bad.cue", "TITLE x\n  FILE \"a.wav\"\n");
    writeCdWave(dir / "a.wav", 2352 * 75);
    writeFile(dir / "a.cue", sheetNaming("a.wav"));
    ScopedEnvironment traced("TRAKMAP_E2E_RUNNER", runnerWith("WINEDEBUG=+relay"));
    ToolResult result = runTool({"bad.cue", "a.cue"}, dir.path(), dir / "cache");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("trakmap bad.cue\ntrakmap a.cue\n" + kSheetHeading, 0), 0u) << result.out;
    EXPECT_NE(result.out.find(kLayoutHeading), std::string::npos) << result.out;

    const std::string call = "Call user32.MessageBoxA(";
    std::size_t at = result.err.find(call);
    ASSERT_NE(at, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(call, at + 1), std::string::npos) << "one message box only:\n" << result.err;
    std::string line = result.err.substr(at, result.err.find('\n', at) - at);
    EXPECT_EQ(line.rfind(call + "00000000,", 0), 0u) << line;  // no owner window
    EXPECT_NE(line.find(" \"Error to parse .cue, line 2:   FILE\",00000000,00000010)"), std::string::npos)
        << line;  // the text, no caption, MB_ICONERROR
    EXPECT_EQ(result.err.find("trakmap:"), std::string::npos) << result.err;
}

// A sheet without a byte-order mark names its files in the system's 8-bit
// code page (Windows-1252 in the C.UTF-8 locale the Wine script sets).
TEST(EndToEndWindowsOnly, AnsiSheetNamesNonAsciiFiles) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "Windows name conversion; needs TRAKMAP_E2E_RUNNER";
    TempDir dir;
    writeCdWave(dir / "caf\xC3\xA9 \xE2\x82\xAC.wav", 2352 * 75);
    writeFile(dir / "album.cue", sheetNaming("caf\xE9 \x80.wav"));
    ToolResult result = runTool({"album.cue"}, dir.path(), dir / "cache");
    EXPECT_NE(result.out.find(kLayoutHeading), std::string::npos) << result.out << result.err;
    EXPECT_EQ(result.err, "");
}

// The seek-table files below the cache's "Vantorel\seektable" folder, by name.
std::map<std::string, std::vector<std::uint8_t>> seekTableFiles(const fs::path& root) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    fs::path folder = root / "Vantorel" / "seektable";
    if (!fs::is_directory(folder)) return files;
    for (const auto& entry : fs::directory_iterator(folder))
        files[entry.path().filename().string()] = readFileBytes(entry.path());
    return files;
}

// Without TRAKMAP_CACHE_ROOT the tables go to the machine's application data
// folder, C:\ProgramData in Wine's prefix.
TEST(EndToEndWindowsOnly, SeekTablesAreCachedUnderProgramData) {
    if (!toolRunsUnderRunner()) GTEST_SKIP() << "the Windows cache folder; needs TRAKMAP_E2E_RUNNER";
    const char* prefix = std::getenv("WINEPREFIX");
    // Only a throwaway prefix (tests/windows/run-wine-tests.sh makes one) may be written to.
    if (prefix == nullptr || fs::path(prefix).string().rfind(fs::temp_directory_path().string(), 0) != 0)
        GTEST_SKIP() << "needs WINEPREFIX to be a throwaway prefix in the temporary folder";
    const fs::path programData = fs::path(prefix) / "drive_c" / "ProgramData";
    TempDir dir;
    ASSERT_TRUE(ffmpegNoise(dir / "album.flac", 2.0, "-c:a flac -sample_fmt s16"));
    writeFile(dir / "album.cue", sheetNaming("album.flac"));
    auto before = seekTableFiles(programData);

    ScopedEnvironment uncached("TRAKMAP_E2E_RUNNER", runnerWith("-u TRAKMAP_CACHE_ROOT"));
    ToolResult result = runTool({"album.cue"}, dir.path(), dir / "cache");
    EXPECT_NE(result.out.find(kLayoutHeading), std::string::npos) << result.out << result.err;
    auto after = seekTableFiles(programData);
    std::vector<std::string> added;
    for (const auto& [name, bytes] : after)
        if (!before.count(name)) added.push_back(name);
    ASSERT_EQ(added.size(), 1u) << "tables in ProgramData: " << after.size();
    EXPECT_EQ(added[0].front(), 'F') << added[0];
    EXPECT_TRUE(seekTableFiles(dir / "cache").empty());
    fs::remove(programData / "Vantorel" / "seektable" / added[0]);
}

// The 32-bit and the 64-bit executable write the same cache files for the
// same audio, and each takes its tables from the other's files. The other
// executable is TRAKMAP_E2E_PEER_BINARY.
TEST(EndToEndWindowsOnly, SeekTablesCachedByOneExecutableServeTheOther) {
    const char* peer = std::getenv("TRAKMAP_E2E_PEER_BINARY");
    if (!toolRunsUnderRunner() || peer == nullptr || *peer == 0)
        GTEST_SKIP() << "needs TRAKMAP_E2E_RUNNER and the other executable in TRAKMAP_E2E_PEER_BINARY";
    TempDir dir;
    TempDir ownCache;
    TempDir peerCache;
    // Over 1 MiB as WavPack, so that its digest does not cover the whole file.
    ASSERT_TRUE(ffmpegNoise(dir / "album.wav", 20.0, "-c:a pcm_s16le"));
    ASSERT_EQ(runShell("cd '" + dir.path().string() + "' && flac -s -8 -f -o album.flac album.wav && "
                       "wavpack -q -y -o album.wv album.wav"), 0);
    ASSERT_GT(fs::file_size(dir / "album.wv"), 1u << 20);
    writeFile(dir / "album.cue",
              "FILE \"album.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
              "FILE \"album.wv\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");
    auto runPeer = [&](const fs::path& cache) {
        ScopedEnvironment binary("TRAKMAP_E2E_BINARY", peer);
        return runTool({"album.cue"}, dir.path(), cache);
    };

    ToolResult own = runTool({"album.cue"}, dir.path(), ownCache.path());
    ToolResult other = runPeer(peerCache.path());
    ASSERT_EQ(own.err, "");
    ASSERT_NE(own.out.find("LeadOut"), std::string::npos) << own.out;
    EXPECT_EQ(other.out, own.out);
    EXPECT_EQ(other.err, "");
    auto ownFiles = seekTableFiles(ownCache.path());
    ASSERT_EQ(ownFiles.size(), 2u);
    EXPECT_TRUE(seekTableFiles(peerCache.path()) == ownFiles) << "the two executables wrote different cache files";

    // Damage both files, their sizes unchanged: a walk would now refuse them,
    // so a report measured in frames can only come from the other
    // executable's cache files, whose records still fit the files.
    std::vector<std::uint8_t> flac = readFileBytes(dir / "album.flac");
    std::uint64_t frame = lastSeekPointFrame(dir / "album.flac", dir.path());
    ASSERT_GT(frame, 0u);
    ASSERT_EQ(flac[frame], 0xFF);
    flac[frame] = 0;
    writeFile(dir / "album.flac", flac);
    std::vector<std::uint8_t> wavpack = readFileBytes(dir / "album.wv");
    const std::string id = "wvpk";
    auto block = std::search(wavpack.begin() + (1 << 20), wavpack.end(), id.begin(), id.end());
    ASSERT_NE(block, wavpack.end());
    ASSERT_NE(std::search(block + 1, wavpack.end(), id.begin(), id.end()), wavpack.end());
    std::fill_n(block, 4, 'x');
    writeFile(dir / "album.wv", wavpack);
    EXPECT_EQ(runPeer(ownCache.path()).out, own.out);
    EXPECT_EQ(runTool({"album.cue"}, dir.path(), peerCache.path()).out, own.out);
    EXPECT_TRUE(seekTableFiles(ownCache.path()) == ownFiles) << "a cache hit rewrote the cache";
}

}  // namespace
}  // namespace trakmap::test
