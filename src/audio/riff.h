// RIFF WAVE files: the "fmt " chunk that says what the audio is and the
// "data" chunk that holds it, found by walking the chunks from the start.
#pragma once

#include <cstdint>
#include <string>

#include "audio/probe_result.h"
#include "platform/platform.h"

namespace trakmap {

struct WaveChunks {
    AudioFormat format;
    std::uint16_t formatTag = 0;   // the sub-format's tag for WAVE_FORMAT_EXTENSIBLE
    std::uint32_t blockAlign = 0;  // bytes of one sample of every channel
    std::uint64_t dataOffset = 0;
    std::uint64_t dataBytes = 0;   // what the file holds of the data chunk
    bool dataCutShort = false;     // the chunk claims more bytes than the file holds
};

inline constexpr std::uint16_t kWaveFormatPcm = 1;
inline constexpr std::uint16_t kWaveFormatFloat = 3;

// Walks the chunks of a RIFF WAVE file of `fileSize` bytes. False, with the
// reason in `why`, when no "fmt " or "data" chunk can be found. Moves the
// file position.
bool readWaveChunks(NativeFile file, std::uint64_t fileSize, WaveChunks* chunks, std::string* why);

}  // namespace trakmap
