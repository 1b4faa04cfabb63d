// Lines on standard error: every diagnostic the tool gives goes through here,
// so that they all read alike, reach the terminal in order with the report,
// and carry no control character and no byte that is not UTF-8 (such bytes
// are shown as "\xNN").
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace trakmap {

// "trakmap: <sheet>: <text>". Standard output is flushed first so that the two
// streams read in order on a terminal.
void reportAboutSheet(const PathChar* sheetPath, std::string_view text);

// "trakmap: <text>", for what concerns the whole run rather than one sheet.
void reportAboutRun(std::string_view text);

}  // namespace trakmap
