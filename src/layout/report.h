// The "CD Layout" table and the "Files" list.
#pragma once

#include <cstdio>

#include "cue/model.h"

namespace trakmap {

// One row per pregap, index, postgap and lead-out of every track, grouped by
// session. Prints nothing for a sheet without tracks.
void printLayout(const CueSheet& sheet, std::FILE* out);

// The "Files" heading and one line per file of the sheet.
void printFileList(const CueSheet& sheet, std::FILE* out);

}  // namespace trakmap
