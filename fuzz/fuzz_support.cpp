#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "audio/bit_reader.h"
#include "cache/seek_table_cache.h"

namespace trakmap::fuzz {

namespace {

std::filesystem::path makeTempFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("trakmap-fuzz-" + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(folder, error)) return folder;
    }
    fail("cannot make a temporary folder");
}

void removeTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(tempFolder(), ignored);
}

}  // namespace

const std::filesystem::path& tempFolder() {
    static const std::filesystem::path folder = [] {
        std::filesystem::path made = makeTempFolder();
        std::atexit(removeTempFolder);
        return made;
    }();
    return folder;
}

std::filesystem::path writeTempFile(const std::filesystem::path& name, std::span<const std::uint8_t> bytes) {
    std::filesystem::path path = tempFolder() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) fail("cannot write a temporary file");
    return path;
}

UniqueFile openScratchFile(std::span<const std::uint8_t> bytes) {
    std::filesystem::path path = writeTempFile("input", bytes);
    UniqueFile file(platformOpenFile(path.c_str(), kOpenRead));
    if (!file.valid()) fail("cannot open a temporary file");
    return file;
}

void resetSeekTableCache() {
    setSeekTableCacheRoot(tempFolder().native());
    std::error_code ignored;
    std::filesystem::remove_all(tempFolder() / "Vantorel", ignored);
}

std::unique_ptr<std::FILE, int (*)(std::FILE*)> scratchStream() {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(std::tmpfile(), std::fclose);
    if (!stream) fail("cannot open a scratch stream");
    return stream;
}

// The parts of a split walk are walked one after the other here: whether
// they join depends only on where each ends, and starting threads for every
// input would cost more than the walks. The threads themselves are checked
// by the tests under ThreadSanitizer.
constexpr unsigned kOneThread = 1;

std::optional<FlacWalked> walkFlacFile(NativeFile file, std::uint64_t size,
                                       const std::vector<std::uint64_t>* splitPoints) {
    FlacDecoder decoder;
    if (!initReader(decoder.reader, file) || !readFlacMetadata(decoder)) return std::nullopt;
    FlacWalked walked;
    walked.streamInfoSeen = decoder.streamInfoSeen;
    walked.walk = splitPoints == nullptr ? walkFlacFrames(decoder, size, size, &walked.points)
                                         : walkFlacFramesInParts(decoder, size, size, &walked.points, *splitPoints,
                                                                 kOneThread);
    return walked;
}

ScopedReaderBuffer::ScopedReaderBuffer(std::uint32_t bytes) { setReaderBufferBytes(bytes); }
ScopedReaderBuffer::~ScopedReaderBuffer() { setReaderBufferBytes(kReaderBufferBytes); }

std::uint32_t smallReaderBufferFor(std::size_t size) { return static_cast<std::uint32_t>(1 + size * 7 % 512); }

void touchAudioInfo(const AudioInfo* info) {
    if (info == nullptr) return;
    if (info->seekPointCount != 0 && !info->seekPoints) fail("seek point count without a table");
    volatile std::uint32_t sum = audioFrames(*info);
    for (std::uint32_t i = 0; i < info->seekPointCount; ++i)
        sum = sum + info->seekPoints[i].sample + info->seekPoints[i].offset;
}

void requireSameResult(const ProbeResult& firstResult, const ProbeResult& secondResult) {
    if (firstResult.measure != secondResult.measure || firstResult.frames != secondResult.frames)
        fail("second probe differs in how it measures the file");
    if (firstResult.reason != secondResult.reason) fail("second probe differs in what it says");
    const AudioInfo* first = firstResult.info.get();
    const AudioInfo* second = secondResult.info.get();
    if ((first == nullptr) != (second == nullptr)) fail("second probe differs in success");
    if (first == nullptr) return;
    if (first->totalSamples != second->totalSamples || first->maxFrameBytes != second->maxFrameBytes ||
        first->maxFrameSamples != second->maxFrameSamples || first->seekPointCount != second->seekPointCount)
        fail("second probe differs in its measures");
    for (std::uint32_t i = 0; i < first->seekPointCount; ++i)
        if (first->seekPoints[i].sample != second->seekPoints[i].sample ||
            first->seekPoints[i].offset != second->seekPoints[i].offset)
            fail("second probe differs in its seek table");
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz target check failed: %s\n", what);
    std::abort();
}

}  // namespace trakmap::fuzz
