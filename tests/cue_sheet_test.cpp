// The cue sheet parser and the normalized writer, driven through text: each
// case is a sheet and what the writer prints back (or how the parse fails).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cue/parser.h"
#include "cue/writer.h"

namespace trakmap {
namespace {

struct ParseOutcome {
    bool ok = false;
    std::string problem;  // reason of a silent failure
    std::string message;  // what was shown to the user (stderr here)
    std::string written;  // the writer's output after a successful parse
    std::unique_ptr<CueSheet> sheet;
};

// Parses `text` into `sheet`; what the parser showed the user lands in `message`.
bool parseInto(const std::string& text, CueSheet& sheet, std::string* problem, std::string* message) {
    std::FILE* stream = text.empty() ? std::tmpfile() : fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    testing::internal::CaptureStderr();
    bool ok = parseCueSheet(stream, sheet, problem);
    *message = testing::internal::GetCapturedStderr();
    if (stream != nullptr) std::fclose(stream);
    return ok;
}

std::string writtenForm(const CueSheet& sheet) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    writeCueSheet(sheet, out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// What the written form of a sheet must say as the sheet did: the files that
// tracks refer to (the writer leaves out the others), renumbered in order, and
// every INDEX 00 and INDEX 01 with its position and file.
std::string indexModel(const CueSheet& sheet) {
    std::vector<int> number(sheet.files.size(), 0);
    for (const CueTrack& t : sheet.tracks)
        for (std::int32_t file : {t.index0 != -1 ? t.index0File : -1, t.index1File})
            if (file >= 0) number[static_cast<std::size_t>(file)] = 1;
    std::string model;
    int next = 0;
    for (std::size_t f = 0; f < sheet.files.size(); ++f) {
        if (number[f] == 0) continue;
        number[f] = ++next;
        const char* name = sheet.files[f].name;
        model += "file " + std::to_string(next) + " \"" + (name != nullptr ? name : "") + "\" " +
                 fileTypeWord(sheet.files[f].type) + "\n";
    }
    auto index = [&](const char* label, std::int32_t position, std::int32_t file) {
        if (position == -1) return;
        model += std::string(label) + formatMsf(position) + " in file " +
                 (file >= 0 ? std::to_string(number[static_cast<std::size_t>(file)]) : "none");
    };
    for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
        const CueTrack& t = sheet.tracks[i];
        model += "track " + std::to_string(i + 1);
        index(", INDEX 00 ", t.index0, t.index0File);
        index(", INDEX 01 ", t.index1, t.index1File);
        model += "\n";
    }
    return model;
}

// Parses `text` and, when that succeeds, writes the sheet back and requires
// that the written form parses to the same files and indexes.
ParseOutcome parseText(const std::string& text) {
    ParseOutcome outcome;
    outcome.sheet = createCueSheet();
    outcome.ok = parseInto(text, *outcome.sheet, &outcome.problem, &outcome.message);
    if (!outcome.ok) return outcome;
    outcome.written = writtenForm(*outcome.sheet);
    std::unique_ptr<CueSheet> again = createCueSheet();
    std::string problem;
    std::string message;
    if (!parseInto(outcome.written, *again, &problem, &message))
        ADD_FAILURE() << "the written form does not parse: " << problem << message << "\n" << outcome.written;
    else
        EXPECT_EQ(indexModel(*again), indexModel(*outcome.sheet)) << "written form:\n" << outcome.written;
    return outcome;
}

struct RoundTrip {
    const char* name;
    std::string input;
    std::string expected;
};

class CueRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(CueRoundTrip, WritesTheSheetBackNormalized) {
    ParseOutcome outcome = parseText(GetParam().input);
    ASSERT_TRUE(outcome.ok) << outcome.problem << outcome.message;
    EXPECT_EQ(outcome.written, GetParam().expected);
    EXPECT_EQ(outcome.message, "");
}

const std::string kTwoTracks =
    "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
    "  TRACK 02 AUDIO\n    INDEX 00 03:58:40\n    INDEX 01 04:00:00\n";

std::string repeated(char c, std::size_t count) { return std::string(count, c); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CueRoundTrip,
    testing::Values(
        RoundTrip{"TwoTracksOneFile", kTwoTracks, kTwoTracks},
        RoundTrip{"KeywordsInAnyCaseAndRenumberedTracks",
                  "file \"a.wav\" wave\r\ntrack 05 audio\r\nindex 01 00:00:00\r\n"
                  "Track 9 MODE1/2352\r\n\tIndex 1 01:00:00\r\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                  "  TRACK 02 MODE1/2352\n    INDEX 01 01:00:00\n"},
        RoundTrip{"FileAndTrackTypeWords",
                  "FILE \"a b.flac\" FLAC\nTRACK 1 CDG\nINDEX 1 0:0:0\nFILE x.bin Binary\nTRACK 2 odd\nINDEX 01 00:00:00\n",
                  "FILE \"a b.flac\" WAVE\n  TRACK 01 CDG\n    INDEX 01 00:00:00\n"
                  "FILE \"x.bin\" BINARY\n  TRACK 02 Unknown\n    INDEX 01 00:00:00\n"},
        RoundTrip{"DiscLinesInFixedOrder",
                  "TITLE \"Album\"\nCDTEXTFILE \"disc.cdt\"\nPERFORMER Band Name   \nREM COMMENT \"made\"\n"
                  "MESSAGE hi\nARRANGER arr\nCOMPOSER comp\nSONGWRITER song\nCATALOG 12345678901234\n"
                  "REM DISCID AB12CD34\nREM DATE 1999\nREM GENRE Rock\n",
                  "REM GENRE \"Rock\"\nREM DATE 1999\nREM DISCID AB12CD34\nREM COMMENT \"made\"\n"
                  "CATALOG 1234567890123\nPERFORMER \"Band Name\"\nSONGWRITER \"song\"\nCOMPOSER \"comp\"\n"
                  "ARRANGER \"arr\"\nMESSAGE \"hi\"\nTITLE \"Album\"\nCDTEXTFILE \"disc.cdt\"\n"},
        RoundTrip{"BareAndLowerCaseRemWords",
                  "GENRE Jazz\nrem date 2001\nDISCID \"x y\"\nREM UNKNOWN thing\nREM\nWHATEVER 1\n",
                  "REM GENRE \"Jazz\"\nREM DATE 2001\nREM DISCID x y\n"},
        RoundTrip{"QuotedValuesKeepInnerQuotesAndBlanks",
                  "TITLE \"a \"b\" c\"  \nPERFORMER \"unclosed\nCOMPOSER  x  y \t\n",
                  "COMPOSER \"x  y\"\nTITLE \"a \"b\" c\"\n"},
        RoundTrip{"EmptyQuotedTextClearsTheEarlierValue", "TITLE \"First\"\nTITLE \"\"\nPERFORMER \"P\"\n",
                  "PERFORMER \"P\"\n"},
        RoundTrip{"CatalogAndIsrcShareTheDiscSlot",
                  "CATALOG 123456789012\nCATALOG 1234567890123\nISRC ABCDE1234567XYZ\n",
                  "CATALOG ABCDE1234567\n"},
        RoundTrip{"LaterCatalogReplacesDiscIsrc", "ISRC ABCDE1234567\nCATALOG 9999999999999\n",
                  "CATALOG 9999999999999\n"},
        RoundTrip{"TrackLinesAndGaps",
                  "FILE a.wav WAVE\nTRACK 1 AUDIO\nTITLE T\nPERFORMER P\nSONGWRITER S\nCOMPOSER C\n"
                  "ISRC \"\"\nPREGAP 0:2:0\nINDEX 01 00:00:00\nPOSTGAP 00:01:00\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    TITLE \"T\"\n    PERFORMER \"P\"\n"
                  "    COMPOSER \"C\"\n    ISRC \n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n"
                  "    POSTGAP 00:01:00\n"},
        RoundTrip{"TimesAsTheFormattedScanReadsThem",
                  "FILE a.wav WAVE\nTRACK 1 AUDIO\nPREGAP +1:2:3\nINDEX 01 00:00:00\nPOSTGAP 99:99:99\n"
                  "TRACK 2 AUDIO\nINDEX 01 123:00:00\nTRACK 3 AUDIO\nPREGAP 7\nINDEX 01 12:34\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    PREGAP 01:02:03\n    INDEX 01 00:00:00\n"
                  "    POSTGAP 100:40:24\n  TRACK 02 AUDIO\n    INDEX 01 12:00:00\n"
                  "  TRACK 03 AUDIO\n    PREGAP 07:00:00\n    INDEX 01 12:34:00\n"},
        RoundTrip{"CrossFileTrackAndReturnToEarlierFile",
                  "FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nTRACK 2 AUDIO\nINDEX 00 05:00:00\n"
                  "FILE b.wav WAVE\nINDEX 01 00:00:00\nTRACK 3 AUDIO\nINDEX 01 01:00:00\n"
                  "FILE a.wav WAVE\nTRACK 4 AUDIO\nINDEX 01 00:00:00\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
                  "    INDEX 00 05:00:00\nFILE \"b.wav\" WAVE\n    INDEX 01 00:00:00\n  TRACK 03 AUDIO\n"
                  "    INDEX 01 01:00:00\nFILE \"a.wav\" WAVE\n  TRACK 04 AUDIO\n    INDEX 01 00:00:00\n"},
        RoundTrip{"LeadOutAndSessions",
                  "FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nREM LEAD-OUT 30:00:00\n"
                  "REM SESSION 2\nTRACK 2 MODE2/2352\nINDEX 01 31:00:00\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n\nREM LEAD-OUT 30:00:00\n"
                  "REM SESSION 02\n  TRACK 02 MODE2/2352\n    INDEX 01 31:00:00\n"},
        RoundTrip{"LargestSessionNumberIsWrittenWithoutWrapping",
                  "REM SESSION 99999999999\nFILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nREM LEAD-OUT 00:01:00\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n\nREM LEAD-OUT 00:01:00\n"
                  "REM SESSION 2147483648\n"},
        RoundTrip{"IndexNumbersRunOnFromTheFirst",
                  "FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nINDEX 02 00:05:00\nINDEX 03 00:06:00\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"},
        RoundTrip{"TrackWithoutIndex01AndNamelessFile",
                  "FILE \"\" WAVE\nTRACK 1 AUDIO\nINDEX 00 00:00:00\nTRACK 2 AUDIO\nINDEX 01 00:01:00\n",
                  "FILE \"\" WAVE\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n  TRACK 02 AUDIO\n"
                  "    INDEX 01 00:01:00\n"},
        // A file that holds nothing but an INDEX 00 keeps its FILE line.
        RoundTrip{"Index00AloneInAFileBetweenTwoOthers",
                  "FILE \"x.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\nFILE \"y.wav\" WAVE\n  TRACK 02 AUDIO\n"
                  "    INDEX 00 00:00:00\nFILE \"z.wav\" WAVE\n    INDEX 01 00:00:00\n",
                  "FILE \"x.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\nFILE \"y.wav\" WAVE\n  TRACK 02 AUDIO\n"
                  "    INDEX 00 00:00:00\nFILE \"z.wav\" WAVE\n    INDEX 01 00:00:00\n"},
        RoundTrip{"HiddenTrackOneAudioInItsOwnFile",
                  "FILE \"00.flac\" WAVE\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nFILE \"01.flac\" WAVE\nINDEX 01 00:00:00\n"
                  "TRACK 02 AUDIO\nINDEX 01 03:00:00\n",
                  "FILE \"00.flac\" WAVE\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\nFILE \"01.flac\" WAVE\n"
                  "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 03:00:00\n"},
        RoundTrip{"ByteOrderMarkIsSkipped", "\xEF\xBB\xBF" "FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\n",
                  "FILE \"a.wav\" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"},
        RoundTrip{"PartialByteOrderMarkIsText", "\xEF\xBB" "TITLE x\nTITLE y\n", "TITLE \"y\"\n"},
        RoundTrip{"LineEndsInAnyMix",
                  "TITLE \"X\"\rPERFORMER \"P\"\r\nCOMPOSER \"C\"\n\r\n\rREM GENRE Rock\r",
                  "REM GENRE \"Rock\"\nPERFORMER \"P\"\nCOMPOSER \"C\"\nTITLE \"X\"\n"},
        RoundTrip{"EmptySheet", "", ""}),
    [](const testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

TEST(CueParser, ArenaChainsBlocksForManyTexts) {
    std::string text = "FILE a.wav WAVE\n";
    std::string expected = "FILE \"a.wav\" WAVE\n";
    for (int i = 0; i < 150; ++i) {
        std::string title(300, static_cast<char>('a' + i % 26));
        char time[16];
        std::snprintf(time, sizeof time, "%02d:%02d:00", i / 60, i % 60);
        text += "TRACK 1 AUDIO\nTITLE \"" + title + "\"\nINDEX 01 " + time + "\n";
        char number[8];
        std::snprintf(number, sizeof number, "%02d", i + 1);
        expected += std::string("  TRACK ") + number + " AUDIO\n    TITLE \"" + title + "\"\n    INDEX 01 " + time + "\n";
    }
    ParseOutcome outcome = parseText(text);
    ASSERT_TRUE(outcome.ok);
    EXPECT_GT(outcome.sheet->arena.blocks.size(), 1u);
    EXPECT_EQ(outcome.written, expected);
}

TEST(CueParser, RecordsPositionsFilesAndSessions) {
    ParseOutcome outcome = parseText(
        "INDEX 01 00:00:00\nREM SESSION 0\nFILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n"
        "SESSION 3\nTRACK 2 AUDIO\nINDEX 00 03:58:00\nFILE b.wav WAVE\nINDEX 01 00:00:00\n");
    ASSERT_TRUE(outcome.ok);
    const CueSheet& sheet = *outcome.sheet;
    ASSERT_EQ(sheet.tracks.size(), 2u);
    EXPECT_EQ(sheet.disc.index1File, -1);  // the INDEX before any FILE landed in the disc record
    EXPECT_EQ(sheet.tracks[0].session, 0);
    EXPECT_EQ(sheet.tracks[0].index0, 0);
    EXPECT_EQ(sheet.tracks[0].index1, 150);
    EXPECT_EQ(sheet.tracks[0].sectorSize, 2352u);
    EXPECT_EQ(sheet.tracks[1].session, 3);
    EXPECT_EQ(sheet.tracks[1].index0, 3 * 4500 + 58 * 75);
    EXPECT_EQ(sheet.tracks[1].index0File, 0);
    EXPECT_EQ(sheet.tracks[1].index1File, 1);
    EXPECT_FALSE(sheet.utf8);
}

struct Failure {
    const char* name;
    std::string input;
    std::string message;  // shown to the user; empty for a silent failure
    std::string problem;  // reason of a silent failure
};

class CueParseFailure : public testing::TestWithParam<Failure> {};

TEST_P(CueParseFailure, StopsAtTheFaultyLine) {
    ParseOutcome outcome = parseText(GetParam().input);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, GetParam().message);
    EXPECT_EQ(outcome.problem, GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CueParseFailure,
    testing::Values(
        Failure{"FileWithoutType", "TITLE x\n  FILE \"a b.wav\"\n",
                "Error to parse .cue, line 2:   FILE\n", ""},
        Failure{"FileWithoutName", "\n\nfile\n", "Error to parse .cue, line 3: file\n", ""},
        Failure{"FileNameWithOpenQuote", "FILE \"a.wav WAVE\n", "Error to parse .cue, line 1: FILE\n", ""},
        Failure{"TrackWithoutType", "FILE a WAVE\n\tTRACK 01\n", "Error to parse .cue, line 2: \tTRACK\n", ""},
        Failure{"IndexWithoutTime", "FILE a WAVE\nTRACK 1 AUDIO\nINDEX 01\n",
                "Error to parse .cue, line 3: INDEX\n", ""},
        Failure{"PregapWithoutTime", "PREGAP\n", "Error to parse .cue, line 1: PREGAP\n", ""},
        Failure{"PostgapWithoutTime", "POSTGAP \t \n", "Error to parse .cue, line 1: POSTGAP\n", ""},
        Failure{"CdTextFileWithoutName", "CDTEXTFILE\n", "Error to parse .cue, line 1: CDTEXTFILE\n", ""},
        Failure{"LongLineCountsAsSeveralLines", std::string(600, 'x') + "\nTRACK\n",
                "Error to parse .cue, line 3: TRACK\n", ""},
        Failure{"LongLineEndedByACarriageReturn", std::string(600, 'x') + "\rTRACK\r",
                "Error to parse .cue, line 3: TRACK\n", ""},
        // Lines are counted as an editor shows them: CR, LF and CR LF each end one.
        Failure{"LineNumbersWithMixedLineEnds", "TITLE x\n\rFILE a.wav WAVE\r\n\rTRACK\n",
                "Error to parse .cue, line 5: TRACK\n", ""},
        Failure{"AMillionCarriageReturns", repeated('\r', 1000000) + "TRACK\r\n",
                "Error to parse .cue, line 1000001: TRACK\n", ""},
        Failure{"MessageIsCutToItsBuffer", std::string(505, ' ') + "FILE\n",
                "Error to parse .cue, line 1: " + std::string(482, ' ') + "\n", ""},
        Failure{"FirstIndexOfAFileNotAtZero", "FILE a WAVE\nTRACK 1 AUDIO\nINDEX 01 00:02:00\n", "",
                "line 3: the first INDEX of a file must lie at 00:00:00, not at 00:02:00"},
        Failure{"IndexPositionsMustRise",
                "FILE a WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nTRACK 2 AUDIO\nINDEX 01 00:00:00\n", "",
                "line 5: INDEX positions must rise within a file: 00:00:00 does not come after 00:00:00"},
        Failure{"IndexNumbersMustRunOn", "FILE a WAVE\nTRACK 1 AUDIO\nINDEX 00 00:00:00\nINDEX 02 00:01:00\n", "",
                "line 4: INDEX numbers must run on by one within a track: INDEX 2 follows INDEX 0"},
        // The largest number does not wrap round to the smallest when one is added.
        Failure{"IndexNumberAfterTheLargestNumber",
                "FILE a WAVE\nTRACK 1 AUDIO\nINDEX 99999999999 00:00:00\nINDEX -99999999999 00:01:00\n", "",
                "line 4: INDEX numbers must run on by one within a track: INDEX -2147483648 follows INDEX "
                "2147483647"},
        Failure{"FileNameOver255Characters", "FILE \"" + std::string(256, 'n') + "\" WAVE\n", "",
                "line 1: the FILE name is 256 characters long; at most 255 are allowed"}),
    [](const testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

TEST(CueParser, AcceptsA255CharacterFileNameAndRemembersUtf8) {
    ParseOutcome outcome = parseText("\xEF\xBB\xBF" "FILE \"" + std::string(255, 'n') + "\" WAVE\n");
    ASSERT_TRUE(outcome.ok);
    ASSERT_EQ(outcome.sheet->files.size(), 1u);
    EXPECT_EQ(std::string(outcome.sheet->files[0].name), std::string(255, 'n'));
    EXPECT_TRUE(outcome.sheet->utf8);
}

TEST(CueParser, MissingStreamFails) {
    auto sheet = createCueSheet();
    std::string problem;
    EXPECT_FALSE(parseCueSheet(nullptr, *sheet, &problem));
}

}  // namespace
}  // namespace trakmap
