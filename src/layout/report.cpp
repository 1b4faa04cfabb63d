#include "layout/report.h"

#include "platform/text_escape.h"

namespace trakmap {

namespace {

constexpr const char* kColumnHeader =
    " File    Track    Index      AbsolutePosition        RelativePosition             Length\n";

// Table values are worked out in 64 bits and shown modulo 2^32, so a
// difference that comes out negative prints as its unsigned 32-bit value.
std::string cell(std::int64_t frames) { return formatMsfCell(static_cast<std::uint32_t>(frames)); }

void printGapRow(std::FILE* out, int trackNumber, int index, std::int64_t start, std::int64_t length) {
    std::fprintf(out, "  -        %d        %d        %s           -                    %s\n", trackNumber, index,
                 cell(start).c_str(), cell(length).c_str());
}

void printIndexRow(std::FILE* out, const CueTrack& track, int trackNumber, int index,
                   std::int64_t absolute, std::int64_t relative, std::int64_t length) {
    std::fprintf(out, "  %d       %2d        %d        %s        %s        %s\n", track.index1File + 1, trackNumber,
                 index, cell(absolute).c_str(), cell(relative).c_str(), cell(length).c_str());
}

// Length of the INDEX 01 part of track i: up to its lead-out or the start of
// the next track, less its postgap.
std::int64_t index1Length(const CueSheet& sheet, std::size_t i) {
    const CueTrack& t = sheet.tracks[i];
    bool last = i + 1 == sheet.tracks.size();
    if (last) {
        // A computed lead-out of 0 (an empty last file) leaves nothing to measure.
        if (t.leadOut == 0) return 0;
        return std::int64_t{t.leadOut} - t.absIndex1 - t.postgap;
    }
    if (t.leadOut != 0) {
        // A REM LEAD-OUT before the last track is a position within the
        // track's file, so it is measured against the file-relative INDEX 01.
        return std::int64_t{t.leadOut} - t.index1;
    }
    const CueTrack& next = sheet.tracks[i + 1];
    std::int64_t end = next.absIndex0 != -1 ? std::int64_t{next.absIndex0} : std::int64_t{next.absIndex1} - next.pregap;
    return end - t.absIndex1 - t.postgap;
}

}  // namespace

std::string formatMsfCell(std::uint32_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u %7u", frames / 4500 % 256, frames / 75 % 60, frames % 75,
                  frames);
    return text;
}

void printLayout(const CueSheet& sheet, std::FILE* out) {
    std::int32_t session = 0;
    for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
        const CueTrack& t = sheet.tracks[i];
        int n = static_cast<int>(i + 1);
        if (t.session != session) {
            session = t.session;
            std::fprintf(out, "Session %d\n", session);
            std::fputs(kColumnHeader, out);
        }
        if (t.pregap != 0) {
            std::int64_t start = t.absIndex0 != -1 ? std::int64_t{t.absIndex0} : std::int64_t{t.absIndex1} - t.pregap;
            printGapRow(out, n, 0, start, t.pregap);
        }
        if (t.index0 != -1) {
            std::int64_t a = std::int64_t{t.absIndex0} + t.pregap;
            printIndexRow(out, t, n, 0, a, t.index0, t.absIndex1 - a);
        }
        std::int64_t length = index1Length(sheet, i);
        printIndexRow(out, t, n, 1, t.absIndex1, t.index1, length);
        if (t.postgap != 0) printGapRow(out, n, 1, t.absIndex1 + length, t.postgap);
        if (t.leadOut != 0) std::fprintf(out, "LeadOut    -        -        %s\n\n", cell(t.leadOut).c_str());
    }
}

void printFileList(const CueSheet& sheet, std::FILE* out) {
    std::fputs("\nFiles:\n--------------------------------\n", out);
    for (std::size_t i = 0; i < sheet.files.size(); ++i) {
        const char* name = sheet.files[i].name;
        std::fprintf(out, "%d ", static_cast<int>(i + 1));
        writeReportText(out, name != nullptr ? name : "");
        std::fputc('\n', out);
    }
}

}  // namespace trakmap
