#include "app/run_sheet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/diagnostics.h"
#include "app/sheet_files.h"
#include "audio/file_helpers.h"
#include "audio/probe.h"
#include "cache/seek_table_cache.h"
#include "cue/parser.h"
#include "cue/writer.h"
#include "layout/layout.h"
#include "layout/report.h"
#include "platform/parallel.h"

namespace trakmap {

namespace {

constexpr const char* kRule = "--------------------------------\n";

// One line on standard error saying why a sheet failed.
void explainFailure(const PathChar* sheetPath, const std::string& reason) {
    reportAboutSheet(sheetPath, reason);
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string triedList(const std::vector<PathString>& tried) {
    std::string list;
    for (const PathString& candidate : tried) {
        if (!list.empty()) list += ", ";
        list += quoted(platformPathToUtf8(candidate));
        if (platformIsNonRegularFile(candidate.c_str())) list += ": not a regular file";
    }
    return list.empty() ? "no usable path" : list;
}

// One file of the sheet as it was opened, and what probing it found when it
// was probed ahead of its turn.
struct OpenedFile {
    std::string label;             // "file 3"
    std::string foundElsewhere;    // what to say about the name that found it, if anything
    std::optional<ProbeResult> probed;  // when probed ahead of its turn
    std::vector<std::string> cacheNotices;  // what the cache had to say while probing it
};

// The driver keeps nothing of a probe but the measure: not the seek table,
// which may be large, while the other files are probed.
void dropSeekTable(ProbeResult& result) {
    if (!result.info) return;
    result.info->seekPoints.reset();
    result.info->seekPointCount = 0;
}

// How many threads probe a sheet's files: TRAKMAP_THREADS when it holds a
// number from 1 to 64, else as many as this process may run at once.
unsigned probeThreads() {
    if (const char* text = std::getenv("TRAKMAP_THREADS")) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (end != text && *end == 0 && value >= 1 && value <= 64) return static_cast<unsigned>(value);
    }
    return platformProcessorCount();
}

// The one place where files are probed on several threads. Probing prints
// nothing and the report is made afterwards, file by file in order, so what
// the user sees does not depend on which file was done first. A file that
// holds more than half of the sheet's audio bytes (the only one of a sheet,
// most often) would keep one thread busy long after the others are done:
// its walk is split over all the threads as well.
void probeAhead(const CueSheet& sheet, const DiscContext& context, std::vector<OpenedFile>& opened,
                unsigned threads) {
    std::vector<std::size_t> audio;
    std::uint64_t audioBytes = 0;
    for (std::size_t i = 0; i < opened.size(); ++i) {
        if (sheet.files[i].type != kFileWave) continue;
        audio.push_back(i);
        audioBytes += sheet.files[i].size;
    }
    if (threads <= 1 || audio.empty()) return;
    const unsigned fileThreads = static_cast<unsigned>(std::min<std::size_t>(threads, audio.size()));
    platformRunInParallel(audio.size(), fileThreads, [&](std::size_t n) {
        OpenedFile& file = opened[audio[n]];
        const unsigned walkThreads = sheet.files[audio[n]].size > audioBytes / 2 ? threads : 1;
        holdSeekTableCacheNotices(&file.cacheNotices);
        file.probed = probeAudioFileOnThreads(context.handles[audio[n]].get(), walkThreads);
        dropSeekTable(*file.probed);
        holdSeekTableCacheNotices(nullptr);
    });
}

// Probes one WAVE-type file, unless it was probed ahead, and keeps what the
// layout needs of the result; says on standard error what the user should
// know about the file. False when the file cannot be laid out.
bool measureFile(const PathChar* sheetPath, OpenedFile& file, CueFile& entry, NativeFile handle) {
    ProbeResult probed = file.probed ? std::move(*file.probed) : probeAudioFile(handle);
    dropSeekTable(probed);
    for (const std::string& notice : file.cacheNotices) giveSeekTableCacheNotice(notice);
    const std::string& label = file.label;
    entry.measure = probed.measure;
    entry.frames = probed.frames;
    entry.audioInfo = std::move(probed.info);
    if (!probed.reason.empty()) reportAboutSheet(sheetPath, label + " " + quoted(entry.name) + ": " + probed.reason);
    return probed.measure != Measure::refused;
}

struct SheetLocation {
    PathString fullPath;
    std::size_t namePosition = 0;
};

// What to say about the file a stale sheet's name led to, so that the user
// can mend the sheet; empty when the name led where it says.
std::string foundElsewhereText(const SheetLocation& location, const std::string& label, const char* name,
                               const SheetFileSearch& search) {
    if (!search.foundElsewhere) return {};
    return label + " " + quoted(name) + " opened as " +
           quoted(shownCandidate(location.fullPath, location.namePosition, search.opened));
}

// Opens the sheet's files in order up to the first that cannot be opened,
// probes the WAVE-type ones, then says what there is to say about each file
// in order; false (with the reason on standard error) at the first file that
// is refused or, after everything before it, at the file that could not be
// opened.
bool openSheetFiles(const PathChar* sheetPath, const SheetLocation& location, CueSheet& sheet,
                    DiscContext& context) {
    std::vector<OpenedFile> opened;
    std::string openFailure;
    for (std::size_t i = 0; i < sheet.files.size(); ++i) {
        CueFile& entry = sheet.files[i];
        std::string label = "file " + std::to_string(i + 1);
        if (i >= kMaxSheetFiles) {
            openFailure = label + " cannot be opened: a sheet may name at most " + std::to_string(kMaxSheetFiles) +
                          " files";
            break;
        }
        if (entry.name == nullptr) {
            openFailure = label + " cannot be opened: its FILE line gives no name";
            break;
        }
        SheetFileSearch search;
        NativeFile file = openSheetFile(location.fullPath, location.namePosition, entry.name, sheet.utf8,
                                        entry.type == kFileWave ? SheetFileKind::audio : SheetFileKind::other,
                                        &search);
        if (file == kInvalidFile) {
            openFailure = "cannot open " + quoted(entry.name) + " (tried " + triedList(search.tried) + ")";
            break;
        }
        OpenedFile& done = opened.emplace_back();
        done.foundElsewhere = foundElsewhereText(location, label, entry.name, search);
        done.label = std::move(label);
        context.handles[i].reset(file);
        ++context.fileCount;
        context.flags = static_cast<std::uint8_t>((context.flags & ~0x07u) | 0x08u);

        std::int64_t size = getFileSize64(file);
        entry.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }

    probeAhead(sheet, context, opened, probeThreads());
    for (std::size_t i = 0; i < opened.size(); ++i) {
        if (!opened[i].foundElsewhere.empty()) reportAboutSheet(sheetPath, opened[i].foundElsewhere);
        CueFile& entry = sheet.files[i];
        if (entry.type == kFileWave && !measureFile(sheetPath, opened[i], entry, context.handles[i].get()))
            return false;
    }
    if (!openFailure.empty()) {
        explainFailure(sheetPath, openFailure);
        return false;
    }
    return true;
}

// The CD-TEXT file the sheet names, or else the CD-TEXT built from the sheet.
CdTextBuffer obtainCdText(const PathChar* sheetPath, const SheetLocation& location, const CueSheet& sheet) {
    CdTextBuffer cdText;
    if (sheet.cdTextFile != nullptr) {
        SheetFileSearch search;
        UniqueFile file(openSheetFile(location.fullPath, location.namePosition, sheet.cdTextFile, sheet.utf8,
                                      SheetFileKind::other, &search));
        std::string elsewhere = foundElsewhereText(location, "CDTEXTFILE", sheet.cdTextFile, search);
        if (!elsewhere.empty()) reportAboutSheet(sheetPath, elsewhere);
        if (file.valid()) cdText = loadCdTextFile(file.get());
    }
    if (!cdText.bytes) cdText = buildCdText(sheet);
    return cdText;
}

}  // namespace

bool runSheet(const PathChar* sheetPath, DiscContext& context) {
    SheetLocation location;
    if (!platformFullPath(sheetPath, &location.fullPath, &location.namePosition)) {
        explainFailure(sheetPath, "no full path with a file name can be made of it");
        return false;
    }
    std::FILE* stream = platformOpenStream(sheetPath);
    if (stream == nullptr) {
        explainFailure(sheetPath, "the sheet cannot be opened");
        return false;
    }
    std::unique_ptr<CueSheet> sheet = createCueSheet();
    std::string problem;
    bool parsed = sheet && parseCueSheet(stream, *sheet, &problem);
    std::fclose(stream);
    if (!parsed) {
        if (!sheet) explainFailure(sheetPath, "out of memory");
        else if (!problem.empty()) explainFailure(sheetPath, problem);
        return false;
    }

    std::fputs("\n\n.cue Content:\n", stdout);
    std::fputs(kRule, stdout);
    writeCueSheet(*sheet, stdout);

    context.trackCount = static_cast<std::uint8_t>(sheet->tracks.size());
    if (!openSheetFiles(sheetPath, location, *sheet, context)) return false;

    if (!computeLayout(*sheet, &problem)) {
        explainFailure(sheetPath, problem);
        return false;
    }
    std::fputs("\n\nCD Layout:\n", stdout);
    std::fputs(kRule, stdout);
    printLayout(*sheet, stdout);
    printFileList(*sheet, stdout);

    context.cdText = obtainCdText(sheetPath, location, *sheet);
    std::fputs("\n\nCDTEXT:\n", stdout);
    std::fputs(kRule, stdout);
    if (context.cdText.bytes && context.cdText.length > 4)
        dumpCdText(std::span<const std::uint8_t>(context.cdText.bytes.get() + 4, context.cdText.length - 4),
                   stdout);
    return true;
}

}  // namespace trakmap
