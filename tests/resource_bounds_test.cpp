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
#include <string>
#include <string_view>
#include <vector>

#include "audio/byte_order.h"
#include "audio/probe.h"
#include "cache/seek_table_cache.h"
#include "support/byte_builder.h"
#include "app/run_sheet.h"
#include "support/encoders.h"
#include "support/mp4_atoms.h"
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

// Runs `body` in a child whose address space may grow by `headroom` bytes at
// most (256 MiB unless told); the child's exit status is `body`'s result (an
// abort or a crash is not 0).
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

#ifndef TRAKMAP_ADDRESS_SANITIZER
constexpr std::uint64_t kSlackBytes = 16ull << 20;

std::uint64_t allocatedOnDisk(const fs::path& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return 0;
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

// A file written piece by piece: each piece at its offset, `repeat` copies of
// a small entry where a big table goes, and holes wherever nothing is written.
struct Piece {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
    std::uint64_t repeat = 1;
};

void writePieces(const fs::path& path, const std::vector<Piece>& pieces, std::uint64_t size) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const Piece& piece : pieces) {
            out.seekp(static_cast<std::streamoff>(piece.offset));
            // Copies are written in runs of a megabyte or so.
            std::vector<std::uint8_t> run;
            std::uint64_t perRun = std::max<std::uint64_t>(1, (1u << 20) / std::max<std::size_t>(1, piece.bytes.size()));
            for (std::uint64_t i = 0; i < std::min(perRun, piece.repeat); ++i)
                run.insert(run.end(), piece.bytes.begin(), piece.bytes.end());
            for (std::uint64_t left = piece.repeat; left > 0;) {
                std::uint64_t now = std::min(perRun, left);
                out.write(reinterpret_cast<const char*>(run.data()), static_cast<std::streamsize>(now * piece.bytes.size()));
                left -= now;
            }
        }
    }
    fs::resize_file(path, size);
}

std::vector<std::uint8_t> be32Bytes(std::uint32_t value) { return test::ByteBuilder().be32(value).bytes; }
std::vector<std::uint8_t> le32Bytes(std::uint32_t value) { return test::ByteBuilder().le32(value).bytes; }

// A Monkey's Audio file of CD audio with `frames` seek table entries, all
// pointing at the one byte behind the table; with `sparse` the table is a hole.
void writeMonkeysAudio(const fs::path& path, std::uint32_t frames, bool sparse) {
    const std::uint64_t tableBytes = std::uint64_t{frames} * 4;
    std::vector<std::uint8_t> head = test::ByteBuilder{}
                                         .text("MAC ").le16(3990).le16(0)
                                         .le32(52).le32(24).le32(static_cast<std::uint32_t>(tableBytes))
                                         .le32(0).le32(0).le32(0).le32(0).zeros(16)
                                         .le16(2000).le16(0).le32(160).le32(160).le32(frames)
                                         .le16(16).le16(2).le32(44100)
                                         .bytes;
    std::vector<Piece> pieces = {{0, head}};
    if (!sparse) pieces.push_back({76, le32Bytes(static_cast<std::uint32_t>(76 + tableBytes)), frames});
    writePieces(path, pieces, 76 + tableBytes + 1);
}

// The offset of the size field of the first atom of `type` in `bytes`.
std::size_t sizeFieldOf(const std::vector<std::uint8_t>& bytes, std::string_view type) {
    auto at = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
    EXPECT_NE(at, bytes.end()) << type;
    return static_cast<std::size_t>(at - bytes.begin()) - 4;
}

// An ALAC file, movie first, of `packets` one-byte packets of one sample each,
// listed one by one in its sample size table; with `sparse` that table is a
// hole and the media data is left out.
void writeAlac(const fs::path& path, std::uint32_t packets, bool sparse) {
    test::AlacStream stream;
    stream.runs = {{packets, 1}};
    stream.sizes.clear();
    std::vector<std::uint8_t> movie = test::serialize({test::fileType(), test::movie(stream)});
    const std::uint64_t tableBytes = std::uint64_t{packets} * 4;
    // The sample size table grows by its entries, and so does every atom around it.
    for (std::string_view type : {"moov", "trak", "mdia", "minf", "stbl", "stsz"}) {
        std::size_t field = sizeFieldOf(movie, type);
        std::uint32_t size = loadBe32(&movie[field]) + static_cast<std::uint32_t>(tableBytes);
        std::vector<std::uint8_t> patched = be32Bytes(size);
        std::copy(patched.begin(), patched.end(), movie.begin() + static_cast<std::ptrdiff_t>(field));
    }
    std::size_t countField = sizeFieldOf(movie, "stsz") + 16;
    std::vector<std::uint8_t> count = be32Bytes(packets);
    std::copy(count.begin(), count.end(), movie.begin() + static_cast<std::ptrdiff_t>(countField));
    std::size_t tableAt = countField + 4;
    std::vector<std::uint8_t> head(movie.begin(), movie.begin() + static_cast<std::ptrdiff_t>(tableAt));
    std::vector<std::uint8_t> rest(movie.begin() + static_cast<std::ptrdiff_t>(tableAt), movie.end());
    const std::uint64_t movieEnd = movie.size() + tableBytes;
    const std::uint64_t mediaBytes = sparse ? 0 : packets;
    std::vector<std::uint8_t> mediaHeader = test::ByteBuilder().be32(static_cast<std::uint32_t>(8 + mediaBytes)).text("mdat").bytes;
    std::vector<Piece> pieces = {{0, head}, {tableAt + tableBytes, rest}, {movieEnd, mediaHeader}};
    if (!sparse) {
        pieces.push_back({tableAt, be32Bytes(1), packets});
        pieces.push_back({movieEnd + 8, {0xAA}, packets});
    }
    writePieces(path, pieces, sparse ? 4ull << 30 : movieEnd + 8 + mediaBytes);
}

// How a probe of `path` came out in a child whose address space may grow by
// twice what the file takes on disk and 16 MiB: 0 when it gave `expected`,
// 2 when it ran out of memory, 3 for another result, 4 and up for a crash.
int probeWithinItsBound(const fs::path& path, Measure expected) {
    return runWithCappedMemory(
        [&] {
            ProbeResult result = test::probeResultOf(path);
            if (result.reason.find("not enough memory") != std::string::npos) return 2;
            return result.measure == expected ? 0 : 3;
        },
        2 * allocatedOnDisk(path) + kSlackBytes);
}
#endif

// A probe holds at most twice what the file holds on disk, whatever its
// tables claim: big tables that are really there are measured within that,
// and tables of holes in a sparse file are refused (or walked) without
// taking memory for them.
TEST(ResourceBounds, PosixProbesHoldAtMostTwiceWhatTheFileHoldsOnDisk) {
#ifdef TRAKMAP_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#else
    TempDir dir;
    constexpr std::uint32_t kEntries = 25'000'000;  // a 100 MB table
    const fs::path ape = dir / "table.ape";
    writeMonkeysAudio(ape, kEntries, false);
    EXPECT_EQ(probeWithinItsBound(ape, Measure::cdAudio), 0) << "Monkey's Audio seek table of 100 MB";
    fs::remove(ape);

    const fs::path m4a = dir / "table.m4a";
    writeAlac(m4a, kEntries, false);
    EXPECT_EQ(probeWithinItsBound(m4a, Measure::cdAudio), 0) << "ALAC sample size table of 100 MB";
    fs::remove(m4a);

    // 4 GiB files of a few kilobytes on disk.
    const fs::path sparseApe = dir / "sparse.ape";
    writeMonkeysAudio(sparseApe, 0x3FFFFFF0, true);
    const fs::path sparseAlac = dir / "sparse.m4a";
    writeAlac(sparseAlac, 0x3FFFFE00, true);
    // TTA at 245 Hz: 256-sample frames, 64 MiB of frame sizes, all holes.
    const fs::path sparseTta = dir / "sparse.tta";
    writePieces(sparseTta,
                {{0, test::ByteBuilder().text("TTA1").le16(1).le16(2).le16(16).le32(245).le32(0xFFFFFFFF).le32(0).bytes}},
                4ull << 30);
    struct Case {
        const fs::path& path;
        Measure measure;
    };
    for (const Case& c : {Case{sparseApe, Measure::refused}, Case{sparseAlac, Measure::refused},
                          Case{sparseTta, Measure::byDuration}}) {
        SCOPED_TRACE(c.path.filename().string());
        ASSERT_LT(allocatedOnDisk(c.path), 1u << 20);
        EXPECT_EQ(probeWithinItsBound(c.path, c.measure), 0);
    }
#endif
}

// The driver keeps nothing of a probe but its measure: a sheet that names one
// file with a big seek table on every one of its 128 FILE lines needs at most
// 64 MiB more than a sheet that names it once.
TEST(ResourceBounds, PosixASheetOfManyFilesNeedsLittleMoreThanOneOfThem) {
#ifdef TRAKMAP_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#else
    TempDir dir;
    const fs::path ape = dir / "hostile.ape";
    writeMonkeysAudio(ape, 1'000'000, false);  // 4 MB, 8 MB of seek points
    auto sheetOf = [&](std::size_t files) {
        std::string text;
        for (std::size_t i = 1; i <= files; ++i)
            text += "FILE \"hostile.ape\" WAVE\n  TRACK " + std::to_string(i) + " AUDIO\n    INDEX 01 00:00:00\n";
        fs::path sheet = dir / ("files-" + std::to_string(files) + ".cue");
        test::writeFile(sheet, text);
        return sheet;
    };
    const fs::path one = sheetOf(1);
    const fs::path all = sheetOf(kMaxSheetFiles);
    const std::uint64_t oneFile = 2 * allocatedOnDisk(ape) + kSlackBytes;
    auto runQuietly = [](const fs::path& sheet) {
        return [&sheet] {
            if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) return 5;
            DiscContext context;
            return runSheet(sheet.c_str(), context) ? 0 : 1;
        };
    };
    EXPECT_EQ(runWithCappedMemory(runQuietly(one), oneFile), 0) << "one file";
    EXPECT_EQ(runWithCappedMemory(runQuietly(all), oneFile + (64ull << 20)), 0) << "128 files";
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
        const std::uint64_t bound = 2 * allocatedOnDisk(path) + (16u << 20);
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
