// The command loop: every argument that is not an option names a cue sheet.
#pragma once

#include <cstdio>

#include "platform/platform.h"

namespace trakmap {

// Runs the command line and returns the process exit code: 0, or 1 for an
// unknown option.
int trakmapMain(int argc, PathChar** argv);

// The two usage lines.
void printUsage(std::FILE* out);

}  // namespace trakmap
