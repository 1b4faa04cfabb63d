#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cdtext/cdtext.h"
#include "cdtext/cdtext_crc.h"
#include "cdtext/cdtext_packs.h"
#include "support/capture_output.h"
#include "support/sheet_records.h"

namespace trakmap {
namespace {

using namespace std::string_literals;
using test::addTrack;
using test::setDisc;
using test::sheetWithFiles;

std::vector<std::uint8_t> hexBytes(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ' || hex[i] == '\n') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

std::vector<std::uint8_t> bytesOf(const CdTextBuffer& buffer) {
    if (!buffer.bytes) return {};
    return {buffer.bytes.get(), buffer.bytes.get() + buffer.length};
}

const std::uint8_t* packAt(const CdTextBuffer& buffer, std::size_t i) {
    return buffer.bytes.get() + kCdTextHeaderBytes + i * kCdTextPackBytes;
}

std::size_t packCount(const CdTextBuffer& buffer) {
    return (buffer.length - kCdTextHeaderBytes) / kCdTextPackBytes;
}

// The checks every built buffer must pass: exact size, header, CRCs, running
// sequence numbers, and size information that agrees with the packs.
void expectWellFormed(const CdTextBuffer& buffer, unsigned lastTrack) {
    ASSERT_TRUE(buffer.bytes);
    ASSERT_EQ((buffer.length - kCdTextHeaderBytes) % kCdTextPackBytes, 0u);
    const std::size_t packs = packCount(buffer);
    ASSERT_GE(packs, 3u);
    EXPECT_EQ(buffer.bytes[0] * 256u + buffer.bytes[1], buffer.length - 2);
    EXPECT_EQ(buffer.bytes[2] | buffer.bytes[3], 0);

    unsigned counts[16] = {};
    for (std::size_t i = 0; i < packs; ++i) {
        const std::uint8_t* pack = packAt(buffer, i);
        SCOPED_TRACE("pack " + std::to_string(i));
        EXPECT_EQ(pack[2], i & 0xFF);
        std::uint16_t crc = cdTextPackCrc(std::span<const std::uint8_t>(pack, 16));
        EXPECT_EQ(pack[16], crc >> 8);
        EXPECT_EQ(pack[17], crc & 0xFF);
        ASSERT_GE(pack[0], 0x80);
        ++counts[pack[0] - 0x80];
    }
    std::uint8_t info[36];
    for (std::size_t part = 0; part < 3; ++part) {
        const std::uint8_t* pack = packAt(buffer, packs - 3 + part);
        EXPECT_EQ(pack[0], 0x8F);
        EXPECT_EQ(pack[1], part);
        std::memcpy(info + part * 12, pack + 4, 12);
    }
    EXPECT_EQ(info[1], 1);
    EXPECT_EQ(info[2], lastTrack);
    for (unsigned type = 0; type < 16; ++type) EXPECT_EQ(info[4 + type], counts[type]) << "type " << type;
    EXPECT_EQ(info[20], (packs - 1) & 0xFF);
    EXPECT_EQ(info[28], 0x09);
}

// "type/track/character position" of every text pack, in order.
std::string packHeads(const CdTextBuffer& buffer) {
    std::string heads;
    for (std::size_t i = 0; i < packCount(buffer); ++i) {
        const std::uint8_t* pack = packAt(buffer, i);
        if (pack[0] == 0x8F) continue;
        char head[16];
        std::snprintf(head, sizeof head, "%s%02X/%u/%u", heads.empty() ? "" : " ", pack[0], pack[1], pack[3]);
        heads += head;
    }
    return heads;
}

// The text bytes of every pack of one type, joined.
std::string typeText(const CdTextBuffer& buffer, std::uint8_t type) {
    std::string text;
    for (std::size_t i = 0; i < packCount(buffer); ++i) {
        const std::uint8_t* pack = packAt(buffer, i);
        if (pack[0] == type) text.append(reinterpret_cast<const char*>(pack + 4), 12);
    }
    return text;
}

std::string padToPacks(std::string text) {
    text.resize((text.size() + 11) / 12 * 12, '\0');
    return text;
}

std::unique_ptr<CueSheet> albumWithOneSong() {
    auto sheet = sheetWithFiles({kFileWave});
    setDisc(*sheet, {.title = "Album"});
    addTrack(*sheet, 0, {.title = "Song"});
    return sheet;
}

std::unique_ptr<CueSheet> albumWithCodes() {
    auto sheet = sheetWithFiles({kFileWave});
    setDisc(*sheet, {.title = "Album", .performer = "Band", .isrc = "1234567890123"});
    addTrack(*sheet, 0, {.title = "One", .isrc = "ABCDE1234567"});
    addTrack(*sheet, 0, {.title = "Two", .isrc = "ABCDE7654321"});
    return sheet;
}

TEST(CdTextCrc, MatchesTheCatalogueCheckValue) {
    const std::string digits = "123456789";
    EXPECT_EQ(cdTextPackCrc(std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())),
              0xCE3C);
}

TEST(CdTextBuilder, TitleOnlyDiscMatchesReferenceBytes) {
    CdTextBuffer buffer = buildCdText(*albumWithOneSong());
    EXPECT_EQ(bytesOf(buffer), hexBytes(R"(00 4A 00 00
        80 00 00 00 41 6C 62 75 6D 00 53 6F 6E 67 00 00 81 A9
        8F 00 01 00 00 01 01 00 01 00 00 00 00 00 00 00 05 2A
        8F 01 02 00 00 00 00 00 00 00 00 03 03 00 00 00 A3 A4
        8F 02 03 00 00 00 00 00 09 00 00 00 00 00 00 00 17 E7)"));
}

TEST(CdTextBuilder, PerformerCatalogAndIsrcsMatchReferenceBytes) {
    CdTextBuffer buffer = buildCdText(*albumWithCodes());
    EXPECT_EQ(bytesOf(buffer), hexBytes(R"(00 C8 00 00
        80 00 00 00 41 6C 62 75 6D 00 4F 6E 65 00 54 77 F6 70
        80 02 01 02 6F 00 00 00 00 00 00 00 00 00 00 00 EB F3
        81 00 02 00 42 61 6E 64 00 42 61 6E 64 00 42 61 A7 C4
        81 02 03 02 6E 64 00 00 00 00 00 00 00 00 00 00 09 88
        8E 00 04 00 31 32 33 34 35 36 37 38 39 30 31 32 8F 97
        8E 00 05 0C 33 00 41 42 43 44 45 31 32 33 34 35 29 FF
        8E 01 06 0A 36 37 00 41 42 43 44 45 37 36 35 34 96 99
        8E 02 07 09 33 32 31 00 00 00 00 00 00 00 00 00 94 13
        8F 00 08 00 00 01 02 00 02 02 00 00 00 00 00 00 8C 79
        8F 01 09 00 00 00 00 00 00 00 04 03 0A 00 00 00 30 BA
        8F 02 0A 00 00 00 00 00 09 00 00 00 00 00 00 00 87 ED)"));
}

struct BuilderCase {
    const char* name;
    std::function<std::unique_ptr<CueSheet>()> makeSheet;
    const char* heads;  // null: no CD-TEXT at all
    std::vector<std::pair<std::uint8_t, std::string>> texts;
    unsigned lastTrack = 0;
};

void PrintTo(const BuilderCase& c, std::ostream* out) { *out << c.name; }

std::unique_ptr<CueSheet> titledTracks(std::initializer_list<CueFileType> files,
                                       std::initializer_list<std::pair<std::int32_t, const char*>> tracks) {
    auto sheet = sheetWithFiles(files);
    setDisc(*sheet, {.title = "Album"});
    for (auto [file, title] : tracks) addTrack(*sheet, file, {.title = title});
    return sheet;
}

const std::string kThirtyChars = "abcdefghijklmnopqrstuvwxyz0123";

const BuilderCase kBuilderCases[] = {
    {"ElevenCharacterDiscTitleFillsThePack",
     [] {
         auto sheet = sheetWithFiles({kFileWave});
         setDisc(*sheet, {.title = "Elevenchars"});
         addTrack(*sheet, 0, {.title = "One"});
         return sheet;
     },
     "80/0/0 80/1/0", {{0x80, "Elevenchars\0One\0"s}}, 1},
    {"LongTitleRunsOverFourPacks", [] { return titledTracks({kFileWave}, {{0, kThirtyChars.c_str()}}); },
     "80/0/0 80/1/6 80/1/15 80/1/15", {{0x80, "Album\0"s + kThirtyChars + "\0"s}}, 1},
    {"MissingMiddleTitleKeepsTheNextTrackNumber",
     [] { return titledTracks({kFileWave}, {{0, "One"}, {0, nullptr}, {0, "Three"}}); }, "80/0/0 80/3/1",
     {{0x80, "Album\0One\0\0Three\0"s}}, 3},
    {"MissingTitlesAtTheEndWriteNothing",
     [] { return titledTracks({kFileWave}, {{0, "One"}, {0, "Two"}, {0, nullptr}}); }, "80/0/0 80/2/2",
     {{0x80, "Album\0One\0Two\0"s}}, 3},
    {"TrackPerformerFallsBackToTheDiscPerformer",
     [] {
         auto sheet = sheetWithFiles({kFileWave});
         setDisc(*sheet, {.title = "A", .performer = "Band"});
         addTrack(*sheet, 0, {.title = "B", .performer = "Solo"});
         addTrack(*sheet, 0, {.title = "C", .performer = ""});
         addTrack(*sheet, 0, {.title = "D"});
         return sheet;
     },
     "80/0/0 81/0/0 81/2/2", {{0x80, "A\0B\0C\0D\0"s}, {0x81, "Band\0Solo\0Band\0Band\0"s}}, 3},
    {"TrackPerformersWithoutDiscPerformerStartAtTheirTrack",
     [] {
         auto sheet = sheetWithFiles({kFileWave});
         setDisc(*sheet, {.title = "A"});
         addTrack(*sheet, 0, {});
         addTrack(*sheet, 0, {.performer = "P2"});
         addTrack(*sheet, 0, {});
         addTrack(*sheet, 0, {.performer = "P4"});
         addTrack(*sheet, 0, {});
         return sheet;
     },
     "80/0/0 81/2/0", {{0x80, "A\0"s}, {0x81, "P2\0\0P4\0"s}}, 5},
    {"NoPerformersLeavesComposersRightAfterTitles",
     [] {
         auto sheet = sheetWithFiles({kFileWave});
         setDisc(*sheet, {.title = "A"});
         addTrack(*sheet, 0, {.title = "B"});
         addTrack(*sheet, 0, {.title = "C", .composer = "Bach"});
         return sheet;
     },
     "80/0/0 83/2/0", {{0x80, "A\0B\0C\0"s}, {0x81, ""}, {0x83, "Bach\0"s}}, 2},
    {"CatalogAloneTakesTwoPacks",
     [] {
         auto sheet = sheetWithFiles({kFileWave});
         setDisc(*sheet, {.title = "A", .isrc = "1234567890123"});
         addTrack(*sheet, 0, {});
         return sheet;
     },
     "80/0/0 8E/0/0 8E/0/12", {{0x8E, "1234567890123\0"s}}, 1},
    {"LaterTrackInMp3FileEndsTheTrackList",
     [] { return titledTracks({kFileWave, kFileMp3}, {{0, "One"}, {0, "Two"}, {1, "Three"}}); }, "80/0/0 80/2/2",
     {{0x80, "Album\0One\0Two\0"s}}, 2},
    {"TrackWithoutIndex01EndsTheTrackList",
     [] { return titledTracks({kFileWave}, {{0, "One"}, {-1, "Two"}, {0, "Three"}}); }, "80/0/0",
     {{0x80, "Album\0One\0"s}}, 1},
    {"NoDiscTitleGivesNothing",
     [] {
         auto sheet = sheetWithFiles({kFileWave});
         addTrack(*sheet, 0, {.title = "One", .performer = "Band"});
         return sheet;
     },
     nullptr, {}},
    {"NoTrackGivesNothing", [] { return titledTracks({kFileWave}, {}); }, nullptr, {}},
    {"NoFileGivesNothing", [] { return titledTracks({}, {{-1, "One"}}); }, nullptr, {}},
    {"BinaryFirstFileGivesNothing", [] { return titledTracks({kFileBinary, kFileWave}, {{1, "One"}}); }, nullptr, {}},
    {"MotorolaFirstFileGivesNothing", [] { return titledTracks({kFileMotorola}, {{0, "One"}}); }, nullptr, {}},
    {"AiffFirstFileGivesNothing", [] { return titledTracks({kFileAiff}, {{0, "One"}}); }, nullptr, {}},
    {"Mp3FirstFileGivesNothing", [] { return titledTracks({kFileMp3}, {{0, "One"}}); }, nullptr, {}},
};

class CdTextBuilderCases : public testing::TestWithParam<BuilderCase> {};

TEST_P(CdTextBuilderCases, LaysOutPacks) {
    const BuilderCase& c = GetParam();
    CdTextBuffer buffer = buildCdText(*c.makeSheet());
    if (c.heads == nullptr) {
        EXPECT_FALSE(buffer.bytes);
        EXPECT_EQ(buffer.length, 0u);
        return;
    }
    expectWellFormed(buffer, c.lastTrack);
    EXPECT_EQ(packHeads(buffer), c.heads);
    for (const auto& [type, text] : c.texts) EXPECT_EQ(typeText(buffer, type), padToPacks(text)) << std::hex << +type;
}

INSTANTIATE_TEST_SUITE_P(Sheets, CdTextBuilderCases, testing::ValuesIn(kBuilderCases),
                         [](const testing::TestParamInfo<BuilderCase>& info) { return info.param.name; });

std::string dumpText(const CdTextBuffer& buffer) {
    std::span<const std::uint8_t> packs;
    if (buffer.bytes) packs = {buffer.bytes.get() + kCdTextHeaderBytes, buffer.length - kCdTextHeaderBytes};
    return test::captureOutput([&](std::FILE* out) { dumpCdText(packs, out); });
}

TEST(CdTextDump, BuiltPacksReadBackAsWholeStrings) {
    const struct {
        std::function<std::unique_ptr<CueSheet>()> makeSheet;
        const char* expected;
    } cases[] = {
        {albumWithOneSong,
         "80: Track0 Album \n    HEX=416C62756D\n"
         "80: Track1 Song \n    HEX=536F6E67\n"},
        {albumWithCodes,
         "80: Track0 Album \n    HEX=416C62756D\n"
         "80: Track1 One \n    HEX=4F6E65\n"
         "80: Track2 Two \n    HEX=54776F\n"
         "81: Track0 Band \n    HEX=42616E64\n"
         "81: Track1 Band \n    HEX=42616E64\n"
         "81: Track2 Band \n    HEX=42616E64\n"
         "8E: Track0 1234567890123 \n    HEX=31323334353637383930313233\n"
         "8E: Track1 ABCDE1234567 \n    HEX=414243444531323334353637\n"
         "8E: Track2 ABCDE7654321 \n    HEX=414243444537363534333231\n"},
        {[] { return titledTracks({kFileWave}, {{0, "One"}, {0, nullptr}, {0, "Three"}}); },
         "80: Track0 Album \n    HEX=416C62756D\n"
         "80: Track1 One \n    HEX=4F6E65\n"
         "80: Track3 Three \n    HEX=5468726565\n"},
        {[] { return titledTracks({kFileWave}, {{0, kThirtyChars.c_str()}}); },
         "80: Track0 Album \n    HEX=416C62756D\n"
         "80: Track1 abcdefghijklmnopqrstuvwxyz0123 \n"
         "    HEX=6162636465666768696A6B6C6D6E6F707172737475767778797A30313233\n"},
        {[] { return titledTracks({kFileMp3}, {{0, "One"}}); }, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(dumpText(buildCdText(*c.makeSheet())), c.expected);
}

TEST(CdTextBuilder, TextTooLongForTheArenaIsLeftOut) {
    auto sheet = sheetWithFiles({kFileWave});
    setDisc(*sheet, {.title = "A"});
    const std::string huge(kCdTextArenaBlockSize, 'x');
    addTrack(*sheet, 0, {.title = "B"});
    addTrack(*sheet, 0, {.title = huge.c_str(), .performer = "P"});
    addTrack(*sheet, 0, {.title = "D"});
    CdTextBuffer buffer = buildCdText(*sheet);
    expectWellFormed(buffer, 3);
    EXPECT_EQ(typeText(buffer, 0x80), padToPacks("A\0B\0\0D\0"s));
}

TEST(CdTextBuilder, ManyTracksStayExactlySized) {
    auto sheet = sheetWithFiles({kFileWave});
    setDisc(*sheet, {.title = "Disc", .performer = "Band", .composer = "C", .isrc = "0000000000000"});
    std::string expectedTitles = "Disc\0"s;
    for (int k = 1; k <= 99; ++k) {
        std::string title(static_cast<std::size_t>(k % 23), static_cast<char>('a' + k % 26));
        expectedTitles += title + '\0';
        addTrack(*sheet, 0, {.title = title.empty() ? nullptr : title.c_str(), .isrc = "ABCDE0000000"});
    }
    CdTextBuffer buffer = buildCdText(*sheet);
    expectWellFormed(buffer, 99);
    // Empty titles are absent: every one of them is written as a lone zero.
    EXPECT_EQ(typeText(buffer, 0x80), padToPacks(expectedTitles));
}

}  // namespace
}  // namespace trakmap
