#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "layout/layout.h"
#include "layout/report.h"
#include "support/layout_sheets.h"

namespace trakmap {
namespace {

using test::TrackSpec;
using test::wave;

constexpr const char* kHeader =
    " File    Track    Index      AbsolutePosition        RelativePosition             Length\n";

template <class Print>
std::string printed(Print print) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    print(file);
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

std::string layoutOf(CueSheet sheet) {
    std::string problem;
    EXPECT_TRUE(computeLayout(sheet, &problem)) << problem;
    return printed([&](std::FILE* out) { printLayout(sheet, out); });
}

TEST(MsfCell, ShowsTimeAndFramesAsUnsigned) {
    EXPECT_EQ(formatMsfCell(18000), "04:00:00   18000");
    EXPECT_EQ(formatMsfCell(0), "00:00:00       0");
    EXPECT_EQ(formatMsfCell(static_cast<std::uint32_t>(-1)), "69:10:45 4294967295");
    // Minutes wrap at 256: 256 minutes and 1 frame.
    EXPECT_EQ(formatMsfCell(256 * 4500 + 1), "00:00:01 1152001");
}

TEST(LayoutReport, SingleFileAlbum) {
    std::string expected = std::string("Session 1\n") + kHeader +
                           "  1        1        1        00:00:00       0        00:00:00       0        04:00:00   18000\n"
                           "  1        2        1        04:00:00   18000        04:00:00   18000        02:40:00   12000\n"
                           "  1        3        1        06:40:00   30000        06:40:00   30000        02:13:25   10000\n"
                           "LeadOut    -        -        08:53:25   40000\n\n";
    EXPECT_EQ(layoutOf(test::makeSheet({wave(40000)}, {{0, 0}, {0, 18000}, {0, 30000}})), expected);
}

TEST(LayoutReport, PregapRowComesBeforeItsIndex01) {
    std::string expected = std::string("Session 1\n") + kHeader +
                           "  1        1        1        00:00:00       0        00:00:00       0        04:00:00   18000\n"
                           "  -        2        0        04:00:00   18000           -                    00:02:00     150\n"
                           "  1        2        1        04:02:00   18150        04:00:00   18000        02:40:00   12000\n"
                           "  1        3        1        06:42:00   30150        06:40:00   30000        02:13:25   10000\n"
                           "LeadOut    -        -        08:55:25   40150\n\n";
    EXPECT_EQ(layoutOf(test::makeSheet({wave(40000)},
                                       {{0, 0}, {.file = 0, .index1 = 18000, .pregap = 150}, {0, 30000}})),
              expected);
}

TEST(LayoutReport, Index00AndPostgapRows) {
    std::string expected =
        std::string("Session 1\n") + kHeader +
        "  1        1        1        00:00:00       0        00:00:00       0        03:58:00   17850\n"
        "  -        1        1        03:58:00   17850           -                    00:02:00     150\n"
        "  1        2        0        04:00:00   18000        03:58:00   17850        00:02:00     150\n"
        "  1        2        1        04:02:00   18150        04:00:00   18000        04:58:00   22350\n"
        "LeadOut    -        -        09:00:00   40500\n\n";
    EXPECT_EQ(layoutOf(test::makeSheet({wave(40350)}, {{.file = 0, .index1 = 0, .postgap = 150},
                                                       {.file = 0, .index1 = 18000, .index0File = 0, .index0 = 17850}})),
              expected);
}

// Track 2's INDEX 00 lies at the end of file 1; its row still names the file
// of its INDEX 01.
TEST(LayoutReport, Index00InThePreviousFile) {
    std::string expected =
        std::string("Session 1\n") + kHeader +
        "  1        1        1        00:00:00       0        00:00:00       0        04:58:00   22350\n"
        "  2        2        0        04:58:00   22350        04:58:00   22350        00:02:00     150\n"
        "  2        2        1        05:00:00   22500        00:00:00       0        04:28:50   20150\n"
        "LeadOut    -        -        09:28:50   42650\n\n";
    EXPECT_EQ(layoutOf(test::makeSheet({wave(22500), wave(20150)},
                                       {{0, 0}, {.file = 1, .index1 = 0, .index0File = 0, .index0 = 22350}})),
              expected);
}

TEST(LayoutReport, SessionsAndInnerLeadOut) {
    std::vector<TrackSpec> tracks = {
        {.file = 0, .index1 = 0, .session = 0},
        {.file = 0, .index1 = 1000, .session = 0},
        {.file = 0, .index1 = 2000},
        {.file = 0, .index1 = 3000, .leadOut = 3500},
        {.file = 0, .index1 = 4000, .session = 2},
    };
    std::string expected =
        "  1        1        1        00:00:00       0        00:00:00       0        00:13:25    1000\n"
        "  1        2        1        00:13:25    1000        00:13:25    1000        00:13:25    1000\n"
        "Session 1\n" +
        std::string(kHeader) +
        "  1        3        1        00:26:50    2000        00:26:50    2000        00:13:25    1000\n"
        "  1        4        1        00:40:00    3000        00:40:00    3000        00:06:50     500\n"
        "LeadOut    -        -        00:46:50    3500\n\n"
        "Session 2\n" +
        kHeader +
        "  1        5        1        00:53:25    4000        00:53:25    4000        00:13:25    1000\n"
        "LeadOut    -        -        01:06:50    5000\n\n";
    EXPECT_EQ(layoutOf(test::makeSheet({wave(5000)}, tracks)), expected);
}

// A REM LEAD-OUT before the last track is a position within its file: the row
// measures it against INDEX 01 within the file, whatever gaps came before.
TEST(LayoutReport, InnerLeadOutAfterEarlierGaps) {
    std::string expected =
        std::string("Session 1\n") + kHeader +
        "  1        1        1        00:00:00       0        00:00:00       0        00:13:25    1000\n"
        "  -        1        1        00:13:25    1000           -                    00:02:00     150\n"
        "  1        2        1        00:15:25    1150        00:13:25    1000        00:06:50     500\n"
        "LeadOut    -        -        00:20:00    1500\n\n"
        "  1        3        1        00:28:50    2150        00:26:50    2000        00:13:25    1000\n"
        "LeadOut    -        -        00:42:00    3150\n\n";
    EXPECT_EQ(layoutOf(test::makeSheet({wave(3000)}, {{.file = 0, .index1 = 0, .postgap = 150},
                                                      {.file = 0, .index1 = 1000, .leadOut = 1500},
                                                      {.file = 0, .index1 = 2000}})),
              expected);
}

TEST(LayoutReport, EmptyLastFileShowsLength0AndNoLeadOut) {
    std::string expected = std::string("Session 1\n") + kHeader +
                           "  1        1        1        00:00:00       0        00:00:00       0        00:00:00       0\n";
    EXPECT_EQ(layoutOf(test::makeSheet({{"empty.wav", 0}}, {{0, 0}})), expected);
}

TEST(LayoutReport, NoTracksPrintsNothing) { EXPECT_EQ(layoutOf(test::makeSheet({wave(100)}, {})), ""); }

TEST(FileList, NumbersEveryFileWithItsName) {
    CueSheet sheet = test::makeSheet({{"Disc 1.wav"}, {nullptr}, {"b.flac"}}, {});
    EXPECT_EQ(printed([&](std::FILE* out) { printFileList(sheet, out); }),
              "\nFiles:\n--------------------------------\n1 Disc 1.wav\n2 \n3 b.flac\n");
}

}  // namespace
}  // namespace trakmap
