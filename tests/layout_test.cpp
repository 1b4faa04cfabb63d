#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "layout/layout.h"
#include "support/layout_sheets.h"

namespace trakmap {
namespace {

using test::FileSpec;
using test::TrackSpec;
using test::compressed;
using test::wave;

struct Placed {
    std::int32_t absIndex0;
    std::int32_t absIndex1;
    std::int32_t length;
};

struct LayoutCase {
    const char* name;
    std::vector<FileSpec> files;
    std::vector<TrackSpec> tracks;
    std::vector<Placed> placed;  // per track
    std::int32_t leadOut;        // the last track's leadOut afterwards
};

constexpr std::int32_t kNo = -1;

const std::vector<LayoutCase> kLayoutCases = {
    {"SingleFileThreeTracks",
     {wave(40000)},
     {{0, 0}, {0, 18000}, {0, 30000}},
     {{kNo, 0, 18000}, {kNo, 18000, 12000}, {kNo, 30000, 10000}},
     40000},
    {"OneFilePerTrack",
     {wave(10000), wave(20000)},
     {{0, 0}, {1, 0}},
     {{kNo, 0, 10000}, {kNo, 10000, 20000}},
     30000},
    {"Index00AtTheEndOfThePreviousFile",
     {wave(22500), wave(20150), wave(30000)},
     {{0, 0}, {.file = 1, .index1 = 0, .index0File = 0, .index0 = 22350}, {2, 0}},
     {{kNo, 0, 22500}, {22350, 22500, 20150}, {kNo, 42650, 30000}},
     72650},
    {"PregapMovesIndex01ButNotIndex00",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = 18000, .index0File = 0, .index0 = 17850, .pregap = 150}, {0, 30000}},
     {{kNo, 0, 17850}, {17850, 18150, 12150}, {kNo, 30150, 10000}},
     40150},
    {"PostgapMovesEveryLaterPosition",
     {wave(40000)},
     {{.file = 0, .index1 = 0, .postgap = 150}, {0, 18000}, {.file = 0, .index1 = 30000, .postgap = 75}},
     {{kNo, 0, 18000}, {kNo, 18150, 12000}, {kNo, 30150, 10000}},
     40225},
    {"RemLeadOutEndsAnInnerTrack",
     {wave(100000)},
     {{0, 0}, {.file = 0, .index1 = 67500, .leadOut = 90000}, {0, 95000}},
     {{kNo, 0, 67500}, {kNo, 67500, 22500}, {kNo, 95000, 5000}},
     100000},
    {"RemLeadOutOnTheLastTrackIsReplaced",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = 30000, .leadOut = 35000}},
     {{kNo, 0, 30000}, {kNo, 30000, 10000}},
     40000},
    // The last track's own PREGAP belongs before the lead-out as well.
    {"PregapOfALastTrackWithIndex00",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = 30000, .index0File = 0, .index0 = 29850, .pregap = 150}},
     {{kNo, 0, 29850}, {29850, 30000 + 150, 10150}},
     40150},
    {"LastTrackWithIndex00InThePreviousFileEndsAfterItsFile",
     {wave(22500), wave(20000)},
     {{0, 0}, {.file = 1, .index1 = 0, .index0File = 0, .index0 = 22350, .pregap = 75, .postgap = 30}},
     {{kNo, 0, 22500}, {22350, 22575, 20000}},
     42605},
    {"FileWithSeveralTracksFollowedByAnotherFile",
     {wave(40000), wave(10000)},
     {{0, 0}, {0, 18000}, {0, 30000}, {1, 0}},
     {{kNo, 0, 18000}, {kNo, 18000, 12000}, {kNo, 30000, 10000}, {kNo, 40000, 10000}},
     50000},
    {"FileHoldingOnlyAnIndex00CountsWhole",
     {wave(10000), wave(150), wave(20000)},
     {{0, 0}, {.file = 2, .index1 = 0, .index0File = 1, .index0 = 0}},
     {{kNo, 0, 10000}, {10000, 10150, 20000}},
     30150},
    // Hidden track one audio in a file of its own: that file counts whole
    // and track 1 is counted from its INDEX 01.
    {"HiddenTrackOneAudioInItsOwnFile",
     {wave(3000), wave(20000), wave(10000)},
     {{.file = 1, .index1 = 0, .index0File = 0, .index0 = 0}, {1, 12000}, {2, 0}},
     {{0, 3000, 12000}, {kNo, 15000, 8000}, {kNo, 23000, 10000}},
     33000},
    {"HiddenTrackOneAudioBeforeTheOnlyTrack",
     {wave(3000), compressed(kCodecFlac, 20000, 7000000)},
     {{.file = 1, .index1 = 0, .index0File = 0, .index0 = 0, .postgap = 75}},
     {{0, 3000, 20000}},
     23075},
    {"TrackAfterACrossFileIndex00StartsFromItsIndex01",
     {wave(22500), wave(20150)},
     {{0, 0}, {.file = 1, .index1 = 0, .index0File = 0, .index0 = 22350}, {1, 10000}},
     {{kNo, 0, 22500}, {22350, 22500, 10000}, {kNo, 32500, 10150}},
     42650},
    {"FileWithoutIndexesAddsNothing",
     {wave(10000), wave(5000), wave(20000), wave(7000)},
     {{0, 0}, {2, 0}},
     {{kNo, 0, 10000}, {kNo, 10000, 20000}},
     30000},
    {"InnerRemLeadOutEndsItsFileOnTheDisc",
     {wave(40000), wave(10000)},
     {{0, 0}, {.file = 0, .index1 = 18000, .leadOut = 30000}, {1, 0}},
     {{kNo, 0, 18000}, {kNo, 18000, 12000}, {kNo, 30000, 10000}},
     40000},
    // Frames before the first index of a file are on the disc but in no track.
    {"FirstTrackStartingAfterTheFileStart",
     {wave(40000)},
     {{0, 33}, {0, 18000}},
     {{kNo, 33, 17967}, {kNo, 18000, 22000}},
     40000},
    {"EmptyLastFileGivesLeadOut0",
     {{"empty.wav", 0}},
     {{0, 0}},
     {{kNo, 0, 0}},
     0},
    // Compressed files are measured by the probe's frames, not their bytes.
    {"CompressedFileMeasuredInFrames",
     {compressed(kCodecFlac, 40000, 21000000)},
     {{0, 0}, {0, 18000}, {0, 30000}},
     {{kNo, 0, 18000}, {kNo, 18000, 12000}, {kNo, 30000, 10000}},
     40000},
    {"CompressedAndWaveFilesMixed",
     {compressed(kCodecWavPack, 30000, 5000), wave(10000), compressed(kCodecAlac, 20000, 7)},
     {{0, 0}, {0, 12000}, {1, 0}, {2, 0}},
     {{kNo, 0, 12000}, {kNo, 12000, 18000}, {kNo, 30000, 10000}, {kNo, 40000, 20000}},
     60000},
    {"CompressedFileNeedsNoSectorSize",
     {compressed(kCodecMonkeysAudio, 9000, 100)},
     {{.file = 0, .index1 = 0, .type = kTrackUnknown}},
     {{kNo, 0, 9000}},
     9000},
    // A file the probe could not measure (and CD-format PCM WAVE) is laid
    // out by its byte size; the 44 header bytes do not make a frame.
    {"UnmeasuredFileAndPcmWaveMeasuredInBytes",
     {compressed(kCodecTta, 99999, 2352 * 5000, Measure::bySize), {"a.wav", 2352 * 8000 + 44, 8000, kCodecPcmWave}},
     {{0, 0}, {1, 0}},
     {{kNo, 0, 5000}, {kNo, 5000, 8000}},
     13000},
    // Audio of another format than CD audio is laid out by its duration.
    {"OtherAudioFormatsMeasuredByDuration",
     {compressed(kCodecTta, 5000, 7, Measure::byDuration), {"hires.wav", 44 + 1000, 8000, kCodecPcmWave, Measure::byDuration}},
     {{0, 0}, {1, 0}},
     {{kNo, 0, 5000}, {kNo, 5000, 8000}},
     13000},
    {"SectorSizeOfEachTrackType",
     {{"mixed.bin", 2048 * 100 + 2352 * 50}},
     {{.file = 0, .index1 = 0, .type = kTrackMode1_2048}, {.file = 0, .index1 = 100, .type = kTrackAudio}},
     {{kNo, 0, 100}, {kNo, 100, 50}},
     150},
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class LayoutTable : public testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTable, PlacesTracksAndLeadOut) {
    const LayoutCase& c = GetParam();
    CueSheet sheet = test::makeSheet(c.files, c.tracks);
    std::string problem;
    ASSERT_TRUE(computeLayout(sheet, &problem)) << problem;
    ASSERT_EQ(sheet.tracks.size(), c.placed.size());
    for (std::size_t i = 0; i < c.placed.size(); ++i) {
        SCOPED_TRACE("track " + std::to_string(i + 1));
        EXPECT_EQ(sheet.tracks[i].absIndex0, c.placed[i].absIndex0);
        EXPECT_EQ(sheet.tracks[i].absIndex1, c.placed[i].absIndex1);
        EXPECT_EQ(sheet.tracks[i].length, c.placed[i].length);
    }
    EXPECT_EQ(sheet.tracks.back().leadOut, c.leadOut);
}

INSTANTIATE_TEST_SUITE_P(Sheets, LayoutTable, testing::ValuesIn(kLayoutCases),
                         [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

TEST(Layout, KeepsTheFileUseAndTheParsedLeadOutOfInnerTracks) {
    CueSheet sheet = test::makeSheet({wave(100000)}, {{0, 0}, {.file = 0, .index1 = 67500, .leadOut = 90000},
                                                      {0, 95000}});
    ASSERT_TRUE(computeLayout(sheet, nullptr));
    EXPECT_EQ(sheet.files[0].bytesUsed, 95000u * 2352);
    EXPECT_EQ(sheet.files[0].framesUsed, 95000u);
    EXPECT_EQ(sheet.tracks[1].leadOut, 90000);
}

TEST(Layout, SheetWithoutTracksIsLeftAlone) {
    CueSheet sheet = test::makeSheet({wave(40000)}, {});
    std::string problem;
    EXPECT_TRUE(computeLayout(sheet, &problem));
    EXPECT_EQ(sheet.files[0].bytesUsed, 0u);
    EXPECT_TRUE(problem.empty());
}

struct RefusalCase {
    const char* name;
    std::vector<FileSpec> files;
    std::vector<TrackSpec> tracks;
    const char* problem;
};

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

const std::vector<RefusalCase> kRefusalCases = {
    {"TrackWithoutIndex01",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = kNo, .index0File = 0, .index0 = 100}},
     "track 2 has no INDEX 01"},
    {"IndexBeforeTheFirstFile", {wave(40000)}, {{kNo, 0}}, "INDEX 01 of track 1 comes before the first FILE"},
    // Only a first file that holds track 1's INDEX 00 alone may come before it.
    {"FirstTrackNotInTheFirstFile",
     {wave(100), wave(40000)},
     {{1, 0}},
     "INDEX 01 of track 1 lies in file 2 \"f2.wav\", not in the first file"},
    {"FirstTrackAfterAFileOfNothing",
     {wave(100), wave(100), wave(40000)},
     {{.file = 2, .index1 = 0, .index0File = 1, .index0 = 0}},
     "INDEX 01 of track 1 lies in file 3 \"f3.wav\", not in the first file"},
    {"FirstTrackTwoFilesAfterItsIndex00",
     {wave(100), wave(100), wave(40000)},
     {{.file = 2, .index1 = 0, .index0File = 0, .index0 = 0}},
     "INDEX 01 of track 1 lies in file 3 \"f3.wav\", not in the first file"},
    {"Index01BeyondTheEndOfItsFile",
     {wave(40000), wave(180933)},
     {{0, 0}, {0, 10000}, {0, 20000}, {1, 0}, {1, 202500}},
     "INDEX 01 of track 5 lies at 45:00:00 in file 2 \"f2.wav\", which holds 40:12:33"},
    {"Index00BeyondTheEndOfItsFile",
     {wave(400), wave(400)},
     {{0, 0}, {.file = 1, .index1 = 0, .index0File = 0, .index0 = 401}},
     "INDEX 00 of track 2 lies at 00:05:26 in file 1 \"f1.wav\", which holds 00:05:25"},
    {"CompressedFileShorterThanItsIndexes",
     {compressed(kCodecFlac, 1000, 90000000)},
     {{0, 0}, {0, 1500}},
     "INDEX 01 of track 2 lies at 00:20:00 in file 1 \"f1.flac\", which holds 00:13:25"},
    {"LastTrackWithoutSectorSize",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = 100, .type = kTrackUnknown}},
     "track 2 has a track type without a sector size, but file 1 \"f1.wav\" is measured in bytes"},
    {"TrackEndingAFileWithoutSectorSize",
     {wave(400), wave(400)},
     {{.file = 0, .index1 = 0, .type = kTrackUnknown}, {1, 0}},
     "track 1 has a track type without a sector size, but file 1 \"f1.wav\" is measured in bytes"},
    {"Index00InALaterFileThanIndex01",
     {wave(400), wave(400), wave(400)},
     {{0, 0}, {.file = 1, .index1 = 0, .index0File = 2, .index0 = 0}},
     "INDEX 00 of track 2 lies in file 3 \"f3.wav\", after its INDEX 01 in file 2 \"f2.wav\""},
    {"TrackStartingBeforeThePreviousOne",
     {wave(40000)},
     {{0, 0}, {0, 18000}, {0, 9000}},
     "track 3 starts at 02:00:00 in file 1 \"f1.wav\", before track 2 at 04:00:00"},
    {"TrackInAnEarlierFile",
     {wave(400), wave(400)},
     {{0, 0}, {1, 0}, {0, 200}},
     "track 3 lies in file 1 \"f1.wav\", before file 2 \"f2.wav\" of track 2"},
    {"RemLeadOutBeforeItsTrack",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = 18000, .leadOut = 150}, {0, 30000}},
     "REM LEAD-OUT of track 2 at 00:02:00 lies before its start at 04:00:00 in file 1 \"f1.wav\""},
    {"RemLeadOutBeyondItsFile",
     {wave(40000)},
     {{0, 0}, {.file = 0, .index1 = 18000, .leadOut = 45000}, {0, 30000}},
     "REM LEAD-OUT of track 2 lies at 10:00:00 in file 1 \"f1.wav\", which holds 08:53:25"},
    {"GapsBeyondTheLargestPosition",
     {wave(400)},
     {{.file = 0, .index1 = 0, .postgap = kInt32Max}, {.file = 0, .index1 = 100}},
     "the layout of track 2 reaches frame 2147483747, beyond the largest position a disc can be given"},
    {"FileLongerThanTheLargestPosition",
     {{"huge.bin", std::uint64_t{1} << 44}},
     {{0, 0}},
     "the layout of track 1 reaches frame 2147483648"},
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class LayoutRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(LayoutRefusals, NameTheTrackTheFileAndTheNumbers) {
    const RefusalCase& c = GetParam();
    CueSheet sheet = test::makeSheet(c.files, c.tracks);
    std::string problem;
    EXPECT_FALSE(computeLayout(sheet, &problem));
    EXPECT_EQ(problem.substr(0, std::string(c.problem).size()), c.problem);
}

INSTANTIATE_TEST_SUITE_P(Sheets, LayoutRefusals, testing::ValuesIn(kRefusalCases),
                         [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(Layout, RefusalNamesAFileWithoutNameByNumber) {
    CueSheet sheet = test::makeSheet({{nullptr, 2352 * 10}}, {{0, 0}, {0, 20}});
    std::string problem;
    EXPECT_FALSE(computeLayout(sheet, &problem));
    EXPECT_EQ(problem, "INDEX 01 of track 2 lies at 00:00:20 in file 1, which holds 00:00:10");
}

}  // namespace
}  // namespace trakmap
