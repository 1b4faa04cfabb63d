// Cue sheet records made directly in a test, without the parser.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "cue/model.h"

namespace trakmap::test {

// A copy of `text` in the sheet's arena; null stays null.
inline CueText sheetText(CueSheet& sheet, const char* text) {
    return text != nullptr ? arenaCopy(sheet.arena, text) : nullptr;
}

// An empty sheet holding one file of each type given, in order.
inline std::unique_ptr<CueSheet> sheetWithFiles(std::initializer_list<CueFileType> types) {
    std::unique_ptr<CueSheet> sheet = createCueSheet();
    EXPECT_NE(sheet, nullptr);
    for (CueFileType type : types) {
        CueFile file;
        file.name = sheetText(*sheet, "audio");
        file.type = type;
        sheet->files.push_back(std::move(file));
    }
    return sheet;
}

struct TrackTexts {
    const char* title = nullptr;
    const char* performer = nullptr;
    const char* composer = nullptr;
    const char* isrc = nullptr;
};

// Appends an audio track whose INDEX 01 lies at the start of file `fileIndex`.
inline CueTrack& addTrack(CueSheet& sheet, std::int32_t fileIndex, const TrackTexts& texts) {
    CueTrack track;
    track.type = kTrackAudio;
    track.sectorSize = 2352;
    track.index1 = fileIndex >= 0 ? 0 : -1;
    track.index1File = fileIndex;
    track.title = sheetText(sheet, texts.title);
    track.performer = sheetText(sheet, texts.performer);
    track.composer = sheetText(sheet, texts.composer);
    track.isrc = sheetText(sheet, texts.isrc);
    sheet.tracks.push_back(track);
    return sheet.tracks.back();
}

// Sets the disc-level texts; `catalog` lands in the disc record's ISRC slot.
inline void setDisc(CueSheet& sheet, const TrackTexts& texts) {
    sheet.disc.title = sheetText(sheet, texts.title);
    sheet.disc.performer = sheetText(sheet, texts.performer);
    sheet.disc.composer = sheetText(sheet, texts.composer);
    sheet.disc.isrc = sheetText(sheet, texts.isrc);
}

}  // namespace trakmap::test
