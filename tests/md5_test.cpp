#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cache/md5.h"

namespace trakmap {
namespace {

std::string hex(const std::array<std::uint8_t, 16>& digest) {
    std::string text;
    char pair[3];
    for (std::uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Md5, MatchesTheRfcTestSuite) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        Md5Context context;
        md5Init(context);
        md5Update(context, bytesOf(c.message));
        EXPECT_EQ(hex(md5Final(context)), c.digest) << '"' << c.message << '"';
    }
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
    // Pieces that straddle the 64-byte block and the 56-byte padding boundary.
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t total : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
        std::span<const std::uint8_t> all(data.data(), total);
        Md5Context whole;
        md5Init(whole);
        md5Update(whole, all);
        Md5Context pieces;
        md5Init(pieces);
        for (std::size_t at = 0; at < total; at += 13) md5Update(pieces, all.subspan(at, std::min<std::size_t>(13, total - at)));
        EXPECT_EQ(md5Final(whole), md5Final(pieces)) << total;
    }
}

}  // namespace
}  // namespace trakmap
