#include "fuzz_entries.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/run_sheet.h"
#include "audio/alac.h"
#include "audio/flac.h"
#include "audio/monkeys_audio.h"
#include "audio/probe.h"
#include "audio/tta.h"
#include "audio/wavpack.h"
#include "cache/seek_table_cache.h"
#include "cdtext/cdtext.h"
#include "cue/parser.h"
#include "cue/writer.h"
#include "fuzz_support.h"

namespace trakmap::fuzz {

namespace {

constexpr std::string_view kSeparator = "\n--8<--\n";
// The WavPack probe's window while fuzzing: hashing a whole MiB twice for
// every input would leave time for little else.
constexpr std::uint32_t kFuzzWavPackScanBytes = 16384;
constexpr std::size_t kCacheBodyStart = 8;
constexpr std::size_t kCacheDigestOffset = 32;

Input bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Probes the input with `probe`; with `twice`, probes it again after the
// first probe has filled the cache and requires the same result.
int probeInput(ProbeResult (*probe)(NativeFile), Input input, bool twice) {
    resetSeekTableCache();
    UniqueFile file = openScratchFile(input);
    ProbeResult first = probe(file.get());
    touchAudioInfo(first.info.get());
    if (!twice) return 0;
    if (!platformSeekFile(file.get(), 0, SeekFrom::begin)) fail("cannot rewind");
    ProbeResult second = probe(file.get());
    requireSameResult(first, second);
    return 0;
}

void lookUpCacheFile(const Digest& digest, Input bytes) {
    resetSeekTableCache();
    PathString path;
    if (!seekTableCachePath(&path, 'F', digest)) fail("no cache path");
    writeTempFile(std::filesystem::relative(path, tempFolder()), bytes);
    std::optional<SeekTableRecord> record = loadSeekTable('F', digest);
    if (record && record->entries.empty()) fail("a cache hit without entries");
}

// The digest an unscrambled image names, or zeros when it is too short.
Digest digestOf(Input image) {
    Digest digest{};
    if (image.size() >= kCacheDigestOffset + digest.size())
        std::copy_n(image.begin() + kCacheDigestOffset, digest.size(), digest.begin());
    return digest;
}

bool sameWalk(const FlacWalked& a, const FlacWalked& b) {
    return a.walk.end == b.walk.end && a.walk.stopOffset == b.walk.stopOffset && a.walk.audioEnd == b.walk.audioEnd &&
           a.walk.samples == b.walk.samples &&
           std::equal(a.points.begin(), a.points.end(), b.points.begin(), b.points.end(),
                      [](const SeekPoint& x, const SeekPoint& y) { return x.sample == y.sample && x.offset == y.offset; });
}

// The fuzzed files are far smaller than the part a split walk gives a
// thread, so the split is asked for here: at the places the walk would find
// for two to four parts, and at places the input's last bytes choose (most of
// them inside frames). Every split must give exactly the one walk's result,
// and so must a walk through a buffer of a few bytes, which takes every path
// from one buffer into the next that a long file takes.
void walkFlacInParts(Input input) {
    UniqueFile file = openScratchFile(input);
    const std::uint64_t size = input.size();
    std::optional<FlacWalked> whole = walkFlacFile(file.get(), size, nullptr);
    if (!whole) return;
    {
        ScopedReaderBuffer small(smallReaderBufferFor(input.size()));
        std::optional<FlacWalked> buffered = walkFlacFile(file.get(), size, nullptr);
        if (!buffered || !sameWalk(*whole, *buffered)) fail("a walk through a small buffer differs");
    }
    std::vector<std::vector<std::uint64_t>> splits;
    {
        FlacDecoder decoder;
        if (!initReader(decoder.reader, file.get()) || !readFlacMetadata(decoder)) fail("metadata read once only");
        splits.push_back(findFlacSplitPoints(decoder, size, 2 + input.back() % 3));
    }
    std::vector<std::uint64_t> chosen;
    for (std::size_t i = 1; i <= 3 && i < input.size(); ++i) {
        const std::uint64_t place = (std::uint64_t{input[input.size() - 1 - i]} * 131 + i * 977) % size;
        if (chosen.empty() || place > chosen.back()) chosen.push_back(place);
    }
    splits.push_back(chosen);
    for (const std::vector<std::uint64_t>& places : splits) {
        std::optional<FlacWalked> parts = walkFlacFile(file.get(), size, &places);
        if (!parts || !sameWalk(*whole, *parts)) fail("a split walk differs from the one walk");
    }
}

}  // namespace

int fuzzCueSheet(Input input) {
    // The parser reads a C stream.
    auto stream = scratchStream();
    if (std::fwrite(input.data(), 1, input.size(), stream.get()) != input.size()) fail("cannot write a stream");
    std::rewind(stream.get());
    std::unique_ptr<CueSheet> sheet = createCueSheet();
    std::string problem;
    bool parsed = sheet && parseCueSheet(stream.get(), *sheet, &problem);
    if (parsed) writeCueSheet(*sheet, scratchStream().get());
    return 0;
}

int fuzzRunSheet(Input input) {
    std::string_view all(reinterpret_cast<const char*>(input.data()), input.size());
    std::size_t split = all.find(kSeparator);
    std::string_view sheet = all.substr(0, split);
    std::string_view audio = split == std::string_view::npos ? std::string_view{} : all.substr(split + kSeparator.size());
    // Every name must stay inside the temporary folder: a path could reach a
    // device or a pipe whose read blocks.
    if (sheet.find_first_of("/\\") != std::string_view::npos) return -1;

    resetSeekTableCache();
    std::filesystem::path sheetPath = writeTempFile("sheet.cue", bytesOf(sheet));
    writeTempFile("audio", bytesOf(audio));
    DiscContext context;
    runSheet(sheetPath.c_str(), context);
    std::fflush(stdout);
    return 0;
}

int fuzzProbeDispatch(Input input) { return probeInput(probeAudioFile, input, false); }
int fuzzProbeFlac(Input input) {
    probeInput(probeFlac, input, true);
    walkFlacInParts(input);
    return 0;
}
int fuzzProbeMonkeysAudio(Input input) { return probeInput(probeMonkeysAudio, input, false); }
int fuzzProbeTta(Input input) { return probeInput(probeTta, input, false); }
int fuzzProbeAlac(Input input) { return probeInput(probeAlac, input, false); }

int fuzzProbeWavPack(Input input) {
    if (input.empty()) return 0;
    static std::vector<std::uint8_t> tiled;
    tiled.resize(kFuzzWavPackScanBytes + input.size());
    // Copy, then keep doubling what is already there.
    std::size_t filled = input.size();
    std::copy(input.begin(), input.end(), tiled.begin());
    while (filled < tiled.size()) {
        std::size_t piece = std::min(filled, tiled.size() - filled);
        std::copy_n(tiled.begin(), piece, tiled.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += piece;
    }
    setWavPackScanBytes(kFuzzWavPackScanBytes);
    probeInput(probeWavPack, tiled, true);
    setWavPackScanBytes(kWavPackScanBytes);
    return 0;
}

int fuzzCdTextFile(Input input) {
    UniqueFile file = openScratchFile(input);
    CdTextBuffer buffer = loadCdTextFile(file.get());
    if (!buffer.bytes) return 0;
    if (buffer.length < 4) fail("CD-TEXT buffer shorter than its header");
    dumpCdText(std::span<const std::uint8_t>(buffer.bytes.get() + 4, buffer.length - 4), scratchStream().get());
    return 0;
}

int fuzzSeekTableCache(Input input) {
    if (input.size() < kCacheBodyStart) {
        lookUpCacheFile(Digest{}, input);
        return 0;
    }
    // As stored: the digest is the one the unscrambled image names.
    std::vector<std::uint8_t> plain(input.begin(), input.end());
    scrambleCacheBody(std::span(plain).subspan(kCacheBodyStart));
    lookUpCacheFile(digestOf(plain), input);

    // As an image to seal.
    std::vector<std::uint8_t> sealed(input.begin(), input.end());
    std::span<std::uint8_t> body = std::span(sealed).subspan(kCacheBodyStart);
    std::uint32_t checksum = cacheChecksum(body);
    for (int i = 0; i < 4; ++i) sealed[4 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
    scrambleCacheBody(body);
    lookUpCacheFile(digestOf(input), sealed);
    return 0;
}

Entry entryNamed(std::string_view target) {
    static constexpr std::pair<std::string_view, Entry> kEntries[] = {
        {"cue_sheet", fuzzCueSheet},
        {"run_sheet", fuzzRunSheet},
        {"probe_dispatch", fuzzProbeDispatch},
        {"probe_flac", fuzzProbeFlac},
        {"probe_wavpack", fuzzProbeWavPack},
        {"probe_monkeys_audio", fuzzProbeMonkeysAudio},
        {"probe_tta", fuzzProbeTta},
        {"probe_alac", fuzzProbeAlac},
        {"cdtext_file", fuzzCdTextFile},
        {"seek_table_cache", fuzzSeekTableCache},
        {"flac_differential", fuzzFlacDifferential},
    };
    for (const auto& [name, entry] : kEntries)
        if (name == target) return entry;
    return nullptr;
}

}  // namespace trakmap::fuzz
