#include "app/sheet_files.h"

#include <algorithm>
#include <array>

namespace trakmap {

namespace {

// The containers the tool measures, most likely first.
constexpr std::array<PathView, 6> kAudioExtensions = {
    TRAKMAP_PATH(".flac"), TRAKMAP_PATH(".ape"), TRAKMAP_PATH(".wv"),
    TRAKMAP_PATH(".tta"),  TRAKMAP_PATH(".m4a"), TRAKMAP_PATH(".wav"),
};

// The most opens one name can cost. Each of its two readings (as converted,
// and the platform's second reading) gives at most: the name itself, the
// sheet's base name with the name's extension, the name's last component in
// the sheet's folder, and the audio extensions on each of the name, that last
// component and the sheet's base name. A candidate tried before is not opened
// again, so most names cost far less.
constexpr std::size_t kReadingsPerName = 2;
constexpr std::size_t kOpensPerReading = 3 + 3 * kAudioExtensions.size();
constexpr std::size_t kMaxOpensPerName = kReadingsPerName * kOpensPerReading;
static_assert(kMaxOpensPerName == 42);

// Both systems' separators: sheets travel between them.
bool isSeparator(PathChar c) { return c == PathChar('/') || c == PathChar('\\'); }

bool hasDriveLetter(PathView name) { return name.size() >= 2 && name[1] == PathChar(':'); }

// "/music/a.wav", "\music\a.wav", "\\server\share\a.wav", "C:\music\a.wav"
// and "C:a.wav", whichever system the sheet was made on.
bool isAbsoluteInEitherForm(PathView name) {
    return (!name.empty() && isSeparator(name[0])) || hasDriveLetter(name);
}

// Where the last component of a name begins: after its last separator, or
// after a drive letter.
std::size_t lastComponentStart(PathView name) {
    std::size_t start = hasDriveLetter(name) ? 2 : 0;
    for (std::size_t i = start; i < name.size(); ++i)
        if (isSeparator(name[i])) start = i + 1;
    return start;
}

// A name that stays inside the folder it is put in: not empty, not "." or
// "..", and without ":" (a drive or, on Windows, a stream of another file).
bool isPlainName(PathView component) {
    if (component.empty() || component == TRAKMAP_PATH(".") || component == TRAKMAP_PATH("..")) return false;
    return std::none_of(component.begin(), component.end(),
                        [](PathChar c) { return isSeparator(c) || c == PathChar(':'); });
}

// A file name without its extension; a leading "." starts no extension.
PathView stemOf(PathView fileName) {
    std::size_t dot = fileName.rfind(PathChar('.'));
    return dot == PathView::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

// Characters after the last "." of the name when there are fewer than 8 of
// them; otherwise, or without a ".", no extension.
PathView extensionOf(PathView name) {
    std::size_t dot = name.rfind(PathChar('.'));
    if (dot == PathView::npos) return {};
    PathView extension = name.substr(dot + 1);
    return extension.size() < 8 ? extension : PathView{};
}

struct Resolution {
    PathView folder;     // the sheet's folder, without the separator after it
    PathView sheetName;  // the sheet's own file name
    SheetFileKind kind;
    SheetFileSearch& search;
    std::size_t opens = 0;

    PathString inSheetFolder(PathView name) const {
        PathString candidate(folder);
        candidate += kPathSeparator;
        candidate += name;
        return candidate;
    }

    NativeFile open(PathString candidate) {
        if (std::find(search.tried.begin(), search.tried.end(), candidate) != search.tried.end())
            return kInvalidFile;
        search.tried.push_back(candidate);
        if (candidate.size() + 1 > kMaxCandidatePath || opens >= kMaxOpensPerName) return kInvalidFile;
        ++opens;
        NativeFile file = platformOpenFile(candidate.c_str(), kOpenRead);
        if (file != kInvalidFile) search.opened = std::move(candidate);
        return file;
    }

    // `prefix` + `stem` + each audio extension, until one opens.
    NativeFile openWithAudioExtensions(const PathString& prefix, PathView stem) {
        for (PathView extension : kAudioExtensions) {
            PathString candidate = prefix;
            candidate += stem;
            candidate += extension;
            NativeFile file = open(std::move(candidate));
            if (file != kInvalidFile) return file;
        }
        return kInvalidFile;
    }

    // An absolute name as it stands; otherwise the name in the sheet's
    // folder, then the sheet's base name with the name's extension. Null
    // `converted`: the name could not be converted, only the base name is tried.
    NativeFile openAsWritten(const PathString* converted) {
        if (converted != nullptr && platformIsAbsoluteSheetName(*converted)) return open(*converted);
        if (converted != nullptr) {
            NativeFile file = open(inSheetFolder(*converted));
            if (file != kInvalidFile) return file;
        }
        // album.cue naming a missing CD1.flac opens album.flac.
        std::size_t sheetDot = sheetName.rfind(PathChar('.'));
        if (sheetDot == PathView::npos) return kInvalidFile;
        PathView extension = converted != nullptr ? extensionOf(*converted) : PathView{};
        PathString candidate = inSheetFolder(sheetName.substr(0, sheetDot));
        if (!extension.empty()) {
            candidate += PathChar('.');
            candidate += extension;
        }
        return open(std::move(candidate));
    }

    // Where else a file of a stale or travelled sheet lies: a name from
    // another machine beside the sheet, an audio file under another extension.
    NativeFile openNearby(const PathString& converted) {
        std::size_t componentStart = lastComponentStart(converted);
        PathView component = PathView(converted).substr(componentStart);
        bool absolute = isAbsoluteInEitherForm(converted);
        bool besideTheSheet = absolute && isPlainName(component);
        if (besideTheSheet) {
            NativeFile file = open(inSheetFolder(component));
            if (file != kInvalidFile) return file;
        }
        if (kind != SheetFileKind::audio) return kInvalidFile;

        // The name's own folder; an absolute name of the other system's form
        // names no folder here.
        bool nativeAbsolute = platformIsAbsoluteSheetName(converted);
        if (nativeAbsolute || !absolute) {
            PathString prefix = nativeAbsolute ? PathString() : inSheetFolder({});
            prefix += PathView(converted).substr(0, componentStart);
            NativeFile file = openWithAudioExtensions(prefix, stemOf(component));
            if (file != kInvalidFile) return file;
        }
        if (besideTheSheet) {
            NativeFile file = openWithAudioExtensions(inSheetFolder({}), stemOf(component));
            if (file != kInvalidFile) return file;
        }
        return openWithAudioExtensions(inSheetFolder({}), stemOf(sheetName));
    }
};

}  // namespace

NativeFile openSheetFile(PathView sheetPath, std::size_t namePosition, std::string_view name, bool utf8,
                         SheetFileKind kind, SheetFileSearch* search) {
    SheetFileSearch ignored;
    SheetFileSearch& result = search != nullptr ? *search : ignored;
    result = {};
    Resolution resolution{sheetPath.substr(0, namePosition > 0 ? namePosition - 1 : 0),
                          sheetPath.substr(namePosition), kind, result};

    PathString converted;
    bool convertedOk = platformSheetNameToPath(name, utf8, kMaxCandidatePath, &converted);
    NativeFile file = resolution.openAsWritten(convertedOk ? &converted : nullptr);
    if (file != kInvalidFile) return file;

    // Beyond this point every file found is one the sheet does not name as it stands.
    if (convertedOk) file = resolution.openNearby(converted);
    PathString second;
    if (file == kInvalidFile && platformAlternativeSheetName(name, utf8, kMaxCandidatePath, &second)) {
        file = resolution.openAsWritten(&second);
        if (file == kInvalidFile) file = resolution.openNearby(second);
    }
    result.foundElsewhere = file != kInvalidFile;
    return file;
}

std::string shownCandidate(PathView sheetPath, std::size_t namePosition, PathView candidate) {
    PathView folderAndSeparator = sheetPath.substr(0, namePosition);
    if (namePosition > 0 && candidate.size() > folderAndSeparator.size() &&
        candidate.substr(0, folderAndSeparator.size()) == folderAndSeparator)
        candidate.remove_prefix(folderAndSeparator.size());
    return platformPathToUtf8(candidate);
}

}  // namespace trakmap
