// The "CD Layout" table and the "Files" list.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cue/model.h"

namespace trakmap {

// A time cell of the table: MM:SS:FF (minutes modulo 256) and the frame count
// right-aligned in 7 columns, e.g. "04:00:00   18000". Negative differences
// are passed as their unsigned 32-bit value.
std::string formatMsfCell(std::uint32_t frames);

// One row per pregap, index, postgap and lead-out of every track, grouped by
// session. Prints nothing for a sheet without tracks.
void printLayout(const CueSheet& sheet, std::FILE* out);

// The "Files" heading and one line per file of the sheet.
void printFileList(const CueSheet& sheet, std::FILE* out);

}  // namespace trakmap
