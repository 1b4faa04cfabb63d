#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "cache/seek_table_cache.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::readFileBytes;
using test::TempDir;
using test::writeFile;

Digest sequentialDigest() {
    Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i);
    return digest;
}

// Points the cache at a temporary folder for one test.
class SeekTableCache : public ::testing::Test {
protected:
    void SetUp() override { setSeekTableCacheRoot(dir_.path().string()); }
    void TearDown() override { setSeekTableCacheRoot(PathString()); }

    fs::path fileFor(char letter, const Digest& digest) {
        PathString path;
        EXPECT_TRUE(seekTableCachePath(&path, letter, digest));
        return fs::path(path);
    }

    TempDir dir_;
};

TEST(CacheChecksum, IsCrc32Mpeg2) {
    const std::string check = "123456789";
    EXPECT_EQ(cacheChecksum({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}), 0x0376E6E7u);
    EXPECT_EQ(cacheChecksum({}), 0xFFFFFFFFu);
}

// The checksum and the scrambling work several bytes a step; every length
// around the step sizes must match the plain bit-at-a-time definitions.
TEST(CacheChecksum, MatchesBitwiseDefinitionsAtEveryLength) {
    std::vector<std::uint8_t> bytes(300);
    std::uint32_t seed = 7;
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    const std::uint8_t key[16] = {0x5A, 0xC3, 0x17, 0x8E, 0x29, 0xF0, 0x64, 0xB1,
                                  0x0D, 0x93, 0x4E, 0xA7, 0x72, 0x1C, 0xE5, 0x38};
    for (std::size_t length = 0; length <= bytes.size(); length += length < 40 ? 1 : 37) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < length; ++i) {
            crc ^= std::uint32_t{bytes[i]} << 24;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        EXPECT_EQ(cacheChecksum(std::span(bytes).first(length)), crc) << "length " << length;

        std::vector<std::uint8_t> scrambled(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        scrambleCacheBody(scrambled);
        for (std::size_t i = 0; i < length; ++i)
            ASSERT_EQ(scrambled[i], bytes[i] ^ key[i % 16]) << "length " << length << " byte " << i;
    }
}

TEST_F(SeekTableCache, WritesTheDocumentedImageAndReadsItBack) {
    const SeekPoint table[] = {{0, 42}, {441000, 1234567}};
    Digest digest = sequentialDigest();
    storeSeekTable(table, digest, 'F', 4096, 14000, 441000);

    fs::path file = fileFor('F', digest);
    EXPECT_EQ(file, dir_.path() / "Vantorel" / "seektable" / "F000102030405060708090A0B0C0D0E0F.skt");
    std::vector<std::uint8_t> image = readFileBytes(file);
    ASSERT_EQ(image.size(), 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 8),
              (std::vector<std::uint8_t>{'0', 'T', 'K', 'S', 0x10, 0x69, 0xFE, 0xA6}));
    scrambleCacheBody(std::span(image).subspan(8));
    const std::vector<std::uint8_t> body = {
        0x02, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x36, 0x00, 0x00, 0xA8, 0xBA,
        0x06, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
        0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x2A, 0x00,
        0x00, 0x00, 0xA8, 0xBA, 0x06, 0x00, 0x87, 0xD6, 0x12, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 8, image.end()), body);

    std::optional<SeekTableRecord> record = loadSeekTable('F', digest);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->maxFrameSamples, 4096u);
    EXPECT_EQ(record->maxFrameBytes, 14000u);
    EXPECT_EQ(record->totalSamples, 441000u);
    ASSERT_EQ(record->entries.size(), 2u);
    EXPECT_EQ(record->entries[1].sample, 441000u);
    EXPECT_EQ(record->entries[1].offset, 1234567u);
}

TEST_F(SeekTableCache, FileSizeFollowsTheEntryCount) {
    Digest digest = sequentialDigest();
    std::vector<SeekPoint> table(1000);
    for (std::uint32_t i = 0; i < table.size(); ++i) table[i] = {i * 4096, 100 + i * 9000};
    storeSeekTable(std::span(table).first(1), digest, 'W', 1, 2, 3);
    EXPECT_EQ(fs::file_size(fileFor('W', digest)), 56u);
    storeSeekTable(table, digest, 'W', 1, 2, 3);
    EXPECT_EQ(fs::file_size(fileFor('W', digest)), 8048u);
    std::optional<SeekTableRecord> record = loadSeekTable('W', digest);
    ASSERT_TRUE(record);
    ASSERT_EQ(record->entries.size(), 1000u);
    EXPECT_EQ(record->entries[999].offset, 100u + 999u * 9000u);
}

TEST_F(SeekTableCache, LettersAndDigestsNameSeparateFiles) {
    Digest digest{0x0A, 0x1B};
    const SeekPoint flacTable[] = {{0, 1}};
    const SeekPoint wavPackTable[] = {{0, 2}, {5, 3}};
    storeSeekTable(flacTable, digest, 'F', 0, 0, 0);
    storeSeekTable(wavPackTable, digest, 'W', 0, 0, 0);
    EXPECT_EQ(fileFor('F', digest).filename().string().substr(0, 5), "F0A1B");
    EXPECT_EQ(loadSeekTable('F', digest)->entries.size(), 1u);
    EXPECT_EQ(loadSeekTable('W', digest)->entries.size(), 2u);

    // A valid file copied to another digest's name fails the digest test.
    Digest other = digest;
    other[15] = 1;
    fs::copy_file(fileFor('F', digest), fileFor('F', other));
    EXPECT_FALSE(loadSeekTable('F', other));
}

TEST_F(SeekTableCache, LookupCreatesTheFoldersAndMisses) {
    EXPECT_FALSE(loadSeekTable('F', sequentialDigest()));
    EXPECT_TRUE(fs::is_directory(dir_.path() / "Vantorel" / "seektable"));
}

TEST_F(SeekTableCache, DamagedFilesAreMisses) {
    Digest digest = sequentialDigest();
    const SeekPoint table[] = {{0, 42}, {441000, 1234567}};
    storeSeekTable(table, digest, 'F', 4096, 14000, 441000);
    fs::path file = fileFor('F', digest);
    const std::vector<std::uint8_t> good = readFileBytes(file);

    // Rebuilds a valid image (right checksum, scrambled) with an edited body.
    auto reseal = [](std::vector<std::uint8_t> image, auto edit) {
        std::span<std::uint8_t> body = std::span(image).subspan(8);
        scrambleCacheBody(body);
        edit(image);
        std::uint32_t crc = cacheChecksum(body);
        for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        scrambleCacheBody(body);
        return image;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> image;
    };
    std::vector<std::uint8_t> entryChanged = good, checksumChanged = good, magicChanged = good;
    entryChanged[60] ^= 1;
    checksumChanged[5] ^= 1;
    magicChanged[0] = 'X';
    std::vector<std::uint8_t> fiftyBytes = good;
    fiftyBytes.resize(50);
    std::vector<std::uint8_t> shortFile(good.begin(), good.begin() + 44);
    const Case cases[] = {
        {"entry changed", entryChanged},
        {"checksum changed", checksumChanged},
        {"magic changed", magicChanged},
        {"50 bytes", fiftyBytes},
        {"shorter than the header", shortFile},
        {"entry count 0", reseal(good, [](std::vector<std::uint8_t>& b) { b[8] = 0; })},
        {"entry count beyond the file", reseal(good, [](std::vector<std::uint8_t>& b) { b[8] = 3; })},
        {"huge entry count", reseal(good, [](std::vector<std::uint8_t>& b) { b[11] = 0x80; })},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        writeFile(file, c.image);
        EXPECT_FALSE(loadSeekTable('F', digest)) << c.what;
    }
    // The resealing itself keeps a file valid.
    writeFile(file, reseal(good, [](std::vector<std::uint8_t>&) {}));
    EXPECT_TRUE(loadSeekTable('F', digest));
}

TEST_F(SeekTableCache, PathsThatDoNotFitAreNotUsed) {
    std::string deep = dir_.path().string() + "/" + std::string(200, 'd');
    fs::create_directories(deep);
    setSeekTableCacheRoot(deep);
    PathString path;
    EXPECT_FALSE(seekTableCachePath(&path, 'F', sequentialDigest()));
    const SeekPoint table[] = {{0, 1}};
    storeSeekTable(table, sequentialDigest(), 'F', 0, 0, 0);
    EXPECT_FALSE(loadSeekTable('F', sequentialDigest()));
    EXPECT_FALSE(fs::exists(fs::path(deep) / "Vantorel"));
}

// What the cache tells the user, collected for one test.
std::vector<std::string>& notices() {
    static std::vector<std::string> received;
    return received;
}

void collectNotice(std::string_view text) { notices().emplace_back(text); }

// A cache below a temporary root whose folders the tests plant things in;
// `outside` stands for everything beyond the cache that must stay untouched.
class SeekTableCacheFolders : public SeekTableCache {
protected:
    void SetUp() override {
        SeekTableCache::SetUp();
        notices().clear();
        setSeekTableCacheNotice(collectNotice);
        fs::create_directories(outside_);
        writeFile(victim_, "precious");
    }
    void TearDown() override {
        setSeekTableCacheNotice(nullptr);
        SeekTableCache::TearDown();
    }

    // Starts a new run on the same root: the folders are opened and checked afresh.
    void newRun() { setSeekTableCacheRoot(dir_.path().string()); }

    fs::path tableFolder() { return dir_.path() / "Vantorel" / "seektable"; }

    void store(const Digest& digest) { storeSeekTable(kTable, digest, 'F', 4096, 9000, 441000); }

    bool victimUntouched() { return test::readFileBytes(victim_) == std::vector<std::uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}; }

    static constexpr SeekPoint kTable[] = {{0, 42}, {441000, 99999}};
    TempDir outsideDir_;
    fs::path outside_ = outsideDir_.path() / "elsewhere";
    fs::path victim_ = outsideDir_.path() / "victim";
};

// Links planted where the cache writes or reads: at the temporary name an
// earlier version used (the name, ".tmp." and the process id), at the cache
// file's own name, and in place of the seektable folder.
TEST_F(SeekTableCacheFolders, PosixStoresAndLookupsNeverGoThroughLinks) {
    const Digest digest = sequentialDigest();
    const fs::path file = fileFor('F', digest);
    fs::create_symlink(victim_, file.string() + ".tmp." + std::to_string(::getpid()));
    store(digest);
    EXPECT_TRUE(victimUntouched());
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    EXPECT_TRUE(loadSeekTable('F', digest));

    // A cache file that is a link is a miss, even to a valid file; a store
    // replaces the link itself and leaves its target alone.
    fs::copy_file(file, outside_ / "valid.skt");
    fs::remove(file);
    fs::create_symlink(outside_ / "valid.skt", file);
    EXPECT_FALSE(loadSeekTable('F', digest));
    fs::remove(file);
    fs::create_symlink(victim_, file);
    EXPECT_FALSE(loadSeekTable('F', digest));
    store(digest);
    EXPECT_TRUE(victimUntouched());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));

    // A seektable folder that is a link is not used at all.
    fs::remove_all(tableFolder());
    fs::create_symlink(outside_, tableFolder());
    newRun();
    EXPECT_FALSE(loadSeekTable('F', digest));
    store(digest);
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(outside_), {}), std::vector<fs::path>{outside_ / "valid.skt"});
    EXPECT_EQ(notices(), std::vector<std::string>{"seek tables are not cached: \"" + tableFolder().string() + "\" is a link"});
}

TEST_F(SeekTableCacheFolders, PosixFoldersOthersControlAreNotUsed) {
    const Digest digest = sequentialDigest();
    struct Case {
        const char* what;
        fs::path folder;
        mode_t mode;
        bool otherOwner;  // chowned to nobody, which only root can do
        std::string notice;  // empty: the folder is used
    };
    const std::string app = (dir_.path() / "Vantorel").string();
    const std::string table = tableFolder().string();
    const Case cases[] = {
        {"writable by all", tableFolder(), 0777, false, "others may write to \"" + table + "\""},
        {"writable by all, sticky", tableFolder(), 01777, false, ""},
        {"app folder writable by all", dir_.path() / "Vantorel", 0757, false, "others may write to \"" + app + "\""},
        {"another user's", tableFolder(), 0755, true, "\"" + table + "\" belongs to another user"},
        {"another user's app folder", dir_.path() / "Vantorel", 0755, true, "\"" + app + "\" belongs to another user"},
    };
    for (const Case& c : cases) {
        // Giving a folder to another user takes root; the suite runs as root in CI.
        if (c.otherOwner && ::geteuid() != 0) continue;
        newRun();
        fs::remove_all(dir_.path() / "Vantorel");
        fileFor('F', digest);  // creates the folders
        ASSERT_EQ(::chmod(c.folder.c_str(), c.mode), 0) << c.what;
        if (c.otherOwner) {
            ASSERT_EQ(::chown(c.folder.c_str(), 65534, 65534), 0) << c.what;
        }
        newRun();
        notices().clear();
        store(digest);
        EXPECT_EQ(fs::exists(fileFor('F', digest)), c.notice.empty()) << c.what;
        EXPECT_EQ(notices(), c.notice.empty() ? std::vector<std::string>{} : std::vector<std::string>{"seek tables are not cached: " + c.notice})
            << c.what;
    }
}

// A cache file of another user in a shared (sticky) folder is not trusted.
TEST_F(SeekTableCacheFolders, PosixCacheFilesOfOtherUsersAreMisses) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
    const Digest digest = sequentialDigest();
    store(digest);
    ASSERT_TRUE(loadSeekTable('F', digest));
    ASSERT_EQ(::chown(fileFor('F', digest).c_str(), 65534, 65534), 0);
    EXPECT_FALSE(loadSeekTable('F', digest));
}

TEST_F(SeekTableCacheFolders, PosixStaleTemporariesAreRemovedByTheNextStore) {
    const Digest digest = sequentialDigest();
    const std::string own = fileFor('W', Digest{1, 2, 3}).filename().string();
    struct Case {
        std::string name;
        bool old;
        bool removed;
    };
    const Case cases[] = {
        {own + ".tmp.12345", true, true},               // an earlier version's, by process id
        {own + ".tmp.k3j9x0q2mz7a", true, true},        // this version's
        {own + ".tmp.k3j9x0q2mz7b", false, false},      // another run may be writing it
        {own, true, false},                             // a cache file
        {own + ".tmp.", true, false},
        {own + ".tmp.a-b", true, false},
        {"F0123.skt.tmp.12345", true, false},
        {"notes.tmp.12345", true, false},
        {"f" + own.substr(1) + ".tmp.12345", true, false},
    };
    const auto twoMinutesAgo = fs::file_time_type::clock::now() - std::chrono::minutes(2);
    for (const Case& c : cases) {
        writeFile(tableFolder() / c.name, "x");
        if (c.old) fs::last_write_time(tableFolder() / c.name, twoMinutesAgo);
    }
    // A link of a temporary name is not a file the cache wrote.
    const fs::path link = tableFolder() / (own + ".tmp.99999");
    fs::create_symlink(victim_, link);

    store(digest);
    // What is left: the files kept, the link, and the table just stored, with
    // no temporary file of this store's own.
    std::set<std::string> expected = {link.filename().string(), fileFor('F', digest).filename().string()};
    for (const Case& c : cases)
        if (!c.removed) expected.insert(c.name);
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(tableFolder())) left.insert(entry.path().filename().string());
    EXPECT_EQ(left, expected);
    EXPECT_TRUE(victimUntouched());
}

// A root that does not exist yet is made with its parents; one that cannot be
// made is said once per run, however many tables miss or are not stored.
TEST_F(SeekTableCacheFolders, MissingRootIsCreatedAndAnUnusableOneIsSaidOnce) {
    const Digest digest = sequentialDigest();
    setSeekTableCacheRoot((dir_.path() / "not" / "yet" / "there").string());
    store(digest);
    EXPECT_TRUE(loadSeekTable('F', digest));
    EXPECT_TRUE(fs::is_regular_file(dir_.path() / "not" / "yet" / "there" / "Vantorel" / "seektable" /
                                    fileFor('F', digest).filename()));

    writeFile(dir_ / "plain-file", "x");
    const fs::path impossible = dir_.path() / "plain-file" / "cache";
    setSeekTableCacheRoot(impossible.string());
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(loadSeekTable('F', digest));
        store(digest);
    }
    EXPECT_EQ(notices(), std::vector<std::string>{"seek tables are not cached: cannot create the folder \"" +
                                                  impossible.string() + "\""});
}

}  // namespace
}  // namespace trakmap
