// Where seek tables are cached, through the built executable: a cache root
// that does not exist yet, one that cannot be made, and cache folders that
// links or other users control. Tests whose names contain "Posix" rely on
// POSIX links.
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
using test::writeFile;

// Three FILE lines naming the same FLAC file: three probes, three lookups.
const std::string kThreeFiles =
    "FILE \"a.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
    "FILE \"a.flac\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
    "FILE \"a.flac\" WAVE\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n";

class EndToEndCacheFolder : public testing::Test {
protected:
    void SetUp() override {
        test::writeCdWave(dir / "a.wav", 2352 * 150);
        ASSERT_EQ(test::runShell("cd '" + dir.path().string() + "' && flac -s -f -o a.flac a.wav"), 0);
        writeFile(dir / "three.cue", kThreeFiles);
        writeFile(dir / "again.cue", kThreeFiles);
        reference = runWithRoot((scratch / "reference").string());
        ASSERT_EQ(reference.err, "");
        ASSERT_NE(reference.out.find("LeadOut    -        -        00:06:00     450\n"), std::string::npos)
            << reference.out;
    }

    ToolResult runWithRoot(const std::string& root) {
        ToolRunOptions options;
        options.cacheRoot = root;
        return runTool({"three.cue", "again.cue"}, dir.path(), scratch.path(), options);
    }

    // The cache files below `root`.
    static std::vector<fs::path> tablesBelow(const fs::path& root) {
        std::vector<fs::path> tables;
        const fs::path folder = root / "Vantorel" / "seektable";
        if (fs::is_directory(folder))
            for (const auto& entry : fs::directory_iterator(folder)) tables.push_back(entry.path());
        return tables;
    }

    TempDir dir;
    TempDir scratch;
    ToolResult reference;
};

TEST_F(EndToEndCacheFolder, MissingRootIsCreatedAndServesTheNextRun) {
    const fs::path root = scratch / "not" / "yet" / "there";
    ToolResult first = runWithRoot(root.string());
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out, reference.out);
    const std::vector<fs::path> tables = tablesBelow(root);
    ASSERT_EQ(tables.size(), 1u);
    struct stat before {};
    ASSERT_EQ(::stat(tables[0].c_str(), &before), 0);

    // Served from the cache: a miss would walk the file and store the table anew.
    ToolResult second = runWithRoot(root.string());
    EXPECT_EQ(second.out, reference.out);
    EXPECT_EQ(second.err, "");
    struct stat after {};
    ASSERT_EQ(::stat(tables[0].c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
}

TEST_F(EndToEndCacheFolder, UnusableRootIsSaidOncePerRunAndChangesNoReport) {
    writeFile(scratch / "plain", "a file, not a folder");
    const std::string root = (scratch / "plain" / "cache").string();
    ToolResult result = runWithRoot(root);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, reference.out);
    EXPECT_EQ(result.err, "trakmap: seek tables are not cached: cannot create the folder \"" + root + "\"\n");
}

// A cache folder that is a link, or a cache file that is one: the run reports
// as it would without them, and nothing outside the cache is written.
TEST_F(EndToEndCacheFolder, PosixLinksInTheCacheAreNotFollowed) {
    TempDir outside;
    const fs::path victim = outside / "victim";
    writeFile(victim, "precious");
    const fs::path root = scratch / "planted";
    fs::create_directories(root / "Vantorel");
    fs::create_symlink(outside.path(), root / "Vantorel" / "seektable");
    ToolResult linkedFolder = runWithRoot(root.string());
    EXPECT_EQ(linkedFolder.out, reference.out);
    EXPECT_EQ(linkedFolder.err, "trakmap: seek tables are not cached: \"" + (root / "Vantorel" / "seektable").string() +
                                    "\" is a link\n");
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(outside.path()), {}), std::vector<fs::path>{victim});

    const fs::path table = tablesBelow(scratch / "reference").at(0);
    fs::remove(root / "Vantorel" / "seektable");
    fs::create_directories(root / "Vantorel" / "seektable");
    fs::create_symlink(victim, root / "Vantorel" / "seektable" / table.filename());
    ToolResult linkedFile = runWithRoot(root.string());
    EXPECT_EQ(linkedFile.out, reference.out);
    EXPECT_EQ(linkedFile.err, "");
    EXPECT_EQ(test::readFileBytes(victim), (std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(test::readFileBytes(root / "Vantorel" / "seektable" / table.filename()), test::readFileBytes(table));
}

}  // namespace
}  // namespace trakmap
