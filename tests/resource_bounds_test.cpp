// Files whose tables claim gigabytes are refused before anything is sized by
// the claim: each probe runs in a child process whose address space is capped
// far below the claim, where such an allocation would fail or abort.
// Tests whose names contain "Posix" rely on POSIX process control.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string_view>
#include <vector>

#include "audio/probe.h"
#include "cache/seek_table_cache.h"
#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define TRAKMAP_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRAKMAP_ADDRESS_SANITIZER 1
#endif
#endif

namespace trakmap {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

#ifndef TRAKMAP_ADDRESS_SANITIZER
constexpr std::uint64_t kHeadroomBytes = 256ull << 20;

std::uint64_t addressSpaceInUse() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Runs `body` in a child whose address space may grow by `headroom` (256 MiB
// unless given) at most; the child's exit status is `body`'s result (an abort
// or a crash is not 0).
int runWithCappedMemory(const std::function<int()>& body, std::uint64_t headroom = kHeadroomBytes) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = addressSpaceInUse() + headroom;
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(90);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int probeRefuses(const fs::path& path) {
    UniqueFile file(platformOpenFile(path.c_str(), kOpenRead));
    if (!file.valid()) return 91;
    return probeAudioFile(file.get()).info == nullptr ? 0 : 1;
}

// Sets the 32-bit big-endian field `offset` bytes after the first `atom` type.
void patchAfterAtom(std::vector<std::uint8_t>& bytes, std::string_view atom, std::size_t offset,
                    std::uint32_t value) {
    auto at = std::search(bytes.begin(), bytes.end(), atom.begin(), atom.end());
    ASSERT_NE(at, bytes.end()) << atom;
    auto position = static_cast<std::size_t>(at - bytes.begin()) + offset;
    ASSERT_LE(position + 4, bytes.size());
    for (int i = 0; i < 4; ++i) bytes[position + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// The bytes `path` takes on disk.
std::uint64_t allocatedBytes(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
}

#endif

TEST(ResourceBounds, PosixTablesClaimingGigabytesAreRefusedWithoutAllocatingThem) {
#ifdef TRAKMAP_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#else
    ASSERT_TRUE(test::toolAvailable("ffmpeg")) << "ffmpeg is needed";
    TempDir dir;
    const fs::path m4a = dir / "noise.m4a";
    ASSERT_TRUE(test::ffmpegNoise(m4a, 0.5, "-c:a alac -sample_fmt s16p"));
    const std::vector<std::uint8_t> alac = test::readFileBytes(m4a);
    ASSERT_EQ(runWithCappedMemory([&] { return probeRefuses(m4a) == 1 ? 0 : 1; }), 0)
        << "the unchanged file must be accepted under the cap";

    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases;
    // Sample sizes: no uniform size, a count of a billion 4-byte entries.
    cases.push_back({"ALAC sample size count", alac});
    patchAfterAtom(cases.back().bytes, "stsz", 8, 0);
    patchAfterAtom(cases.back().bytes, "stsz", 12, 0x3FFFFFFF);
    // Time-to-sample: half a billion 8-byte runs.
    cases.push_back({"ALAC time-to-sample count", alac});
    patchAfterAtom(cases.back().bytes, "stts", 8, 0x1FFFFFFF);
    // Monkey's Audio descriptor claiming a 4 GiB seek table.
    cases.push_back({"Monkey's Audio seek table bytes",
                     test::ByteBuilder{}
                         .text("MAC ").le16(3990).le16(0)
                         .le32(52).le32(24).le32(0xFFFFFFF0).le32(0).le32(0).le32(0).le32(0).zeros(16)
                         .le16(2000).le16(0).le32(73728).le32(1000).le32(3).le16(16).le16(2).le32(44100)
                         .zeros(256)
                         .bytes});
    for (const Case& c : cases) {
        const fs::path path = dir / "claim";
        test::writeFile(path, c.bytes);
        EXPECT_EQ(runWithCappedMemory([&] { return probeRefuses(path); }), 0) << c.what;
    }

    // A cache file whose entry count claims 4 GiB of entries is a miss.
    setSeekTableCacheRoot(dir.path().native());
    const Digest digest{7, 7, 7};
    const SeekPoint points[] = {{0, 100}, {4608, 9000}};
    storeSeekTable(points, digest, 'F', 4608, 9000, 4608);
    PathString cachePath;
    ASSERT_TRUE(seekTableCachePath(&cachePath, 'F', digest));
    std::vector<std::uint8_t> image = test::readFileBytes(cachePath);
    ASSERT_GE(image.size(), 48u);
    std::span<std::uint8_t> body = std::span(image).subspan(8);
    scrambleCacheBody(body);
    std::fill(image.begin() + 8, image.begin() + 12, std::uint8_t{0xFF});
    std::uint32_t checksum = cacheChecksum(body);
    for (int i = 0; i < 4; ++i) image[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(checksum >> (8 * i));
    scrambleCacheBody(body);
    test::writeFile(cachePath, image);
    EXPECT_EQ(runWithCappedMemory([&] { return loadSeekTable('F', digest) ? 1 : 0; }), 0);
    setSeekTableCacheRoot(PathString());
#endif
}

// Files of the smallest frames and blocks a walk accepts give the longest
// point lists for their size: a probe of one, which walks it, caches its
// table and thins it, peaks at most at twice the file's size on disk + 16 MiB.
TEST(ResourceBounds, PosixFlacAndWavPackWalksPeakWithinTwiceTheFileOnDisk) {
#ifdef TRAKMAP_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#else
    TempDir dir;
    setSeekTableCacheRoot(dir.path().native());
    // FLAC: 192-sample frames of one 8-bit constant, 10 bytes each, in a
    // stream whose largest block keeps every point in the thinned table. Just
    // over a doubling of the list's first reservation, so a list grown by
    // doubling alone would hold twice the points it needs.
    constexpr std::uint32_t kFrames = 3000u * 2048 + 100;
    test::ByteBuilder flac;
    flac.text("fLaC").be32(0x80000022).be16(65535).be16(65535).zeros(6);
    // 44100 Hz, 2 channels, 16 bits, the samples the frames hold; a signature.
    const std::uint64_t samples = std::uint64_t{kFrames} * 192;
    flac.be32(44100u << 12 | 1u << 9 | 15u << 4 | static_cast<std::uint32_t>(samples >> 32)).be32(static_cast<std::uint32_t>(samples));
    flac.text("0123456789abcdef");
    static constexpr std::uint8_t kFrame[10] = {0xFF, 0xF8, 0x19, 0x02, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00};
    flac.bytes.reserve(flac.size() + sizeof kFrame * kFrames);
    for (std::uint32_t i = 0; i < kFrames; ++i) flac.bytes.insert(flac.bytes.end(), std::begin(kFrame), std::end(kFrame));
    // WavPack: blocks of nothing but their 32-byte header, one sample each.
    test::ByteBuilder wavpack;
    for (std::uint32_t i = 0; i < (1u << 19); ++i)
        wavpack.text("wvpk").le32(24).le16(0x410).le16(0).le32(0xFFFFFFFF).le32(i).le32(1).le32(1 | 9u << 23).le32(0);

    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t frames;
    };
    const Case cases[] = {
        {"tiny.flac", std::move(flac.bytes), static_cast<std::uint32_t>(samples / 588)},
        {"tiny.wv", std::move(wavpack.bytes), (1u << 19) / 588},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir / c.name;
        test::writeFile(path, c.bytes);
        const std::uint64_t bound = 2 * allocatedBytes(path) + (16u << 20);
        EXPECT_EQ(runWithCappedMemory([&] {
                      UniqueFile file(platformOpenFile(path.c_str(), kOpenRead));
                      ProbeResult result = probeAudioFile(file.get());
                      if (result.measure != Measure::cdAudio) return 2;
                      return result.frames == c.frames ? 0 : 3;
                  }, bound),
                  0)
            << "peak above " << bound << " bytes";
    }
    setSeekTableCacheRoot(PathString());
#endif
}

}  // namespace
}  // namespace trakmap
