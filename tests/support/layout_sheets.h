// Sheets built record by record for the layout tests, without the parser.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cue/model.h"

namespace trakmap::test {

// One file of a sheet: its byte size and, when `codec` is not -1, the probe's
// result (its frame count, and how the layout measures it).
// An empty name is replaced by f<number>.wav (f<number>.flac for FLAC); a null
// name stays absent.
struct FileSpec {
    const char* name = "";
    std::uint64_t size = 0;
    std::uint32_t frames = 0;
    int codec = -1;
    Measure measure = Measure::cdAudio;
};

// A PCM WAVE-sized file of `frames` CD frames that was not probed.
inline FileSpec wave(std::uint32_t frames) { return {"", std::uint64_t{frames} * 2352}; }

inline FileSpec compressed(AudioCodec codec, std::uint32_t frames, std::uint64_t size,
                           Measure measure = Measure::cdAudio) {
    return {"", size, frames, codec, measure};
}

// One track: the file and position of INDEX 01 (file -1: before any FILE
// line), optionally INDEX 00, gaps, a REM LEAD-OUT, the type and session.
struct TrackSpec {
    std::int32_t file = 0;
    std::int32_t index1 = 0;
    std::int32_t index0File = -1;
    std::int32_t index0 = -1;
    std::int32_t pregap = 0;
    std::int32_t postgap = 0;
    std::int32_t leadOut = 0;
    std::uint32_t type = kTrackAudio;
    std::int32_t session = 1;
};

inline CueSheet makeSheet(const std::vector<FileSpec>& files, const std::vector<TrackSpec>& tracks) {
    static std::deque<std::string> names;  // stable addresses that outlive every sheet of the run
    CueSheet sheet;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileSpec& given = files[i];
        CueFile file;
        file.type = kFileWave;
        file.size = given.size;
        file.name = given.name;
        if (given.name != nullptr && *given.name == 0) {
            names.push_back("f" + std::to_string(i + 1) + (given.codec == kCodecFlac ? ".flac" : ".wav"));
            file.name = names.back().c_str();
        }
        if (given.codec >= 0) {
            file.audioInfo = newAudioInfo(static_cast<AudioCodec>(given.codec));
            file.audioInfo->totalSamples = given.frames * 588;
            file.measure = given.measure;
            file.frames = given.frames;
        }
        sheet.files.push_back(std::move(file));
    }
    for (const TrackSpec& given : tracks) {
        CueTrack track;
        track.index1 = given.index1;
        track.index1File = given.index1 == -1 ? -1 : given.file;
        track.index0 = given.index0;
        track.index0File = given.index0File;
        track.pregap = given.pregap;
        track.postgap = given.postgap;
        track.leadOut = given.leadOut;
        track.type = given.type;
        track.sectorSize = sectorSizeOf(given.type);
        track.session = given.session;
        sheet.tracks.push_back(track);
    }
    return sheet;
}

}  // namespace trakmap::test
