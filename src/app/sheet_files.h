// Resolution of a file named in a sheet into an open file.
#pragma once

#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace trakmap {

// Opens the file that `name` (8-bit text from the sheet, UTF-8 when `utf8`)
// names, for reading: an absolute name as it stands; otherwise relative to
// the sheet's folder, falling back to the sheet's own base name with the
// name's extension. `sheetPath` is the sheet's full path and `namePosition`
// the start of its file name in it. Every candidate tried is appended to
// `tried` when given. Returns kInvalidFile when nothing could be opened.
NativeFile openSheetFile(PathView sheetPath, std::size_t namePosition, std::string_view name,
                         bool utf8, std::vector<PathString>* tried);

}  // namespace trakmap
