// What probing one file found: how the layout is to measure it, and what the
// user should be told about it. Every probe and the dispatch give this one
// shape; none of them prints anything.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "audio/audio_info.h"

namespace trakmap {

enum class Measure : std::uint8_t {
    // Not audio this tool reads: the layout counts the file's bytes.
    bySize,
    // 44100 Hz, 16-bit stereo audio: `info` holds the probe's record and
    // `frames` its length (a PCM WAVE file is still laid out by its bytes).
    cdAudio,
    // Audio in another format: `frames` comes from its duration.
    byDuration,
    // Damaged, cut short, or of a length that cannot be told: the sheet is
    // not laid out.
    refused,
};

struct ProbeResult {
    Measure measure = Measure::bySize;
    AudioInfoPtr info;         // the probe's record, for CD audio
    std::uint32_t frames = 0;  // length in CD frames (75 a second)
    // Words for the user: why the file is not measured as CD audio, why it is
    // refused, or what was noticed about it (stray bytes after the audio).
    // Empty when there is nothing to say.
    std::string reason;
};

// The format of a stream as its header gives it.
struct AudioFormat {
    std::uint32_t sampleRate = 0;
    std::uint32_t bitsPerSample = 0;
    std::uint32_t channels = 0;
};

inline bool isCdFormat(const AudioFormat& format) {
    return format.sampleRate == 44100 && format.bitsPerSample == 16 && format.channels == 2;
}

// "48000 Hz 24-bit stereo", "44100 Hz 16-bit mono", "96000 Hz 24-bit 6-channel".
std::string describeFormat(const AudioFormat& format);

// CD frames in `samples` (per channel) at `sampleRate`, a partial frame
// dropped: floor(samples x 75 / rate), at most the largest 32-bit count.
std::uint32_t framesOfDuration(std::uint64_t samples, std::uint32_t sampleRate);

// The results a probe gives. A CD-format record is measured as
// totalSamples / 588 frames.
ProbeResult cdAudioResult(AudioInfoPtr info, std::string note = {});
// Audio of another format, `samples` long: "<format><detail>: measured by its
// duration". A rate of 0 cannot be measured and is refused.
ProbeResult durationResult(const AudioFormat& format, std::uint64_t samples, std::string_view detail = {});
// Not audio this tool reads: "<why>: measured by its size".
ProbeResult bySizeResult(const std::string& why);
ProbeResult refusedResult(std::string reason);

inline constexpr const char* kNoMemoryReason = "not enough memory to measure it";

// Reasons shared by the probes that walk a stream. "cut short at byte 5678:
// 20280 of 26460000 samples": the data ends at `offset`, holding `samples`
// of the `claimed` ones.
std::string cutShortReason(std::uint64_t offset, std::uint64_t samples, std::uint64_t claimed);
// "reading it failed at byte 5678": the file could not be read to its end.
std::string unreadableReason(std::uint64_t offset);
// "1000 bytes at byte 5678 are neither <units> nor a tag: left out", for bytes
// after a complete stream.
std::string strayBytesNote(std::uint64_t count, std::uint64_t offset, std::string_view units);

// Bytes as a message quotes them: printable ASCII as it stands, every other
// byte as \xNN.
std::string quotedBytes(const std::uint8_t* bytes, std::size_t count);

}  // namespace trakmap
