#include "app/run_sheet.h"

#include <cstdio>
#include <memory>
#include <string>

#include "app/diagnostics.h"
#include "app/sheet_files.h"
#include "audio/file_helpers.h"
#include "audio/probe.h"
#include "cue/parser.h"
#include "cue/writer.h"
#include "layout/layout.h"
#include "layout/report.h"

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

// Probes one WAVE-type file and keeps what the layout needs of the result;
// says on standard error what the user should know about the file. False
// when the file cannot be laid out.
bool measureFile(const PathChar* sheetPath, const std::string& label, CueFile& entry, NativeFile file) {
    ProbeResult probed = probeAudioFile(file);
    entry.measure = probed.measure;
    entry.frames = probed.frames;
    entry.audioInfo = std::move(probed.info);
    if (entry.audioInfo) {
        entry.audioInfo->seekPoints.reset();
        entry.audioInfo->seekPointCount = 0;
    }
    if (!probed.reason.empty()) reportAboutSheet(sheetPath, label + " " + quoted(entry.name) + ": " + probed.reason);
    return probed.measure != Measure::refused;
}

struct SheetLocation {
    PathString fullPath;
    std::size_t namePosition = 0;
};

// Says which file a stale sheet's name led to, so that the user can mend the sheet.
void reportFoundElsewhere(const PathChar* sheetPath, const SheetLocation& location, const std::string& label,
                          const char* name, const SheetFileSearch& search) {
    if (!search.foundElsewhere) return;
    reportAboutSheet(sheetPath, label + " " + quoted(name) + " opened as " +
                                    quoted(shownCandidate(location.fullPath, location.namePosition, search.opened)));
}

// Opens, measures and probes every file of the sheet; false (with the reason
// on standard error) at the first file that cannot be opened.
bool openSheetFiles(const PathChar* sheetPath, const SheetLocation& location, CueSheet& sheet,
                    DiscContext& context) {
    for (std::size_t i = 0; i < sheet.files.size(); ++i) {
        CueFile& entry = sheet.files[i];
        std::string label = "file " + std::to_string(i + 1);
        if (i >= kMaxSheetFiles) {
            explainFailure(sheetPath, label + " cannot be opened: a sheet may name at most " +
                                          std::to_string(kMaxSheetFiles) + " files");
            return false;
        }
        if (entry.name == nullptr) {
            explainFailure(sheetPath, label + " cannot be opened: its FILE line gives no name");
            return false;
        }
        SheetFileSearch search;
        NativeFile file = openSheetFile(location.fullPath, location.namePosition, entry.name, sheet.utf8,
                                        entry.type == kFileWave ? SheetFileKind::audio : SheetFileKind::other,
                                        &search);
        if (file == kInvalidFile) {
            explainFailure(sheetPath, "cannot open " + quoted(entry.name) + " (tried " +
                                          triedList(search.tried) + ")");
            return false;
        }
        reportFoundElsewhere(sheetPath, location, label, entry.name, search);
        context.handles[i].reset(file);
        ++context.fileCount;
        context.flags = static_cast<std::uint8_t>((context.flags & ~0x07u) | 0x08u);

        std::int64_t size = getFileSize64(file);
        entry.size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
        if (entry.type == kFileWave && !measureFile(sheetPath, label, entry, file)) return false;
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
        reportFoundElsewhere(sheetPath, location, "CDTEXTFILE", sheet.cdTextFile, search);
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
