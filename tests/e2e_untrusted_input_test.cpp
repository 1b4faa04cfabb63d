// Input chosen to hang, exhaust or mislead the tool, through the built
// executable: pipes and devices named as files, a sheet whose model does not
// fit in memory, and texts meant to drive the terminal.
// Tests whose names contain "Posix" rely on POSIX pipes, devices, limits and
// pseudo-terminals; the others run against the Windows build as well.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text_escape.h"
#include "support/sanitizers.h"
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

// A sheet whose tracks do not fit in the memory the process may have fails
// alone: the next sheet is reported in full and the exit code stays 0.
TEST_F(EndToEndUntrusted, PosixRunningOutOfMemoryFailsOnlyThatSheet) {
    if (test::kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
    writeCdWave(dir / "a.wav", 2352 * 75);
    std::string tracks = "FILE \"a.wav\" WAVE\n";
    // Two million tracks: a 28 MB sheet whose track list needs over 200 MB.
    for (int i = 0; i < 2000000; ++i) tracks += "TRACK 1 AUDIO\n";
    writeFile(dir / "tracks.cue", tracks);
    writeFile(dir / "small.cue", sheetNaming("a.wav"));
    ToolRunOptions options;
    options.setup = "ulimit -v 150000";  // KiB
    options.timeoutSeconds = 60;
    ToolResult result = run({"tracks.cue", "small.cue"}, options);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "trakmap: tracks.cue: out of memory\n");
    std::size_t small = result.out.find("trakmap small.cue\n");
    ASSERT_NE(small, std::string::npos) << result.out.substr(0, 200);
    EXPECT_NE(result.out.find("\n\nCDTEXT:\n", small), std::string::npos);
}

// A name saved in Windows-1252 (0x96, an en dash) with an escape sequence in
// it: standard error shows both escaped, on every system.
TEST_F(EndToEndUntrusted, MessagesShowUnsafeBytesEscaped) {
    writeFile(dir / "stale.cue", sheetNaming("Caf\x96 \x1B[2J.wav"));
    ToolResult result = run({"stale.cue"});
    EXPECT_EQ(result.err.rfind("trakmap: stale.cue: cannot open \"Caf\\x96 \\x1B[2J.wav\" (tried ", 0), 0u) << result.err;
    ASSERT_FALSE(result.err.empty());
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_EQ(escapedForMessage(result.err.substr(0, result.err.size() - 1)) + "\n", result.err)
        << "a raw byte that is not UTF-8, or a control character";
}

// Runs the tool with standard output on a new pseudo-terminal and standard
// error into `errors`; returns what the terminal received.
std::string runOnTerminal(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& cacheRoot,
                          const fs::path& errors) {
    const char* binary = std::getenv("TRAKMAP_E2E_BINARY");
    std::vector<std::string> words = {binary != nullptr && *binary != 0 ? binary : TRAKMAP_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string root = "TRAKMAP_CACHE_ROOT=" + cacheRoot.string();
    char* environment[] = {const_cast<char*>(root.c_str()), nullptr};

    int terminal = -1;
    pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0) return "<no pseudo-terminal>";
    if (child == 0) {
        // Bytes reach the terminal as written: no carriage return before each line feed.
        termios mode{};
        ::tcgetattr(STDOUT_FILENO, &mode);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(STDOUT_FILENO, TCSANOW, &mode);
        int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::chdir(cwd.c_str()) != 0) _exit(126);
        ::execve(argv[0], argv.data(), environment);
        _exit(127);
    }
    std::string shown;
    char buffer[4096];
    pollfd ready{terminal, POLLIN, 0};
    while (::poll(&ready, 1, kPromptSeconds * 1000) > 0) {
        ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;  // EIO once the tool has ended
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return shown;
}

TEST_F(EndToEndUntrusted, PosixControlCharactersAreEscapedOnATerminalOnly) {
    const std::string sheetName = "t\x1B[2J.cue";
    const std::string fileName = "x\x1B[31m.wav";
    writeCdWave(dir / fileName, 2352 * 75);
    writeFile(dir / sheetName, "TITLE \"a\x1B]0;pwned\x07" "b\x08" "c\"\n" + sheetNaming(fileName));
    writeFile(dir / "missing.cue", sheetNaming("gone\x07\x96.wav"));
    const std::vector<std::string> args = {sheetName, "missing.cue"};

    const std::string shown = runOnTerminal(args, dir.path(), cache.path(), cache / "terminal-errors");
    const std::vector<std::uint8_t> errorBytes = test::readFileBytes(cache / "terminal-errors");
    const std::string shownErrors(errorBytes.begin(), errorBytes.end());
    const ToolResult piped = run(args);

    // On the terminal: the banner, the normalized sheet, the file list and the CD-TEXT dump, escaped.
    EXPECT_NE(shown.find("trakmap t\\x1B[2J.cue\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("TITLE \"a\\x1B]0;pwned\\x07b\\x08c\"\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("FILE \"x\\x1B[31m.wav\" WAVE\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\n1 x\\x1B[31m.wav\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("80: Track0 a\\x1B]0;pwned\\x07b\\x08c \n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find_first_of("\x1B\x07\x08\r"), std::string::npos) << shown;

    // Into a pipe: byte for byte what the sheet holds.
    EXPECT_NE(piped.out.find("trakmap " + sheetName + "\n"), std::string::npos);
    EXPECT_NE(piped.out.find("TITLE \"a\x1B]0;pwned\x07" "b\x08" "c\"\n"), std::string::npos);
    EXPECT_NE(piped.out.find("\n1 " + fileName + "\n"), std::string::npos);
    EXPECT_EQ(countOf(piped.out, "\x1B"), countOf(shown, "\\x1B"));

    // Standard error is escaped either way, invalid UTF-8 included.
    EXPECT_EQ(shownErrors, piped.err);
    EXPECT_NE(piped.err.find("trakmap: missing.cue: cannot open \"gone\\x07\\x96.wav\""), std::string::npos)
        << piped.err;
    // Valid UTF-8 may stand (a Windows-1252 reading of the name is among the
    // candidates tried), control characters may not.
    EXPECT_TRUE(isValidUtf8(piped.err)) << piped.err;
    for (char c : piped.err)
        EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)) << "raw byte " << static_cast<int>(c);
}

}  // namespace
}  // namespace trakmap
