// Reads a cue sheet, line by line, into an empty CueSheet.
#pragma once

#include <cstdio>
#include <string>

#include "cue/model.h"

namespace trakmap {

// True when the end of the stream was reached without error. On a malformed
// line the parse error is shown to the user and false returned with `problem`
// left empty; on a silent failure false is returned with `problem` saying why.
// A null stream gives false.
bool parseCueSheet(std::FILE* stream, CueSheet& sheet, std::string* problem);

}  // namespace trakmap
