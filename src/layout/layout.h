// Places the tracks of a parsed sheet on the disc: absolute INDEX 00 and
// INDEX 01 positions, track lengths and the lead-out, in CD frames.
#pragma once

#include <string>

#include "cue/model.h"

namespace trakmap {

// Fills absIndex0, absIndex1, length (and the last track's leadOut) of every
// track and bytesUsed/framesUsed of every file. Returns false, with `problem`
// saying which track, file and numbers, when the sheet cannot be laid out.
bool computeLayout(CueSheet& sheet, std::string* problem);

}  // namespace trakmap
