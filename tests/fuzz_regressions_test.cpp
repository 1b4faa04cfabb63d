#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "cache/seek_table_cache.h"
#include "fuzz_entries.h"

namespace trakmap {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every input that once made a fuzz target fail, replayed through the same
// entry point; a fault shows as a sanitizer report or a failed check of the
// entry (which ends the process with the reason on standard error).
TEST(FuzzRegressions, KeptInputsRunCleanlyThroughTheirTargets) {
    const fs::path root = fs::path(TRAKMAP_TEST_DATA) / "regressions";
    ASSERT_TRUE(fs::is_directory(root));
    for (const fs::directory_entry& folder : fs::directory_iterator(root)) {
        fuzz::Entry entry = fuzz::entryNamed(folder.path().filename().string());
        ASSERT_NE(entry, nullptr) << "no fuzz target named " << folder.path().filename();
        for (const fs::directory_entry& input : fs::directory_iterator(folder.path())) {
            SCOPED_TRACE(input.path().string());
            std::vector<std::uint8_t> bytes = readBytes(input.path());
            entry(bytes);
        }
    }
    setSeekTableCacheRoot(PathString());
}

}  // namespace
}  // namespace trakmap
