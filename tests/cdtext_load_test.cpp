#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cdtext/cdtext.h"
#include "cdtext/cdtext_crc.h"
#include "cdtext/cdtext_packs.h"
#include "support/capture_output.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using namespace std::string_literals;

// One 18-byte pack; `text` fills the 12 text bytes from the start.
std::vector<std::uint8_t> pack(std::uint8_t type, std::uint8_t track, const std::string& text,
                               std::uint8_t positionByte = 0) {
    std::vector<std::uint8_t> bytes(kCdTextPackBytes, 0);
    bytes[0] = type;
    bytes[1] = track;
    bytes[3] = positionByte;
    std::memcpy(bytes.data() + 4, text.data(), std::min<std::size_t>(text.size(), 12));
    sealCdTextPack(bytes.data());
    return bytes;
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<std::uint8_t> sizeInfoPacks() {
    return join({pack(0x8F, 0, "\0\1\1\0"s), pack(0x8F, 1, ""), pack(0x8F, 2, "\0\0\0\0\x09"s)});
}

CdTextBuffer loadBytes(const std::vector<std::uint8_t>& bytes) {
    test::TempDir dir;
    const auto path = dir / "disc.cdt";
    test::writeFile(path, bytes);
    UniqueFile file(platformOpenFile(path.native().c_str(), kOpenRead));
    EXPECT_TRUE(file.valid());
    return loadCdTextFile(file.get());
}

std::string dumpText(std::span<const std::uint8_t> packs) {
    return test::captureOutput([&](std::FILE* out) { dumpCdText(packs, out); });
}

// Loads the bytes as a CD-TEXT file and dumps what was loaded.
std::string loadAndDump(const std::vector<std::uint8_t>& bytes) {
    CdTextBuffer buffer = loadBytes(bytes);
    if (!buffer.bytes) return "nothing loaded";
    return dumpText({buffer.bytes.get() + kCdTextHeaderBytes, buffer.length - kCdTextHeaderBytes});
}

TEST(CdTextLoad, EmptyOrUnopenedFileGivesNothing) {
    CdTextBuffer empty = loadBytes({});
    EXPECT_FALSE(empty.bytes);
    EXPECT_EQ(empty.length, 0u);
    EXPECT_FALSE(loadCdTextFile(kInvalidFile).bytes);
}

TEST(CdTextLoad, KeepsTheFileBehindAHeaderAndWalksWholePacksOnly) {
    // Five packs and ten bytes of a sixth, whose string must not show.
    std::vector<std::uint8_t> bytes;
    for (std::uint8_t track = 0; track < 6; ++track) {
        auto one = pack(0x80, track, "T" + std::to_string(track));
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.resize(100);
    CdTextBuffer buffer = loadBytes(bytes);
    ASSERT_TRUE(buffer.bytes);
    EXPECT_EQ(buffer.length, 104u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.bytes.get(), buffer.bytes.get() + 4),
              (std::vector<std::uint8_t>{0x00, 0x66, 0x00, 0x00}));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.bytes.get() + 4));
    EXPECT_EQ(loadAndDump(bytes),
              "80: Track0 T0 \n    HEX=5430\n80: Track1 T1 \n    HEX=5431\n80: Track2 T2 \n    HEX=5432\n"
              "80: Track3 T3 \n    HEX=5433\n80: Track4 T4 \n    HEX=5434\n");
}

TEST(CdTextLoad, LargeOddSizedFileKeepsEveryByte) {
    // 3900 packs and 5 bytes more: past 65535 bytes, so the header keeps only
    // the low 16 bits of the length while the dump still walks every pack.
    const auto one = pack(0x81, 0, "abcdefghijkl");
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 3900; ++i) bytes.insert(bytes.end(), one.begin(), one.end());
    bytes.insert(bytes.end(), {0x80, 0x00, 0x00, 0x00, 'Z'});
    CdTextBuffer buffer = loadBytes(bytes);
    ASSERT_TRUE(buffer.bytes);
    EXPECT_EQ(buffer.length, 70209u);
    EXPECT_EQ(buffer.bytes[0] * 256 + buffer.bytes[1], (70209 - 2) & 0xFFFF);

    std::string text;
    std::string hex;
    for (int i = 0; i < 3900; ++i) {
        text += "abcdefghijkl";
        hex += "6162636465666768696A6B6C";
    }
    EXPECT_EQ(loadAndDump(bytes), "81: Track0 " + text + " \n    HEX=" + hex + "\n");
}

TEST(CdTextLoad, SkipsTheHeaderThatDrivesReturnOnlyWhenItFits) {
    const auto packs = join({pack(0x80, 0, "Album\0Song\0"s), pack(0x81, 0, "Band\0"s)});
    const std::string shown =
        "80: Track0 Album \n    HEX=416C62756D\n80: Track1 Song \n    HEX=536F6E67\n"
        "81: Track0 Band \n    HEX=42616E64\n";
    auto withHeader = [&](std::uint16_t length, std::vector<std::uint8_t> body) {
        std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0, 0};
        bytes.insert(bytes.end(), body.begin(), body.end());
        return bytes;
    };
    const auto rightLength = static_cast<std::uint16_t>(packs.size() + 2);
    EXPECT_EQ(loadAndDump(withHeader(rightLength, packs)), shown);
    EXPECT_EQ(loadBytes(withHeader(rightLength, packs)).length, packs.size() + 4);
    // Otherwise the file is read as it stands: what looks like a header is
    // the first pack's bytes, and no pack type starts the walk.
    for (std::uint16_t length : {std::uint16_t(rightLength - 1), std::uint16_t(rightLength + 1)})
        EXPECT_EQ(loadAndDump(withHeader(length, packs)), "") << length;
    auto notAPack = packs;
    notAPack[0] = 0x7F;
    EXPECT_EQ(loadAndDump(withHeader(rightLength, notAPack)), "");
    EXPECT_EQ(loadAndDump(packs), shown);
}

TEST(CdTextDump, RawPackCases) {
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* expected;
    } cases[] = {
        {"second block is not shown",
         join({pack(0x80, 0, "Album\0Song\0"s), sizeInfoPacks(), pack(0x80, 0, "Titel\0Lied\0"s, 0x10),
               sizeInfoPacks()}),
         "80: Track0 Album \n    HEX=416C62756D\n80: Track1 Song \n    HEX=536F6E67\n"},
        {"size information first shows nothing", join({sizeInfoPacks(), pack(0x80, 0, "Album\0"s)}), ""},
        {"track byte with bit 7 ends the walk", join({pack(0x80, 0, "A\0"s), pack(0x81, 0x80, "B\0"s)}),
         "80: Track0 A \n    HEX=41\n"},
        {"string continued in the next pack of its track",
         join({pack(0x80, 1, "abcdefghijkl"), pack(0x80, 1, "mnopqrst\0"s, 12)}),
         "80: Track1 abcdefghijklmnopqrst \n    HEX=6162636465666768696A6B6C6D6E6F7071727374\n"},
        {"strings of one pack go to successive tracks, empty ones too",
         join({pack(0x80, 3, "A\0B\0\0C\0"s)}),
         "80: Track3 A \n    HEX=41\n80: Track4 B \n    HEX=42\n80: Track6 C \n    HEX=43\n"},
        {"track 127 keeps only its first string", join({pack(0x80, 127, "A\0B\0C\0"s)}),
         "80: Track127 A \n    HEX=41\n"},
        {"genre shows like text up to its first zero", join({pack(0x87, 0, "\x01\x05Jazz\0"s)}),
         "87: Track0 \x01\x05Jazz \n    HEX=01054A617A7A\n"},
        {"output runs by type, then by track",
         join({pack(0x81, 2, "P\0"s), pack(0x80, 5, "T\0"s), pack(0x81, 0, "Q\0"s)}),
         "80: Track5 T \n    HEX=54\n81: Track0 Q \n    HEX=51\n81: Track2 P \n    HEX=50\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(loadAndDump(c.bytes), c.expected) << c.name;
}

TEST(CdTextDump, ArbitraryBytesStayInsideTheBuffer) {
    std::mt19937 random(20240229);
    for (int round = 0; round < 500; ++round) {
        // An exactly sized heap copy, so a read past its end is caught.
        std::vector<std::uint8_t> bytes(random() % 200);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        for (std::size_t i = 0; i + 1 < bytes.size(); i += kCdTextPackBytes) {
            bytes[i] = static_cast<std::uint8_t>(0x80 + random() % 15);
            bytes[i + 1] &= 0x7F;
        }
        auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), exact.get());
        dumpText({exact.get(), bytes.size()});
    }
}

}  // namespace
}  // namespace trakmap
