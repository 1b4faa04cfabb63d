#include "app/diagnostics.h"

#include <cstdio>
#include <string>

namespace trakmap {

namespace {

void writeLine(std::string_view text) {
    std::fflush(stdout);
    std::string line = "trakmap: ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

void reportAboutSheet(const PathChar* sheetPath, std::string_view text) {
    std::string line = platformPathToUtf8(sheetPath);
    line += ": ";
    line += text;
    writeLine(line);
}

void reportAboutRun(std::string_view text) { writeLine(text); }

}  // namespace trakmap
