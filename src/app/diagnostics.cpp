#include "app/diagnostics.h"

#include <cstdio>
#include <string>

#include "platform/text_escape.h"

namespace trakmap {

namespace {

void writeLine(std::string_view text) {
    std::fflush(stdout);
    // Sheet texts, names and paths reach these lines: their control characters
    // and bytes that are not UTF-8 are shown escaped, never sent raw.
    std::string line = "trakmap: ";
    appendEscaped(line, text, TextRule::message);
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
