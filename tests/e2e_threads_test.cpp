// A sheet's files are probed on several threads, and a long FLAC file is
// walked in parts, on a machine of several cores: through the built
// executable, every run must write what a run on one thread writes, byte for
// byte, on standard output and on standard error.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/encoders.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::runShell;
using test::runTool;
using test::TempDir;
using test::ToolResult;
using test::ToolRunOptions;
using test::writeFile;

std::string fileLine(const std::string& name, int track) {
    const std::string number = (track < 10 ? "0" : "") + std::to_string(track);
    return "FILE \"" + name + "\" WAVE\n  TRACK " + number + " AUDIO\n    INDEX 01 00:00:00\n";
}

class EndToEndThreads : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const TempDir& dir = *dir_;
        ASSERT_TRUE(test::toolAvailable("flac")) << "flac is needed";
        // Twenty seconds of noise: long enough for its walk to be split.
        ASSERT_TRUE(test::ffmpegNoise(dir / "noise.wav", 20.0, "-c:a pcm_s16le"));
        test::writeCdWave(dir / "short.wav", 2352 * 150);
        ASSERT_EQ(runShell("cd '" + dir.path().string() +
                           "' && flac -s -f -o long.flac noise.wav && flac -s -f -o short.flac short.wav && "
                           "flac -s -f --no-md5-sum -o unsigned.flac noise.wav 2>/dev/null && rm noise.wav short.wav"),
                  0);
        std::vector<std::uint8_t> cut = test::readFileBytes(dir / "long.flac");
        cut.resize(cut.size() * 4 / 5);
        writeFile(dir / "cut.flac", cut);
        writeFile(dir / "notes.txt", "not audio, measured by its size\n");
        // One long file alone, and one beside a short one: its walk gets all
        // the threads, in parts. Without a signature the second is walked
        // every time, whatever the cache holds.
        writeFile(dir / "single.cue", fileLine("long.flac", 1));
        writeFile(dir / "pair.cue", fileLine("short.flac", 1) + fileLine("unsigned.flac", 2));
        // Files measured by their size, found under another name, probed at
        // once, and the same long file again, which the cache then serves.
        writeFile(dir / "mixed.cue", fileLine("notes.txt", 1) + fileLine("long.flac", 2) + fileLine("short.wav", 3) +
                                         fileLine("long.flac", 4) + fileLine("notes.txt", 5));
        // Refused at file 2: nothing is said about the files after it, not
        // even that one of them cannot be opened.
        writeFile(dir / "refused.cue", fileLine("short.flac", 1) + fileLine("cut.flac", 2) + fileLine("long.flac", 3) +
                                           fileLine("missing.flac", 4));
        // A file that cannot be opened ends the sheet after what is said
        // about the files before it.
        writeFile(dir / "missing.cue", fileLine("notes.txt", 1) + fileLine("long.flac", 2) +
                                           fileLine("missing.flac", 3) + fileLine("short.flac", 4));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    // The sheets in one run, on `threads` threads, with the cache below
    // `root`; the first walks the long file unless the cache has its table.
    ToolResult run(unsigned threads, const std::string& root,
                   const std::vector<std::string>& sheets = {"single.cue", "mixed.cue", "refused.cue", "missing.cue",
                                                             "pair.cue"}) {
        ToolRunOptions options;
        options.cacheRoot = root;
        options.setup = "export TRAKMAP_THREADS=" + std::to_string(threads);
        return runTool(sheets, dir_->path(), scratch_.path(), options);
    }

    static TempDir* dir_;
    TempDir scratch_;
};

TempDir* EndToEndThreads::dir_ = nullptr;

TEST_F(EndToEndThreads, EveryThreadCountWritesWhatOneThreadWrites) {
    for (const char* cache : {"empty", "warm"}) {
        SCOPED_TRACE(cache);
        ToolResult one = run(1, (scratch_ / ("one-" + std::string(cache))).string());
        // What the sheets are for: a layout, a refusal, a file that cannot be opened.
        EXPECT_NE(one.out.find("LeadOut"), std::string::npos) << one.out;
        EXPECT_NE(one.err.find("refused.cue: file 2 \"cut.flac\": cut short at byte "), std::string::npos) << one.err;
        EXPECT_NE(one.err.find("mixed.cue: file 3 \"short.wav\" opened as \""), std::string::npos) << one.err;
        EXPECT_EQ(one.err.find("missing.flac\" (tried"), one.err.rfind("missing.flac\" (tried")) << one.err;
        for (unsigned threads : {2u, 3u}) {
            // Each count fills a cache of its own, like the one-thread run.
            ToolResult many = run(threads, (scratch_ / (std::to_string(threads) + "-" + cache)).string());
            EXPECT_EQ(many.out, one.out) << threads << " threads";
            EXPECT_EQ(many.err, one.err) << threads << " threads";
            EXPECT_EQ(many.exitCode, one.exitCode) << threads << " threads";
        }
        if (std::string(cache) == "empty") {
            // The warm runs read back what these stored.
            for (const std::string name : {"one-", "2-", "3-"})
                fs::copy(scratch_ / (name + "empty"), scratch_ / (name + "warm"), fs::copy_options::recursive);
        }
    }
}

// The cache's once-a-run notice comes where a run on one thread gives it:
// with the first file that uses the cache, after what is said about the
// files before it.
TEST_F(EndToEndThreads, AnUnusableCacheIsSaidWhereOneThreadSaysIt) {
    writeFile(scratch_ / "plain", "a file, not a folder");
    const std::string root = (scratch_ / "plain" / "cache").string();
    const std::vector<std::string> sheets = {"mixed.cue", "refused.cue", "missing.cue"};
    ToolResult one = run(1, root, sheets);
    const std::size_t notice = one.err.find("seek tables are not cached");
    EXPECT_NE(notice, std::string::npos) << one.err;
    EXPECT_LT(one.err.find("mixed.cue: file 1 \"notes.txt\""), notice) << one.err;
    EXPECT_EQ(one.err.find("seek tables are not cached", notice + 1), std::string::npos) << one.err;
    ToolResult two = run(2, root, sheets);
    EXPECT_EQ(two.out, one.out);
    EXPECT_EQ(two.err, one.err);
}

}  // namespace
}  // namespace trakmap
