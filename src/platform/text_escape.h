// Texts from sheets, file names and paths are untrusted: written raw to a
// terminal, an escape sequence in a TITLE could retitle the window, move the
// cursor or hide lines. This module writes them safely. It knows no operating
// system; it sits in the platform layer because the layer's own error output
// needs it too.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace trakmap {

// Which bytes a stream may carry raw. The others are shown as "\xNN" (two
// upper-case hexadecimal digits), as ls shows them.
enum class TextRule {
    asIs,      // a file or a pipe: the bytes as the sheet holds them
    terminal,  // C0 controls but tab and line feed, DEL, and C1 controls (UTF-8
               // encoded, or raw bytes 0x80-0x9F outside a UTF-8 sequence) escaped
    message,   // one line of standard error: as for a terminal, and line feeds and
               // every byte that is not part of valid UTF-8 escaped as well
};

// Appends `text` to `out`, escaped as `rule` says.
void appendEscaped(std::string& out, std::string_view text, TextRule rule);

// Whether `text` is well-formed UTF-8 (shortest forms, no surrogates, nothing
// above U+10FFFF).
bool isValidUtf8(std::string_view text);

// `text` made fit for one line of standard error.
std::string escapedForMessage(std::string_view text);

// Whether the report goes to a terminal. The command loop decides it once per
// run from standard output; tests set it to see what a terminal would show.
void setReportOnTerminal(bool onTerminal);
bool reportOnTerminal();

// Writes a text of the sheet, a name or a path into the report: byte for byte,
// or escaped when the report goes to a terminal.
void writeReportText(std::FILE* out, std::string_view text);

}  // namespace trakmap
