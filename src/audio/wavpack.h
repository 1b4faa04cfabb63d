// WavPack (also behind an executable stub) probe.
#pragma once

#include <cstdint>

#include "audio/probe_result.h"
#include "platform/platform.h"

namespace trakmap {

// `file` is positioned at offset 0. Says how the file is measured.
ProbeResult probeWavPack(NativeFile file);

// How many bytes at the start of a file are searched for the first block and
// hashed to name the file's cache record: the first MiB, all of a smaller
// file.
inline constexpr std::uint32_t kWavPackScanBytes = 1048576;

// Test seam: a smaller window, so that the fuzz target reaches the blocks
// behind it with short files instead of hashing a MiB for every input. Every
// rule of the probe stays the same; kWavPackScanBytes restores the default.
void setWavPackScanBytes(std::uint32_t bytes);

}  // namespace trakmap
