// What the tool measures a single file as, through the built executable: a
// one-track sheet over the file, run once with an empty seek-table cache and
// once more with the cache the first run left, which must agree.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace trakmap::test {

struct Measured {
    std::int64_t leadOut = -1;  // frames on the LeadOut row; -1 when no layout was printed
    std::string err;            // standard error
};

// One run over `file` (a name in `dir`) with the cache below `cache`.
inline Measured measureOnce(const std::filesystem::path& dir, const std::string& file,
                            const std::filesystem::path& cache) {
    writeFile(dir / "measure.cue", "FILE \"" + file + "\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    ToolResult result = runTool({"measure.cue"}, dir, cache);
    Measured measured;
    measured.err = result.err;
    std::size_t row = result.out.find("\nLeadOut ");
    if (row != std::string::npos) {
        std::size_t end = result.out.find('\n', row + 1);
        std::size_t last = result.out.find_last_of(' ', end);
        measured.leadOut = std::stoll(result.out.substr(last + 1, end - last - 1));
    }
    return measured;
}

// Runs with an empty cache and again with a warm one; both must give the
// same lead-out and the same standard error. Returns the first run's.
inline Measured measureTwice(const std::filesystem::path& dir, const std::string& file) {
    TempDir cache;
    Measured cold = measureOnce(dir, file, cache.path());
    Measured warm = measureOnce(dir, file, cache.path());
    EXPECT_EQ(cold.leadOut, warm.leadOut) << file << ": the warm cache measured it otherwise";
    EXPECT_EQ(cold.err, warm.err) << file;
    return cold;
}

}  // namespace trakmap::test
