#include <gtest/gtest.h>

#include <vector>

#include "audio/byte_order.h"
#include "audio/stored_table.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using test::TempDir;
using test::writeFile;

// A table of 12-byte entries read in 64 KiB pieces: 12 does not divide the
// piece, so every piece ends short of its last byte and the entries on both
// sides of each end must come back whole. A file that stops inside the table
// gives every whole entry before the end, then nothing, and says it was cut.
TEST(StoredTable, EntriesComeBackWholeAcrossPiecesUntilTheFileEnds) {
    constexpr std::uint32_t kEntryBytes = 12;
    constexpr std::uint32_t kEntries = 20000;  // a little under four pieces
    constexpr std::uint32_t kStart = 7;
    std::vector<std::uint8_t> bytes(kStart + kEntries * kEntryBytes);
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        std::uint8_t* entry = bytes.data() + kStart + i * kEntryBytes;
        for (std::uint32_t b = 0; b < kEntryBytes; b += 4) storeLe32(entry + b, i * 3 + b);
    }
    struct Case {
        std::size_t fileBytes;
        std::uint32_t wholeEntries;
        bool cutShort;
    };
    const Case cases[] = {
        {bytes.size(), kEntries, false},
        {kStart + 15000 * kEntryBytes + 5, 15000, true},  // inside an entry of the fourth piece
        {kStart + 5461 * kEntryBytes, 5461, true},        // right after the first piece's last entry
        {kStart + 3, 0, true},                            // inside the first entry
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile(dir.path() / "table", std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + c.fileBytes));
        UniqueFile file(platformOpenFile((dir.path() / "table").c_str(), kOpenRead));
        ASSERT_TRUE(file.get() != kInvalidFile);
        StoredTable table = openStoredTable(file.get(), kStart, kEntries, kEntryBytes);
        std::uint32_t read = 0;
        while (const std::uint8_t* entry = nextEntry(table)) {
            for (std::uint32_t b = 0; b < kEntryBytes; b += 4)
                ASSERT_EQ(loadLe32(entry + b), read * 3 + b) << "entry " << read << ", " << c.fileBytes << " bytes";
            ++read;
        }
        EXPECT_EQ(read, c.wholeEntries) << c.fileBytes << "-byte file";
        EXPECT_EQ(table.cutShort, c.cutShort) << c.fileBytes << "-byte file";
        EXPECT_FALSE(table.readFailed);
        EXPECT_EQ(nextEntry(table), nullptr);
    }
}

}  // namespace
}  // namespace trakmap
