// Running the reference encoders and analysers installed for the tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace trakmap::test {

// Whether `tool` can be run; the interoperability tests fail (not skip) without it.
inline bool toolAvailable(const std::string& tool) {
    return runShell("command -v " + tool + " >/dev/null 2>&1") == 0;
}

// Runs `command` in a shell with its standard output captured into a file of
// `dir`; returns that output, or an empty string (and a test failure) when the
// command fails.
inline std::string captureShell(const std::string& command, const std::filesystem::path& dir) {
    std::filesystem::path out = dir / ".captured";
    if (runShell(command + " >'" + out.string() + "' 2>/dev/null") != 0) {
        ADD_FAILURE() << "command failed: " << command;
        return {};
    }
    std::ifstream stream(out);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// The comma-separated fields of every non-empty line of `text`.
inline std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
        rows.push_back(fields);
    }
    return rows;
}

// One packet as ffprobe reports it (-show_entries packet=duration,size,pos).
struct ProbedPacket {
    std::uint64_t duration;
    std::uint64_t size;
    std::uint64_t pos;
};

inline std::vector<ProbedPacket> ffprobePackets(const std::filesystem::path& file,
                                                const std::filesystem::path& dir) {
    std::string text = captureShell("ffprobe -v error -select_streams a:0 -show_entries "
                                    "packet=duration,size,pos -of csv=p=0 '" +
                                        file.string() + "'",
                                    dir);
    std::vector<ProbedPacket> packets;
    for (const auto& row : csvRows(text)) {
        if (row.size() < 3) continue;
        packets.push_back({std::stoull(row[0]), std::stoull(row[1]), std::stoull(row[2])});
    }
    return packets;
}

// The byte offset in `file` of the frame that its last seek point names, as
// metaflac lists the stream: the metadata blocks' lengths, then the point's
// offset from the first frame. 0 (and a test failure) when there is none.
inline std::uint64_t lastSeekPointFrame(const std::filesystem::path& file, const std::filesystem::path& dir) {
    std::istringstream lines(captureShell("metaflac --list '" + file.string() + "'", dir));
    std::uint64_t firstFrame = 4;
    std::uint64_t streamOffset = 0;
    for (std::string line; std::getline(lines, line);) {
        if (std::size_t at = line.find("  length: "); at == 0) firstFrame += 4 + std::stoull(line.substr(10));
        if (std::size_t at = line.find("stream_offset="); at != std::string::npos)
            streamOffset = std::stoull(line.substr(at + 14));
    }
    EXPECT_NE(streamOffset, 0u) << file << " has no seek point past its first frame";
    return streamOffset == 0 ? 0 : firstFrame + streamOffset;
}

// Encodes `seconds` of stereo 44100 Hz pink noise with ffmpeg; `output` gets
// its format from the extension and `codecArgs`.
inline bool ffmpegNoise(const std::filesystem::path& output, double seconds, const std::string& codecArgs) {
    return runShell("ffmpeg -hide_banner -loglevel error -y -f lavfi -i 'anoisesrc=d=" +
                    std::to_string(seconds) + ":c=pink:r=44100:a=0.5:s=7' -ac 2 " + codecArgs + " '" +
                    output.string() + "'") == 0;
}

}  // namespace trakmap::test
