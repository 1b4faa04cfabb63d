#include "app/sheet_files.h"

namespace trakmap {

namespace {

// Characters after the last "." of the name when there are fewer than 8 of
// them; otherwise, or without a ".", no extension.
PathView extensionOf(PathView name) {
    std::size_t dot = name.rfind(PathChar('.'));
    if (dot == PathView::npos) return {};
    PathView extension = name.substr(dot + 1);
    return extension.size() < 8 ? extension : PathView{};
}

NativeFile openCandidate(const PathString& candidate, std::vector<PathString>* tried) {
    if (tried != nullptr) tried->push_back(candidate);
    if (candidate.size() + 1 > kMaxCandidatePath) return kInvalidFile;
    return platformOpenFile(candidate.c_str(), kOpenRead);
}

}  // namespace

NativeFile openSheetFile(PathView sheetPath, std::size_t namePosition, std::string_view name,
                         bool utf8, std::vector<PathString>* tried) {
    PathString converted;
    bool convertedOk = platformSheetNameToPath(name, utf8, kMaxCandidatePath, &converted);
    if (convertedOk && platformIsAbsoluteSheetName(converted)) return openCandidate(converted, tried);

    // The sheet's folder, without the separator before its file name.
    PathView folder = sheetPath.substr(0, namePosition > 0 ? namePosition - 1 : 0);
    PathView sheetName = sheetPath.substr(namePosition);

    if (convertedOk) {
        PathString candidate(folder);
        candidate += kPathSeparator;
        candidate += converted;
        NativeFile file = openCandidate(candidate, tried);
        if (file != kInvalidFile) return file;
    }

    // Fallback: the sheet's own base name with the extension of the name
    // written in the sheet (album.cue naming a missing CD1.flac opens album.flac).
    std::size_t sheetDot = sheetName.rfind(PathChar('.'));
    if (sheetDot == PathView::npos) return kInvalidFile;
    PathView extension = convertedOk ? extensionOf(converted) : PathView{};
    PathString candidate(folder);
    candidate += kPathSeparator;
    candidate += sheetName.substr(0, sheetDot);
    if (!extension.empty()) {
        candidate += PathChar('.');
        candidate += extension;
    }
    return openCandidate(candidate, tried);
}

}  // namespace trakmap
