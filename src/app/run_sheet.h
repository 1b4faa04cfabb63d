// One complete pass over one cue sheet: parse, echo, open and probe its files,
// lay the disc out, report it, and dump its CD-TEXT.
#pragma once

#include <array>
#include <cstdint>

#include "cdtext/cdtext.h"
#include "platform/platform.h"

namespace trakmap {

inline constexpr std::size_t kMaxSheetFiles = 128;

// Per-sheet state. Assigning a fresh DiscContext releases the files and the
// CD-TEXT that the previous sheet left behind.
struct DiscContext {
    std::array<UniqueFile, kMaxSheetFiles> handles;  // slot i: the sheet's i-th file
    std::uint8_t trackCount = 0;                      // low 8 bits of the track count
    std::uint8_t fileCount = 0;                       // referenced files opened so far
    CdTextBuffer cdText;
    std::uint8_t flags = 0;  // bit 3 set, bits 0-2 cleared whenever a file is opened
};

// True when the whole pass completed (layout, report and CD-TEXT printed).
// Every failure that the report does not show is explained in one line on
// standard error.
bool runSheet(const PathChar* sheetPath, DiscContext& context);

}  // namespace trakmap
