#include <cstring>

#include "cdtext/cdtext.h"
#include "cdtext/cdtext_packs.h"

namespace trakmap {

namespace {

// The arena keeps 8 bytes of every block back; a longer text cannot be copied.
constexpr std::size_t kLongestCopy = kCdTextArenaBlockSize - 8 - 1;

// Copies a sheet text into the source. A text too long for the arena is left
// out; `outOfMemory` is raised when a copy that should fit cannot be had.
CueText copyText(CdTextSource& source, CueText text, bool& outOfMemory) {
    if (text == nullptr) return nullptr;
    std::size_t length = std::strlen(text);
    if (length > kLongestCopy) return nullptr;
    CueText copy = arenaCopy(source.arena, std::string_view(text, length));
    if (copy == nullptr) outOfMemory = true;
    return copy;
}

bool isWaveFile(const CueSheet& sheet, std::int32_t fileIndex) {
    return fileIndex >= 0 && static_cast<std::size_t>(fileIndex) < sheet.files.size() &&
           sheet.files[static_cast<std::size_t>(fileIndex)].type == kFileWave;
}

}  // namespace

CdTextBuffer buildCdText(const CueSheet& sheet) {
    if (sheet.files.empty() || sheet.tracks.empty() || sheet.files.front().type != kFileWave) return {};

    CdTextSource source;
    if (!arenaCreate(source.arena, kCdTextArenaBlockSize)) return {};
    bool outOfMemory = false;
    source.title = copyText(source, sheet.disc.title, outOfMemory);
    source.performer = copyText(source, sheet.disc.performer, outOfMemory);
    source.composer = copyText(source, sheet.disc.composer, outOfMemory);
    source.catalog = copyText(source, sheet.disc.isrc, outOfMemory);

    // The disc ends, as far as CD-TEXT goes, at the first track that is not in
    // a WAVE file; a track without INDEX 01 ends it too.
    for (const CueTrack& track : sheet.tracks) {
        if (!isWaveFile(sheet, track.index1File)) break;
        CdTextTrack entry;
        entry.title = copyText(source, track.title, outOfMemory);
        entry.performer = copyText(source, track.performer, outOfMemory);
        entry.composer = copyText(source, track.composer, outOfMemory);
        entry.isrc = copyText(source, track.isrc, outOfMemory);
        source.tracks.push_back(entry);
    }
    if (outOfMemory) return {};
    return encodeCdTextPacks(source);
}

}  // namespace trakmap
