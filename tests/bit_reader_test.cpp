#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "audio/bit_reader.h"
#include "fuzz_support.h"
#include "support/test_support.h"

namespace trakmap {

// How GoogleTest names a variant of the Rice loop.
void PrintTo(RiceLoop loop, std::ostream* out) {
    static const char* const names[] = {"Portable32", "Portable64", "BitInstructions32", "BitInstructions64"};
    *out << names[static_cast<int>(loop)];
}

namespace {

using test::TempDir;
using test::writeFile;

// A reader over a temporary file holding `bytes`.
struct ReaderOver {
    explicit ReaderOver(const std::vector<std::uint8_t>& bytes) {
        writeFile(dir.path() / "data", bytes);
        file.reset(platformOpenFile((dir.path() / "data").c_str(), kOpenRead));
        EXPECT_TRUE(initReader(reader, file.get()));
    }
    TempDir dir;
    UniqueFile file;
    BitReader reader;
};

TEST(BitReader, DocumentedReads) {
    {
        ReaderOver r({'f', 'L', 'a', 'C'});
        EXPECT_EQ(readBits(r.reader, 32), 0x664C6143u);
    }
    {
        ReaderOver r({0xAB, 0xCD});
        EXPECT_EQ(readBits(r.reader, 12), 0xABCu);
        EXPECT_FALSE(r.reader.atEnd);
        EXPECT_EQ(readBits(r.reader, 4), 0xDu);
        EXPECT_EQ(bytePosition(r.reader), 2);
        EXPECT_TRUE(r.reader.atEnd);
    }
    {
        ReaderOver r({0xF8, 0x78});  // 11111 000, 01111 000
        EXPECT_EQ(readSignedBits(r.reader, 5), -1);
        readBits(r.reader, 3);
        EXPECT_EQ(readSignedBits(r.reader, 5), 15);
    }
    {
        ReaderOver r({0x80, 0x00, 0x00, 0x01, 0xFF});
        EXPECT_EQ(readSignedBits(r.reader, 32), INT32_MIN + 1);
        EXPECT_EQ(readSignedBits(r.reader, 0), 0);
        EXPECT_EQ(bitsConsumed(r.reader), 32u);
    }
    struct Coded {
        std::vector<std::uint8_t> bytes;
        std::int64_t value;
        std::int64_t bytesUsed;
    };
    const Coded coded[] = {
        {{0x7F}, 127, 1},
        {{0xC2, 0x80}, 128, 2},
        {{0x80, 0xFF}, 0, 1},
        {{0xFE, 0x84, 0x80, 0x80, 0x80, 0x80, 0x81}, std::int64_t{1} << 32 | 1, 7},
    };
    for (const Coded& c : coded) {
        ReaderOver r(c.bytes);
        EXPECT_EQ(readCodedNumber(r.reader), c.value);
        EXPECT_EQ(bytePosition(r.reader), c.bytesUsed);
    }
}

TEST(BitReader, EndOfData) {
    {
        ReaderOver r({1, 2, 3});
        EXPECT_EQ(readBits(r.reader, 24), 0x010203u);
        EXPECT_TRUE(r.reader.atEnd);
        EXPECT_FALSE(r.reader.overrun);
        EXPECT_EQ(readBits(r.reader, 1), 0u);
        EXPECT_TRUE(r.reader.overrun);
        EXPECT_EQ(bitsConsumed(r.reader), 24u);
    }
    {
        // Running out part way consumes what was left and gives 0.
        ReaderOver r({0xFF, 0xFF});
        readBits(r.reader, 4);
        EXPECT_EQ(readBits(r.reader, 16), 0u);
        EXPECT_TRUE(r.reader.atEnd);
        EXPECT_TRUE(r.reader.overrun);
        EXPECT_EQ(bitsConsumed(r.reader), 16u);
    }
    {
        // A unary code that never ends stops at the end and counts what it saw.
        ReaderOver r({0x00, 0x00});
        readBits(r.reader, 3);
        EXPECT_EQ(readUnary(r.reader), 13u);
        EXPECT_TRUE(r.reader.overrun);
        EXPECT_EQ(readUnary(r.reader), 0u);
    }
    {
        ReaderOver r({});
        EXPECT_TRUE(r.reader.atEnd);
        EXPECT_EQ(readBits36(r.reader), 0u);
    }
    {
        // A file of exactly one buffer ends through the empty read after it.
        std::vector<std::uint8_t> bytes(kReaderBufferBytes, 0x55);
        bytes.back() = 0xA7;
        ReaderOver r(bytes);
        skipBits(r.reader, kReaderBufferBytes * 8 - 8);
        EXPECT_FALSE(r.reader.atEnd);
        EXPECT_EQ(readBits(r.reader, 8), 0xA7u);
        EXPECT_TRUE(r.reader.atEnd);
        EXPECT_FALSE(r.reader.overrun);
        EXPECT_EQ(bitsConsumed(r.reader), 2097152u);
    }
    {
        // A read that fails ends the data.
        BitReader reader;
        ASSERT_TRUE(initReader(reader, kInvalidFile));
        EXPECT_TRUE(reader.atEnd);
        EXPECT_EQ(readBits(reader, 8), 0u);
    }
}

// The reader must agree with a plain bit-by-bit model over files that cross
// several buffer boundaries, for every mix of operations: through the
// product's buffer, and through buffers of a few bytes, which put every read
// next to a boundary.
struct ModelReader {
    const std::vector<std::uint8_t>& bytes;
    std::uint64_t position = 0;
    bool overrun = false;

    std::uint64_t total() const { return bytes.size() * 8; }
    bool atEnd() const { return position == total(); }
    int bit() { return (bytes[position / 8] >> (7 - position % 8)) & 1; }
    std::uint32_t readBits(int count) {
        if (count <= 0) return 0;
        if (position + static_cast<std::uint64_t>(count) > total()) {
            overrun = true;
            position = total();
            return 0;
        }
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++position) value = value << 1 | static_cast<std::uint32_t>(bit());
        return value;
    }
    std::uint32_t readUnary() {
        std::uint32_t zeros = 0;
        while (position < total()) {
            if (bit()) {
                ++position;
                return zeros;
            }
            ++position;
            ++zeros;
        }
        overrun = true;
        return zeros;
    }
    void skip(std::uint64_t count) {
        if (position + count > total()) {
            overrun = true;
            position = total();
        } else {
            position += count;
        }
    }
    bool skipRice(std::uint32_t count, int parameter) {
        for (std::uint32_t i = 0; i < count; ++i) {
            readUnary();
            readBits(parameter);
            if (overrun) return false;
        }
        return true;
    }
};

// Every variant of the Rice loop is checked, whichever one this processor's
// walk uses, so that the 32-bit build's loop is proven here too.
class BitReaderModel : public ::testing::TestWithParam<RiceLoop> {};

TEST_P(BitReaderModel, AgreesWithABitByBitModel) {
    const RiceLoop loop = GetParam();
    if (!riceLoopRunsHere(loop)) GTEST_SKIP() << "this processor lacks the bit instructions";
    std::mt19937 random(12345);
    struct Case {
        std::size_t size;
        std::uint32_t bufferBytes;
    };
    const Case cases[] = {{70, kReaderBufferBytes},
                          {kReaderBufferBytes + 3, kReaderBufferBytes},
                          {2 * kReaderBufferBytes, kReaderBufferBytes},
                          {3000, 1},
                          {3000, 3},
                          {3000, 7},
                          {3000, 8},
                          {3000, 9},
                          {5000, 61}};
    for (const auto [size, bufferBytes] : cases) {
        const fuzz::ScopedReaderBuffer buffer(bufferBytes);
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            // Mostly sparse bits, with runs of zero bytes for long unary codes.
            std::uint32_t r = random();
            bytes[i] = (i / 64) % 7 == 3 ? 0 : static_cast<std::uint8_t>(r & (r >> 8) & (r >> 16));
        }
        ReaderOver r(bytes);
        ModelReader model{bytes};
        std::uint32_t steps = 0;
        while (!model.atEnd() && !model.overrun && steps++ < 400000) {
            std::uint32_t choice = random() % 7;
            int count = static_cast<int>(random() % 41);
            switch (choice) {
                case 0: EXPECT_EQ(readBits(r.reader, count), model.readBits(count)); break;
                case 1: EXPECT_EQ(readUnary(r.reader), model.readUnary()); break;
                case 2: {
                    std::uint64_t skip = random() % 3 == 0 ? random() % 300000 : random() % 100;
                    skipBits(r.reader, skip);
                    model.skip(skip);
                    break;
                }
                case 3: alignToByte(r.reader); model.readBits(static_cast<int>((8 - model.position % 8) % 8)); break;
                default: {
                    std::uint32_t codes = random() % 300;
                    int parameter = static_cast<int>(random() % 31);
                    EXPECT_EQ(skipRiceCodesWith(loop, r.reader, codes, parameter), model.skipRice(codes, parameter));
                    break;
                }
            }
            const std::string where = "size " + std::to_string(size) + " buffer " + std::to_string(bufferBytes) +
                                      " step " + std::to_string(steps);
            ASSERT_EQ(bitsConsumed(r.reader), model.position) << where;
            ASSERT_EQ(r.reader.atEnd, model.atEnd()) << where;
            ASSERT_EQ(r.reader.overrun, model.overrun) << where;
            // A full 64 would let a read consume the cache with a shift by its width.
            ASSERT_LT(r.reader.cacheBits, 64) << where;
        }
        EXPECT_TRUE(model.atEnd());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRiceLoop, BitReaderModel,
                         ::testing::Values(RiceLoop::portable32, RiceLoop::portable64, RiceLoop::bitInstructions32,
                                           RiceLoop::bitInstructions64),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace trakmap
