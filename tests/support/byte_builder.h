// Building binary fixtures field by field, and probing a file by its path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <vector>

#include "audio/audio_info.h"
#include "audio/probe.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace trakmap::test {

struct ByteBuilder {
    std::vector<std::uint8_t> bytes;

    ByteBuilder& le16(std::uint32_t value) { return put(value, 2, false); }
    ByteBuilder& le32(std::uint32_t value) { return put(value, 4, false); }
    ByteBuilder& be16(std::uint32_t value) { return put(value, 2, true); }
    ByteBuilder& be32(std::uint32_t value) { return put(value, 4, true); }
    ByteBuilder& text(std::string_view value) {
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    ByteBuilder& zeros(std::size_t count) {
        bytes.insert(bytes.end(), count, 0);
        return *this;
    }
    ByteBuilder& append(const std::vector<std::uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    std::size_t size() const { return bytes.size(); }

private:
    ByteBuilder& put(std::uint32_t value, int count, bool bigEndian) {
        for (int i = 0; i < count; ++i) {
            int shift = 8 * (bigEndian ? count - 1 - i : i);
            bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        }
        return *this;
    }
};

using Probe = ProbeResult (*)(NativeFile);

// Opens `file` and runs `probe` (the dispatch unless another is given) on it.
inline ProbeResult probeResultOf(const std::filesystem::path& file, Probe probe = probeAudioFile) {
    UniqueFile handle(platformOpenFile(file.c_str(), kOpenRead));
    if (!handle.valid()) return refusedResult("the test could not open " + file.string());
    return probe(handle.get());
}

// The record of a file measured as CD audio; null for any other result.
inline AudioInfoPtr probePath(const std::filesystem::path& file, Probe probe = probeAudioFile) {
    return probeResultOf(file, probe).info;
}

// Writes `bytes` to a file of a fresh temporary folder and probes it there.
inline ProbeResult probeResultOfBytes(const std::vector<std::uint8_t>& bytes, Probe probe = probeAudioFile) {
    TempDir dir;
    writeFile(dir / "audio", bytes);
    return probeResultOf(dir / "audio", probe);
}

inline AudioInfoPtr probeBytes(const std::vector<std::uint8_t>& bytes, Probe probe = probeAudioFile) {
    return probeResultOfBytes(bytes, probe).info;
}

inline std::vector<SeekPoint> seekPointsOf(const AudioInfo& info) {
    return std::vector<SeekPoint>(info.seekPoints.get(), info.seekPoints.get() + info.seekPointCount);
}

}  // namespace trakmap::test

namespace trakmap {

inline bool operator==(const SeekPoint& a, const SeekPoint& b) {
    return a.sample == b.sample && a.offset == b.offset;
}

inline std::ostream& operator<<(std::ostream& out, const SeekPoint& point) {
    return out << "(" << point.sample << ", " << point.offset << ")";
}

}  // namespace trakmap
