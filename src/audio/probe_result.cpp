#include "audio/probe_result.h"

#include <limits>

namespace trakmap {

std::string describeFormat(const AudioFormat& format) {
    std::string text = std::to_string(format.sampleRate) + " Hz " + std::to_string(format.bitsPerSample) + "-bit ";
    if (format.channels == 1) text += "mono";
    else if (format.channels == 2) text += "stereo";
    else text += std::to_string(format.channels) + "-channel";
    return text;
}

std::uint32_t framesOfDuration(std::uint64_t samples, std::uint32_t sampleRate) {
    if (sampleRate == 0) return 0;
    // Samples of any stream this tool reads fit 36 bits, so the product fits 64.
    const std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
    if (samples > largest * std::uint64_t{sampleRate} / 75) return static_cast<std::uint32_t>(largest);
    return static_cast<std::uint32_t>(samples * 75 / sampleRate);
}

ProbeResult cdAudioResult(AudioInfoPtr info, std::string note) {
    ProbeResult result;
    result.measure = Measure::cdAudio;
    result.frames = audioFrames(*info);
    result.info = std::move(info);
    result.reason = std::move(note);
    return result;
}

ProbeResult durationResult(const AudioFormat& format, std::uint64_t samples, std::string_view detail) {
    if (format.sampleRate == 0) return refusedResult(describeFormat(format) + ": a sample rate of 0 gives no duration");
    ProbeResult result;
    result.measure = Measure::byDuration;
    result.frames = framesOfDuration(samples, format.sampleRate);
    result.reason = describeFormat(format) + std::string(detail) + ": measured by its duration";
    return result;
}

ProbeResult bySizeResult(const std::string& why) {
    ProbeResult result;
    result.reason = why + ": measured by its size";
    return result;
}

ProbeResult refusedResult(std::string reason) {
    ProbeResult result;
    result.measure = Measure::refused;
    result.reason = std::move(reason);
    return result;
}

std::string cutShortReason(std::uint64_t offset, std::uint64_t samples, std::uint64_t claimed) {
    return "cut short at byte " + std::to_string(offset) + ": " + std::to_string(samples) + " of " +
           std::to_string(claimed) + " samples";
}

std::string unreadableReason(std::uint64_t offset) { return "reading it failed at byte " + std::to_string(offset); }

std::string strayBytesNote(std::uint64_t count, std::uint64_t offset, std::string_view units) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes") + " at byte " + std::to_string(offset) +
           (count == 1 ? " is" : " are") + " neither " + std::string(units) + " nor a tag: left out";
}

std::string quotedBytes(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t byte = bytes[i];
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            text += static_cast<char>(byte);
        } else {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0x0F];
        }
    }
    return text;
}

}  // namespace trakmap
