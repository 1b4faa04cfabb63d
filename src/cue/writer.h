// Prints a parsed sheet back in normalized form.
#pragma once

#include <cstdio>

#include "cue/model.h"

namespace trakmap {

void writeCueSheet(const CueSheet& sheet, std::FILE* out);

}  // namespace trakmap
