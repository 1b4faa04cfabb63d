// What a terminal and standard error are shown of untrusted text, and that
// the report keeps its bytes when it does not go to a terminal.
#include <gtest/gtest.h>

#include <string>

#include "cue/writer.h"
#include "platform/text_escape.h"
#include "support/capture_output.h"

namespace trakmap {
namespace {

TEST(TextEscape, TerminalAndMessageRules) {
    struct Case {
        const char* what;
        std::string text;
        std::string terminal;
        std::string message;
    };
    const Case cases[] = {
        {"plain", "Track 1 \"Intro\" \\ x", "Track 1 \"Intro\" \\ x", "Track 1 \"Intro\" \\ x"},
        {"tab", "a\tb", "a\tb", "a\tb"},
        {"line feed", "a\nb", "a\nb", "a\\x0Ab"},
        {"escape sequence", "a\x1B]0;title\x07z", "a\\x1B]0;title\\x07z", "a\\x1B]0;title\\x07z"},
        {"backspace, carriage return, zero", std::string("a\b\r\0z", 5), "a\\x08\\x0D\\x00z", "a\\x08\\x0D\\x00z"},
        {"delete", "a\x7F", "a\\x7F", "a\\x7F"},
        {"UTF-8 letters and symbols", "Caf\xC3\xA9 \xE2\x99\xAA \xF0\x9F\x8E\xB5", "Caf\xC3\xA9 \xE2\x99\xAA \xF0\x9F\x8E\xB5",
         "Caf\xC3\xA9 \xE2\x99\xAA \xF0\x9F\x8E\xB5"},
        {"C1 control in UTF-8", "a\xC2\x9B" "2J", "a\\xC2\\x9B2J", "a\\xC2\\x9B2J"},
        {"no-break space in UTF-8", "a\xC2\xA0z", "a\xC2\xA0z", "a\xC2\xA0z"},
        // Windows-1252: an en dash (0x96, a C1 control in 8-bit terminals) and an e acute.
        {"8-bit text", "Caf\xE9 \x96 x", "Caf\xE9 \\x96 x", "Caf\\xE9 \\x96 x"},
        {"cut sequence", "a\xE2\x99", "a\xE2\\x99", "a\\xE2\\x99"},
        {"overlong form", "\xC0\xAF", "\xC0\xAF", "\\xC0\\xAF"},
        {"surrogate", "\xED\xA0\x80", "\xED\xA0\\x80", "\\xED\\xA0\\x80"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\xF4\\x90\\x80\\x80", "\\xF4\\x90\\x80\\x80"},
    };
    for (const Case& c : cases) {
        std::string terminal, message, asIs;
        appendEscaped(terminal, c.text, TextRule::terminal);
        appendEscaped(asIs, c.text, TextRule::asIs);
        EXPECT_EQ(terminal, c.terminal) << c.what;
        EXPECT_EQ(escapedForMessage(c.text), c.message) << c.what;
        EXPECT_EQ(asIs, c.text) << c.what;
    }
}

TEST(TextEscape, ReportTextsAreEscapedOnlyForATerminal) {
    auto sheet = createCueSheet();
    ASSERT_TRUE(sheet);
    sheet->disc.title = "a\x1B[2Jb";
    sheet->files.push_back(CueFile{});
    sheet->files[0].name = "x\x07.wav";
    sheet->files[0].type = kFileWave;
    sheet->tracks.push_back(CueTrack{});
    sheet->tracks[0].index1File = 0;
    sheet->tracks[0].index1 = 0;
    sheet->tracks[0].type = kTrackAudio;
    auto written = [&] { return test::captureOutput([&](std::FILE* out) { writeCueSheet(*sheet, out); }); };

    const std::string raw = written();
    setReportOnTerminal(true);
    const std::string shown = written();
    setReportOnTerminal(false);
    EXPECT_EQ(raw, "TITLE \"a\x1B[2Jb\"\nFILE \"x\x07.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    EXPECT_EQ(shown, "TITLE \"a\\x1B[2Jb\"\nFILE \"x\\x07.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
}

}  // namespace
}  // namespace trakmap
