#include "cue/writer.h"

#include "platform/text_escape.h"

namespace trakmap {

namespace {

// A time field as minutes (low 16 bits), seconds and frames of the value
// taken as unsigned.
void printTime(std::FILE* out, const char* prefix, std::int32_t frames) {
    auto v = static_cast<std::uint32_t>(frames);
    std::fprintf(out, "%s %02d:%02d:%02d\n", prefix, static_cast<int>((v / 4500) & 0xFFFF),
                 static_cast<int>((v % 4500) / 75), static_cast<int>(v % 75));
}

void printQuoted(std::FILE* out, const char* label, CueText text) {
    if (text == nullptr) return;
    std::fprintf(out, "%s \"", label);
    writeReportText(out, text);
    std::fputs("\"\n", out);
}

void printPlain(std::FILE* out, const char* label, CueText text) {
    if (text == nullptr) return;
    std::fprintf(out, "%s ", label);
    writeReportText(out, text);
    std::fputs("\n", out);
}

void printFileLine(std::FILE* out, const CueSheet& sheet, std::int32_t fileIndex) {
    if (fileIndex < 0 || static_cast<std::size_t>(fileIndex) >= sheet.files.size()) return;
    const CueFile& file = sheet.files[static_cast<std::size_t>(fileIndex)];
    std::fputs("FILE \"", out);
    writeReportText(out, file.name != nullptr ? file.name : "");
    std::fprintf(out, "\" %s\n", fileTypeWord(file.type));
}

void printDiscLines(std::FILE* out, const CueSheet& sheet) {
    printQuoted(out, "REM GENRE", sheet.genre);
    printPlain(out, "REM DATE", sheet.date);
    printPlain(out, "REM DISCID", sheet.discId);
    printQuoted(out, "REM COMMENT", sheet.comment);
    printPlain(out, "CATALOG", sheet.disc.isrc);
    printQuoted(out, "PERFORMER", sheet.disc.performer);
    printQuoted(out, "SONGWRITER", sheet.disc.songwriter);
    printQuoted(out, "COMPOSER", sheet.disc.composer);
    printQuoted(out, "ARRANGER", sheet.disc.arranger);
    printQuoted(out, "MESSAGE", sheet.disc.message);
    printQuoted(out, "TITLE", sheet.disc.title);
    printQuoted(out, "CDTEXTFILE", sheet.cdTextFile);
}

}  // namespace

void writeCueSheet(const CueSheet& sheet, std::FILE* out) {
    printDiscLines(out, sheet);
    std::int32_t lastFileWritten = -1;
    for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
        const CueTrack& track = sheet.tracks[i];
        // INDEX 00 at the end of one file and INDEX 01 in the next: the FILE
        // line goes between the two. When the INDEX 00 file is not the one
        // written last (a file that holds nothing but this INDEX 00, as
        // hidden track one audio ripped on its own), its FILE line comes
        // first, or the written sheet would lose it.
        bool crossFile = track.index0File != -1 && track.index0File != track.index1File;
        if (crossFile && track.index0File != lastFileWritten) {
            printFileLine(out, sheet, track.index0File);
            lastFileWritten = track.index0File;
        }
        if (!crossFile && track.index1File != lastFileWritten) printFileLine(out, sheet, track.index1File);
        std::fprintf(out, "  TRACK %02d %s\n", static_cast<int>(i + 1), trackTypeWord(track.type));
        printQuoted(out, "    TITLE", track.title);
        printQuoted(out, "    PERFORMER", track.performer);
        printQuoted(out, "    COMPOSER", track.composer);
        printPlain(out, "    ISRC", track.isrc);
        if (track.pregap != 0) printTime(out, "    PREGAP", track.pregap);
        if (track.index0 != -1) printTime(out, "    INDEX 00", track.index0);
        if (crossFile) printFileLine(out, sheet, track.index1File);
        // A track without INDEX 01 is written without the line.
        if (track.index1 != -1) printTime(out, "    INDEX 01", track.index1);
        if (track.postgap != 0) printTime(out, "    POSTGAP", track.postgap);
        if (track.leadOut != 0) {
            std::fputs("\n", out);
            printTime(out, "REM LEAD-OUT", track.leadOut);
            // Widened: the session number read from the sheet may be INT_MAX.
            std::fprintf(out, "REM SESSION %02lld\n", static_cast<long long>(track.session) + 1);
        }
        // A track without INDEX 01 wrote no FILE line of its own.
        if (track.index1File != -1) lastFileWritten = track.index1File;
    }
}

}  // namespace trakmap
