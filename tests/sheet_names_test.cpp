// The second reading of a sheet name on POSIX: a name that is not valid UTF-8
// is read as Windows-1252.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace trakmap {
namespace {

TEST(SheetNames, NamesThatAreNotUtf8AreReadAsWindows1252) {
    const struct {
        const char* label;
        std::string name;
        const char* secondReading;  // null: none
    } cases[] = {
        {"ASCII", "album.wav", nullptr},
        {"UTF-8 of two, three and four bytes", "Caf\xC3\xA9 \xE2\x80\x93 \xF0\x9F\x8E\xB5.flac", nullptr},
        {"Windows-1252 letters and punctuation", "Caf\xE9 \x96 \x80\x9F.flac",
         "Caf\xC3\xA9 \xE2\x80\x93 \xE2\x82\xAC\xC5\xB8.flac"},
        {"the five unassigned bytes become the C1 controls", "\x81\x8D\x8F\x90\x9D",
         "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
        {"an overlong form", "\xC0\xAF", "\xC3\x80\xC2\xAF"},
        {"a surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"},
        {"a sequence cut short", "a\xE2\x82", "a\xC3\xA2\xE2\x80\x9A"},
        {"backslashes are separators", "C:\\Rips\\Caf\xE9.wav", "C:/Rips/Caf\xC3\xA9.wav"},
    };
    for (const auto& c : cases) {
        PathString path;
        bool found = platformAlternativeSheetName(c.name, false, kMaxCandidatePath, &path);
        EXPECT_EQ(found ? path : "(none)", c.secondReading != nullptr ? c.secondReading : "(none)") << c.label;
    }
}

TEST(SheetNames, SecondReadingMustFitThePathLimit) {
    PathString path;
    // 173 bytes that each become three: 519 units and the terminator fit, one more does not.
    EXPECT_TRUE(platformAlternativeSheetName(std::string(173, '\x80'), false, kMaxCandidatePath, &path));
    EXPECT_EQ(path.size(), 519u);
    EXPECT_FALSE(platformAlternativeSheetName(std::string(174, '\x80'), false, kMaxCandidatePath, &path));
}

}  // namespace
}  // namespace trakmap
