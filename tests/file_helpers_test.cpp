#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/file_helpers.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;

TEST(OpenFileMode, CreateModeTruncatesAnExistingFile) {
    test::TempDir dir;
    fs::path path = dir / "cache.bin";
    test::writeFile(path, std::string(100, 'x'));
    NativeFile raw = kInvalidFile;
    ASSERT_TRUE(openFileMode(&raw, path.c_str(), kOpenWrite | kOpenCreate));
    UniqueFile file(raw);
    EXPECT_EQ(getFileSize64(file.get()), 0);
    EXPECT_EQ(writeBlock(file.get(), "abc", 3), 3u);
    file.reset();
    EXPECT_EQ(fs::file_size(path), 3u);
}

TEST(OpenFileMode, ReadModeOnAMissingFileStoresTheInvalidHandle) {
    test::TempDir dir;
    NativeFile file = 12345;
    EXPECT_FALSE(openFileMode(&file, (dir / "missing").c_str(), kOpenRead));
    EXPECT_EQ(file, kInvalidFile);
    EXPECT_EQ(readChunked(file, &file, 1), 0u);
    EXPECT_EQ(writeBlock(file, "x", 1), 0u);
}

// Reads in pieces and stops at the end of the file with what it got.
TEST(ReadChunked, ReadsAcrossPiecesAndStopsAtTheEnd) {
    test::TempDir dir;
    fs::path path = dir / "data";
    std::vector<std::uint8_t> bytes(3000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    test::writeFile(path, bytes);
    NativeFile raw = kInvalidFile;
    ASSERT_TRUE(openFileMode(&raw, path.c_str(), kOpenRead));
    UniqueFile file(raw);
    std::vector<std::uint8_t> buffer(5000, 0);
    ASSERT_EQ(readChunked(file.get(), buffer.data(), 5000), 3000u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
}

TEST(ReadWholeFile, EmptyFileGivesNothing) {
    test::TempDir dir;
    test::writeFile(dir / "empty", std::string());
    std::uint32_t size = 99;
    EXPECT_EQ(readWholeFile((dir / "empty").c_str(), &size), nullptr);
    EXPECT_EQ(size, 0u);
    size = 99;
    EXPECT_EQ(readWholeFile((dir / "missing").c_str(), &size), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(ReadWholeFile, AddsAZeroByteAfterTheContents) {
    test::TempDir dir;
    test::writeFile(dir / "ten", std::string("0123456789"));
    std::uint32_t size = 0;
    HeapBytes block = readWholeFile((dir / "ten").c_str(), &size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.get()), 11), std::string("0123456789\0", 11));
}

}  // namespace
}  // namespace trakmap
