// What the fuzz targets share: a private temporary folder per process, files
// written into it, and a seek-table cache that lives inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/audio_info.h"
#include "audio/flac.h"
#include "audio/probe_result.h"
#include "platform/platform.h"

namespace trakmap::fuzz {

// The process's own folder, made on first use and removed at exit.
const std::filesystem::path& tempFolder();

// Writes `bytes` to `name` inside the folder and returns the path.
std::filesystem::path writeTempFile(const std::filesystem::path& name, std::span<const std::uint8_t> bytes);

// Writes `bytes` to a scratch file and opens it for reading at offset 0.
UniqueFile openScratchFile(std::span<const std::uint8_t> bytes);

// Points the seek-table cache at the folder (once) and empties it, so that
// every input starts without cached tables.
void resetSeekTableCache();

// A temporary stream, deleted when closed.
std::unique_ptr<std::FILE, int (*)(std::FILE*)> scratchStream();

// Reads every seek point the record claims to hold, so that the sanitizers
// see a table shorter than its count.
void touchAudioInfo(const AudioInfo* info);

// Fails unless two probes of the same bytes gave the same result (measure,
// frames, what they say, the record): the second one of FLAC and WavPack
// comes from the seek-table cache the first one filled.
void requireSameResult(const ProbeResult& first, const ProbeResult& second);

// What a walk of a FLAC stream found: its end and every frame's point, and
// whether the metadata held a STREAMINFO block.
struct FlacWalked {
    FlacWalk walk;
    std::vector<SeekPoint> points;
    bool streamInfoSeen = false;
};

// Walks the FLAC stream in `file` (of `size` bytes) from its first frame, in
// one piece or, given `splitPoints`, in parts split there and walked one
// after the other; nothing when its metadata does not read.
std::optional<FlacWalked> walkFlacFile(NativeFile file, std::uint64_t size,
                                       const std::vector<std::uint64_t>* splitPoints = nullptr);

// Readers set up while one of these lives get a buffer of `bytes` (see
// setReaderBufferBytes); the default comes back when it goes.
struct ScopedReaderBuffer {
    explicit ScopedReaderBuffer(std::uint32_t bytes);
    ~ScopedReaderBuffer();
    ScopedReaderBuffer(const ScopedReaderBuffer&) = delete;
    ScopedReaderBuffer& operator=(const ScopedReaderBuffer&) = delete;
};

// A reader buffer of 1 to 512 bytes that `size` picks, so that a walk of a
// fuzzed file crosses buffers at places that move with the input.
std::uint32_t smallReaderBufferFor(std::size_t size);

// Ends the process through the sanitizers' crash path: two probes of the same
// file that disagree are a fault even when nothing overflowed.
[[noreturn]] void fail(const char* what);

}  // namespace trakmap::fuzz
