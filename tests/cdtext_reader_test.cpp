// Reads CD-TEXT we build back through libcdio's CD-TEXT parser, a reader
// written independently of ours.
#include <gtest/gtest.h>

#include <cdio/cdtext.h>

#include <memory>
#include <string>
#include <vector>

#include "cdtext/cdtext.h"
#include "cdtext/cdtext_packs.h"
#include "support/sheet_records.h"

namespace trakmap {
namespace {

using test::addTrack;
using test::setDisc;
using test::sheetWithFiles;
using test::TrackTexts;

struct CdTextDeleter {
    void operator()(cdtext_t* text) const { cdtext_destroy(text); }
};
using CdTextReader = std::unique_ptr<cdtext_t, CdTextDeleter>;

// What a reader should find for one track: the track's own strings, with the
// disc's performer and composer standing in for missing ones.
TrackTexts expectedTexts(const TrackTexts& disc, const TrackTexts& track) {
    auto orDisc = [](const char* own, const char* fallback) {
        return own != nullptr && own[0] != '\0' ? own : fallback;
    };
    return {track.title, orDisc(track.performer, disc.performer), orDisc(track.composer, disc.composer),
            track.isrc};
}

std::string shown(const char* text) { return text != nullptr ? text : ""; }

void expectReadBack(const TrackTexts& disc, const std::vector<TrackTexts>& tracks) {
    auto sheet = sheetWithFiles({kFileWave});
    setDisc(*sheet, disc);
    for (const TrackTexts& track : tracks) addTrack(*sheet, 0, track);
    CdTextBuffer buffer = buildCdText(*sheet);
    ASSERT_TRUE(buffer.bytes);

    CdTextReader reader(cdtext_init());
    ASSERT_NE(reader, nullptr);
    // The reader takes the packs without the 4-byte header.
    std::vector<std::uint8_t> packs(buffer.bytes.get() + kCdTextHeaderBytes, buffer.bytes.get() + buffer.length);
    ASSERT_EQ(cdtext_data_init(reader.get(), packs.data(), packs.size()), 0);
    EXPECT_EQ(cdtext_get_first_track(reader.get()), 1);
    EXPECT_EQ(cdtext_get_last_track(reader.get()), tracks.size());
    EXPECT_EQ(cdtext_get_language(reader.get()), CDTEXT_LANGUAGE_ENGLISH);

    auto expectField = [&](cdtext_field_t field, track_t track, const char* expected) {
        EXPECT_EQ(shown(cdtext_get_const(reader.get(), field, track)), shown(expected))
            << cdtext_field2str(field) << " of track " << int{track};
    };
    expectField(CDTEXT_FIELD_TITLE, 0, disc.title);
    expectField(CDTEXT_FIELD_PERFORMER, 0, disc.performer);
    expectField(CDTEXT_FIELD_COMPOSER, 0, disc.composer);
    expectField(CDTEXT_FIELD_UPC_EAN, 0, disc.isrc);
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        const TrackTexts expected = expectedTexts(disc, tracks[k]);
        const auto track = static_cast<track_t>(k + 1);
        expectField(CDTEXT_FIELD_TITLE, track, expected.title);
        expectField(CDTEXT_FIELD_PERFORMER, track, expected.performer);
        expectField(CDTEXT_FIELD_COMPOSER, track, expected.composer);
        expectField(CDTEXT_FIELD_ISRC, track, expected.isrc);
    }
}

TEST(CdTextReader, TitlesPerformersAndCodes) {
    expectReadBack({.title = "Album", .performer = "Band", .isrc = "1234567890123"},
                   {{.title = "One", .isrc = "ABCDE1234567"},
                    {.title = "Two", .performer = "Guest", .isrc = "ABCDE7654321"},
                    {.title = "Three", .isrc = "ABCDE0000003"}});
}

TEST(CdTextReader, ComposersAndStringsSpanningPacks) {
    expectReadBack({.title = "A disc title that needs three packs", .composer = "House Composer"},
                   {{.title = "Short", .performer = "First Performer Of Many Words"},
                    {.title = "A rather long second title here", .performer = "Duo", .composer = "Visiting Composer"},
                    {.title = "x", .performer = "P3"}});
}

// A track without a string of a type is written as an empty string. libcdio
// does not count an empty string as a track inside a pack, but it takes up
// each pack's own track byte; the strings after each gap here end in a later
// pack, so both conventions must agree on them.
TEST(CdTextReader, MissingStringsKeepLaterTracksInPlace) {
    expectReadBack({.title = "Album"},
                   {{.title = "One"},
                    {.performer = "Second"},
                    {.title = "Three", .isrc = "ABCDE0000003"},
                    {.title = "Four", .performer = "Fourth"},
                    {.composer = "Last"}});
}

}  // namespace
}  // namespace trakmap
