// Resolution of a file named in a sheet into an open file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace trakmap {

// What the file is for: audio files may also be found under the other audio
// extensions the tool measures, since rips get compressed after the sheet was
// written; any other file (a disc image, a CD-TEXT file) only by its name.
enum class SheetFileKind { audio, other };

// What a resolution tried and found.
struct SheetFileSearch {
    std::vector<PathString> tried;  // every distinct candidate, in the order tried
    PathString opened;              // the candidate that opened; empty when none did
    // The file was found only by a candidate beyond the name itself and the
    // sheet's base name with the name's extension: the sheet is stale.
    bool foundElsewhere = false;
};

// Opens the file that `name` (8-bit text from the sheet, UTF-8 when `utf8`)
// names, for reading. `sheetPath` is the sheet's full path and `namePosition`
// the start of its file name in it. The candidates, in this order, each opened
// at most once:
//  1. an absolute name as it stands; otherwise the name in the sheet's folder,
//     then the sheet's own base name with the name's extension;
//  2. for a name that is absolute in either system's form, its last component
//     in the sheet's folder;
//  3. for an audio file, the name with each audio extension in its folder,
//     that last component with each, and the sheet's base name with each;
//  4. steps 1 to 3 for the name's second reading in another encoding, when
//     the platform offers one.
// Returns kInvalidFile when nothing could be opened.
NativeFile openSheetFile(PathView sheetPath, std::size_t namePosition, std::string_view name, bool utf8,
                         SheetFileKind kind, SheetFileSearch* search);

// A candidate as messages show it: relative to the sheet's folder when it lies
// in that folder, else whole.
std::string shownCandidate(PathView sheetPath, std::size_t namePosition, PathView candidate);

}  // namespace trakmap
