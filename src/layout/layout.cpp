#include "layout/layout.h"

#include <algorithm>
#include <limits>

namespace trakmap {

namespace {

// The disc is the files that hold an index laid end to end, in sheet order.
// Each file adds the frames from its start to the end of the last track that
// starts in it (its REM LEAD-OUT, else the end of the file); a file that only
// holds the INDEX 00 of a track starting in a later file adds all its frames
// (also the first file, when it holds only the audio before track 1).
// Every PREGAP is inserted before its track's INDEX 01, every POSTGAP after
// its track. Positions are worked out in 64 bits and refused when they do not
// fit the 32-bit fields of the sheet.

constexpr std::int64_t kLargestPosition = std::numeric_limits<std::int32_t>::max();

std::int64_t clampedFrames(std::uint64_t frames) {
    return frames > static_cast<std::uint64_t>(kLargestPosition) ? kLargestPosition + 1
                                                                  : static_cast<std::int64_t>(frames);
}

std::string trackLabel(std::size_t position) { return "track " + std::to_string(position + 1); }

// Compressed files and audio of other formats than CD audio are measured by
// the probe's frame count: their byte size says nothing about their length.
// CD-format PCM WAVE files are measured by their bytes, header included.
bool measuredInFrames(const CueFile& file) {
    if (file.measure == Measure::byDuration) return true;
    return file.measure == Measure::cdAudio && file.audioInfo && file.audioInfo->codec != kCodecPcmWave;
}

struct LayoutRun {
    CueSheet& sheet;
    std::string* problem;
    std::int64_t fileBase = 0;  // disc position of the current file's first frame, before gaps
    std::int64_t pregapSum = 0;
    std::int64_t postgapSum = 0;
    std::int32_t currentFile = 0;

    bool refuse(std::string text) {
        if (problem != nullptr) *problem = std::move(text);
        return false;
    }

    std::string fileLabel(std::int32_t index) const {
        std::string label = "file " + std::to_string(index + 1);
        const char* name = sheet.files[static_cast<std::size_t>(index)].name;
        if (name != nullptr) label += " \"" + std::string(name) + "\"";
        return label;
    }

    CueFile& file(std::int32_t index) { return sheet.files[static_cast<std::size_t>(index)]; }

    std::int64_t gapsAndBase() const { return fileBase + pregapSum + postgapSum; }

    // Frames in `index` as measured for a track of `sectorSize` bytes a frame;
    // anything past the largest position counts as one frame more than that.
    std::int64_t fileFrames(std::int32_t index, std::uint32_t sectorSize) {
        CueFile& f = file(index);
        if (measuredInFrames(f)) return f.frames;
        return clampedFrames(f.size / sectorSize);
    }

    // A position written in the sheet must lie within its file as measured.
    bool checkWithinFile(const std::string& what, std::int64_t position, std::int32_t index,
                         std::uint32_t sectorSize) {
        std::int64_t frames = fileFrames(index, sectorSize);
        if (position <= frames) return true;
        return refuse(what + " lies at " + formatMsf(position) + " in " + fileLabel(index) + ", which holds " +
                      formatMsf(frames));
    }

    bool store(std::int64_t value, std::int32_t* field, std::size_t track) {
        if (value > kLargestPosition)
            return refuse("the layout of " + trackLabel(track) + " reaches frame " + std::to_string(value) +
                          ", beyond the largest position a disc can be given (" +
                          std::to_string(kLargestPosition) + ")");
        *field = static_cast<std::int32_t>(value);
        return true;
    }

    // The layout starts at a track's first frame in `index`.
    void enterFile(std::int32_t index, std::int32_t start, std::uint32_t sectorSize) {
        currentFile = index;
        CueFile& f = file(index);
        f.framesUsed = static_cast<std::uint32_t>(start);
        f.bytesUsed = static_cast<std::uint64_t>(start) * sectorSize;
    }

    // Moves from the start of the previous track to the start of the next one
    // in the current file.
    void advance(std::int64_t frames, std::uint32_t sectorSize) {
        CueFile& f = file(currentFile);
        f.framesUsed += static_cast<std::uint32_t>(frames);
        f.bytesUsed += static_cast<std::uint64_t>(frames) * sectorSize;
    }

    // Frames of the current file from the start of the track the layout has
    // reached to the end of the file.
    bool remainingFrames(std::size_t track, std::int64_t* frames) {
        const CueTrack& t = sheet.tracks[track];
        CueFile& f = file(currentFile);
        if (measuredInFrames(f)) {
            *frames = std::int64_t{f.frames} - f.framesUsed;
        } else if (f.bytesUsed > f.size) {
            return refuse(trackLabel(track) + " starts beyond the end of " + fileLabel(currentFile) +
                          ", which holds " + std::to_string(f.size) + " bytes");
        } else {
            *frames = clampedFrames((f.size - f.bytesUsed) / t.sectorSize);
        }
        return true;
    }
};

std::int32_t startWithin(const CueTrack& track, std::int32_t file) {
    return track.index0 != -1 && track.index0File == file ? track.index0 : track.index1;
}

// Audio before track 1 ripped to a file of its own: the first file holds
// track 1's INDEX 00 and nothing else, and its INDEX 01 opens the second file.
bool hiddenTrackOneAudioInItsOwnFile(const CueSheet& sheet) {
    const CueTrack& first = sheet.tracks.front();
    if (first.index1File != 1 || first.index0 == -1 || first.index0File != 0) return false;
    return std::none_of(sheet.tracks.begin() + 1, sheet.tracks.end(), [](const CueTrack& t) {
        return t.index1File == 0 || (t.index0 != -1 && t.index0File == 0);
    });
}

// What the layout needs of a single track record, whatever the sheet around it.
bool checkTrackRecord(LayoutRun& run, std::size_t i) {
    const CueTrack& t = run.sheet.tracks[i];
    const std::string label = trackLabel(i);
    const auto fileCount = static_cast<std::int64_t>(run.sheet.files.size());
    if (t.index1 == -1) return run.refuse(label + " has no INDEX 01");
    if (t.index1 < 0 || t.index0 < -1 || t.pregap < 0 || t.postgap < 0 || t.leadOut < 0)
        return run.refuse(label + " has a negative position or gap");
    if (t.index1File < 0) return run.refuse("INDEX 01 of " + label + " comes before the first FILE");
    if (t.index0 != -1 && t.index0File < 0)
        return run.refuse("INDEX 00 of " + label + " comes before the first FILE");
    if (t.index1File >= fileCount || t.index0File >= fileCount)
        return run.refuse(label + " names a file the sheet does not have");
    if (i == 0 && t.index1File != 0 && !hiddenTrackOneAudioInItsOwnFile(run.sheet))
        return run.refuse("INDEX 01 of track 1 lies in " + run.fileLabel(t.index1File) + ", not in the first file");
    if (t.index0 != -1 && t.index0File > t.index1File)
        return run.refuse("INDEX 00 of " + label + " lies in " + run.fileLabel(t.index0File) +
                          ", after its INDEX 01 in " + run.fileLabel(t.index1File));
    for (std::int32_t file : {t.index0 != -1 ? t.index0File : -1, t.index1File}) {
        if (file != -1 && t.sectorSize == 0 && !measuredInFrames(run.file(file)))
            return run.refuse(label + " has a track type without a sector size, but " + run.fileLabel(file) +
                              " is measured in bytes");
    }
    if (t.index0 != -1 && !run.checkWithinFile("INDEX 00 of " + label, t.index0, t.index0File, t.sectorSize))
        return false;
    return run.checkWithinFile("INDEX 01 of " + label, t.index1, t.index1File, t.sectorSize);
}

// Ends track p where the sheet's REM LEAD-OUT says, or at `end` (a position
// in the current file). Returns the position where p ends.
bool closeTrack(LayoutRun& run, std::size_t p, std::int64_t end, std::int64_t* endsAt) {
    CueTrack& previous = run.sheet.tracks[p];
    std::int64_t start = startWithin(previous, run.currentFile);
    if (previous.leadOut != 0) {
        if (previous.leadOut < start)
            return run.refuse("REM LEAD-OUT of " + trackLabel(p) + " at " + formatMsf(previous.leadOut) +
                              " lies before its start at " + formatMsf(start) + " in " + run.fileLabel(run.currentFile));
        if (!run.checkWithinFile("REM LEAD-OUT of " + trackLabel(p), previous.leadOut, run.currentFile,
                                 previous.sectorSize))
            return false;
        end = previous.leadOut;
    }
    *endsAt = end;
    return run.store(end - start, &previous.length, p);
}

// Track p is the last to start in the current file, which the layout leaves:
// p runs to the end of the file and the next file's base follows it.
bool leaveFile(LayoutRun& run, std::size_t p) {
    std::int64_t remaining = 0;
    if (!run.remainingFrames(p, &remaining)) return false;
    std::int64_t end = 0;
    if (!closeTrack(run, p, run.file(run.currentFile).framesUsed + remaining, &end)) return false;
    run.fileBase += end;
    return true;
}

bool placeIndex0(LayoutRun& run, std::size_t i) {
    CueTrack& t = run.sheet.tracks[i];
    return run.store(t.index0 + run.gapsAndBase(), &t.absIndex0, i);
}

// A file that holds nothing but track i's INDEX 00 lies on the disc whole.
bool placeIndex0InItsOwnFile(LayoutRun& run, std::size_t i) {
    const CueTrack& t = run.sheet.tracks[i];
    if (!placeIndex0(run, i)) return false;
    run.fileBase += run.fileFrames(t.index0File, t.sectorSize);
    return true;
}

// Moves the layout from the previous track to the start of track i.
bool reachTrack(LayoutRun& run, std::size_t i) {
    CueTrack& t = run.sheet.tracks[i];
    bool hasIndex0 = t.index0 != -1;
    std::int32_t start = startWithin(t, t.index1File);
    if (i == 0) {
        bool index0InItsOwnFile = hasIndex0 && t.index0File != t.index1File;
        if (index0InItsOwnFile && !placeIndex0InItsOwnFile(run, i)) return false;
        run.enterFile(t.index1File, start, t.sectorSize);
        return !hasIndex0 || index0InItsOwnFile || placeIndex0(run, i);
    }
    std::size_t p = i - 1;
    std::int32_t firstFile = hasIndex0 ? t.index0File : t.index1File;
    if (firstFile < run.currentFile)
        return run.refuse(trackLabel(i) + " lies in " + run.fileLabel(firstFile) + ", before " +
                          run.fileLabel(run.currentFile) + " of " + trackLabel(p));
    std::int32_t previousStart = startWithin(run.sheet.tracks[p], run.currentFile);
    std::int32_t firstPosition = hasIndex0 ? t.index0 : t.index1;
    if (firstFile == run.currentFile && firstPosition < previousStart)
        return run.refuse(trackLabel(i) + " starts at " + formatMsf(firstPosition) + " in " +
                          run.fileLabel(run.currentFile) + ", before " + trackLabel(p) + " at " +
                          formatMsf(previousStart));

    if (t.index1File == run.currentFile) {
        std::int64_t d = start - previousStart;
        std::int64_t end = 0;
        if (!closeTrack(run, p, start, &end)) return false;
        run.advance(d, run.sheet.tracks[p].sectorSize);
        return !hasIndex0 || placeIndex0(run, i);
    }

    // INDEX 00 at the end of the file being left lies inside the previous track.
    if (hasIndex0 && t.index0File == run.currentFile && !placeIndex0(run, i)) return false;
    if (!leaveFile(run, p)) return false;
    if (hasIndex0 && t.index0File != run.currentFile && t.index0File != t.index1File &&
        !placeIndex0InItsOwnFile(run, i))
        return false;
    run.enterFile(t.index1File, start, t.sectorSize);
    return !(hasIndex0 && t.index0File == t.index1File) || placeIndex0(run, i);
}

// The last track runs to the end of its file; its leadOut becomes the disc's.
bool closeDisc(LayoutRun& run) {
    std::size_t l = run.sheet.tracks.size() - 1;
    std::int64_t remaining = 0;
    if (!run.remainingFrames(l, &remaining)) return false;
    CueTrack& last = run.sheet.tracks[l];
    if (!run.store(remaining, &last.length, l)) return false;
    bool index0InOwnFile = last.index0 != -1 && last.index0File == last.index1File;
    std::int64_t start = index0InOwnFile ? std::int64_t{last.absIndex0} + last.pregap : last.absIndex1;
    return run.store(start + last.length + last.postgap, &last.leadOut, l);
}

}  // namespace

bool computeLayout(CueSheet& sheet, std::string* problem) {
    if (sheet.tracks.empty()) return true;
    LayoutRun run{sheet, problem};
    for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
        if (!checkTrackRecord(run, i) || !reachTrack(run, i)) return false;
        CueTrack& t = sheet.tracks[i];
        run.pregapSum += t.pregap;
        if (!run.store(t.index1 + run.gapsAndBase(), &t.absIndex1, i)) return false;
        run.postgapSum += t.postgap;
    }
    return closeDisc(run);
}

}  // namespace trakmap
