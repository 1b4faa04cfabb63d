#include "audio/bit_reader.h"

#include "platform/cpu_features.h"

#include <algorithm>

namespace trakmap {

namespace {

// Slack after the buffer's data: a word load near the end reads zeros there.
constexpr std::uint32_t kSlackBytes = 8;

std::uint32_t readerBufferBytes = kReaderBufferBytes;

}  // namespace

void setReaderBufferBytes(std::uint32_t bytes) {
    readerBufferBytes = std::clamp<std::uint32_t>(bytes, 1, kReaderBufferBytes);
}

bool initReader(BitReader& reader, NativeFile file, std::uint64_t startOffset) {
    reader = BitReader{};
    reader.bufferStart = startOffset;
    reader.capacity = readerBufferBytes;
    reader.buffer.reset(static_cast<std::uint8_t*>(allocZeroedBlock(reader.capacity + kSlackBytes)));
    if (!reader.buffer) return false;
    reader.file = file;
    refill(reader);
    fillCache(reader);
    return true;
}

int refill(BitReader& reader) {
    reader.bufferStart += reader.validBytes;
    reader.nextByte = 0;
    std::uint32_t got = 0;
    // Each read says where it takes place, so that readers of one file on
    // different threads do not move each other's position.
    bool ok = platformReadFileAt(reader.file, reader.bufferStart, reader.buffer.get(), reader.capacity, &got);
    if (!ok) got = 0;
    reader.validBytes = got;
    std::memset(reader.buffer.get() + got, 0, kSlackBytes);
    // Only a full buffer can have more behind it; a failed read ends the data
    // like the end of the file.
    if (!ok || got < reader.capacity) reader.lastBuffer = true;
    if (ok && got == 0) {
        reader.atEnd = reader.cacheBits == 0;
        return 0;
    }
    return 1;
}

void fillCacheSlowly(BitReader& reader) {
    // Whole bytes go in while fewer than 56 bits are counted, which keeps the
    // count at 63 or below: a count of 64 would let a caller consume all of
    // it with a shift by the word's width.
    while (reader.cacheBits < 56) {
        if (reader.nextByte == reader.validBytes) {
            if (reader.lastBuffer) break;
            refill(reader);
            if (reader.nextByte + 8 <= reader.validBytes) {
                fillCache(reader);
                return;
            }
            continue;
        }
        reader.cache |= std::uint64_t{reader.buffer[reader.nextByte++]} << (56 - reader.cacheBits);
        reader.cacheBits += 8;
    }
    if (reader.cacheBits == 0) reader.atEnd = true;
}

void runOutOfData(BitReader& reader) {
    reader.cache = 0;
    reader.cacheBits = 0;
    reader.nextByte = reader.validBytes;
    reader.atEnd = true;
    reader.overrun = true;
}

std::uint32_t readLongBits(BitReader& reader, std::int32_t count) {
    skipBits(reader, static_cast<std::uint64_t>(count - 32));
    return readBits(reader, 32);
}

std::int32_t readSignedBits(BitReader& reader, std::int32_t count) {
    std::uint32_t value = readBits(reader, count);
    // Both shifts are taken modulo 32, so 32 and 0 leave the value as read.
    unsigned shift = static_cast<unsigned>(32 - count) & 31u;
    return static_cast<std::int32_t>(value << shift) >> shift;
}

std::uint64_t readBits36(BitReader& reader) {
    fillCache(reader);
    if (reader.cacheBits < 36) {
        runOutOfData(reader);
        return 0;
    }
    std::uint64_t value = reader.cache >> (64 - 36);
    consumeBits(reader, 36);
    return value;
}

std::uint32_t readUnary(BitReader& reader) {
    std::uint32_t zeros = 0;
    while (!reader.atEnd) {
        // Only the counted bits of the cache take part: bits beyond them may
        // hold data already.
        int leading = std::countl_zero(reader.cache);
        if (leading < reader.cacheBits) {
            zeros += static_cast<std::uint32_t>(leading);
            consumeBits(reader, leading + 1);
            return zeros;
        }
        zeros += static_cast<std::uint32_t>(reader.cacheBits);
        consumeBits(reader, reader.cacheBits);
    }
    reader.overrun = true;  // the closing 1 bit never came
    return zeros;
}

std::int64_t readCodedNumber(BitReader& reader) {
    int ones = 0;
    while (readBit(reader) == 1) ++ones;
    std::uint64_t value = ones < 7 ? readBits(reader, 7 - ones) : 0;
    for (int i = 1; i < ones; ++i) {
        readBits(reader, 2);  // the "10" marker of a continuation byte, not checked
        value = (value << 6) | readBits(reader, 6);
    }
    return static_cast<std::int64_t>(value);
}

void alignToByte(BitReader& reader) { readBits(reader, reader.cacheBits & 7); }

void skipBits(BitReader& reader, std::uint64_t count) {
    while (count > 0 && !reader.atEnd) {
        if (count < static_cast<std::uint64_t>(reader.cacheBits)) {
            consumeBits(reader, static_cast<std::int32_t>(count));
            return;
        }
        count -= static_cast<std::uint64_t>(reader.cacheBits);
        reader.cache = 0;
        reader.cacheBits = 0;
        // Whole bytes still in the buffer are stepped over without reading them.
        std::uint64_t wholeBytes = std::min<std::uint64_t>(count / 8, reader.validBytes - reader.nextByte);
        reader.nextByte += static_cast<std::uint32_t>(wholeBytes);
        count -= wholeBytes * 8;
        fillCache(reader);
    }
    if (count > 0) runOutOfData(reader);
}

namespace {

// The bit position of the reader inside its buffer: negative while the cache
// still holds bits of the previous buffer. It fits a register of either width.
std::ptrdiff_t bufferBit(const BitReader& reader) {
    return static_cast<std::ptrdiff_t>(reader.nextByte) * 8 - reader.cacheBits;
}

// Puts the reader at `bit` of its buffer, which lies inside the buffer's data.
void moveToBufferBit(BitReader& reader, std::ptrdiff_t bit) {
    reader.cache = 0;
    reader.cacheBits = 0;
    reader.nextByte = static_cast<std::uint32_t>(bit >> 3);
    fillCache(reader);
    if ((bit & 7) != 0) consumeBits(reader, static_cast<std::int32_t>(bit & 7));
}

template <typename Word>
Word loadBigEndian(const std::uint8_t* bytes) {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof word == 8) word = __builtin_bswap64(word);
        else word = __builtin_bswap32(word);
    }
    return word;
}

// One Rice code at a time through the general reader: buffer ends, refills,
// unary runs longer than a word, parameters too wide for the word.
bool skipRiceCodeSlowly(BitReader& reader, std::int32_t parameter) {
    readUnary(reader);
    readBits(reader, parameter);
    return !reader.overrun;
}

// The Rice loop, compiled for words of 32 and of 64 bits (a 32-bit processor
// has no 64-bit registers, and emulating them would cost several
// instructions and a branch a step), each once for any processor and once,
// where the processor family has them, for the one-cycle leading-zero count,
// population count and flag-free shift instructions.
//
// The walk needs only where each code ends, never its value, so the loop
// keeps no bit cache: it steps over a batch of codes inside one loaded word.
// A code's free bits are never read, so they may reach past the word; only
// each code's closing 1 bit must lie inside it. Each step masks off the bits
// already passed and counts leading zeros, which gives the closing bit's
// place in the word at once; the mask for the next code is a constant
// shifted by that count, so one step is an AND, a count and a shift. A code
// whose closing bit is not in the word counts the word's width (a power of
// two), and so does the code after one that ends at or past the word's end,
// whose mask is empty: the batch ORs the counts together and is kept only if
// that bit stays clear. Each batch's word is loaded while the batch before
// it is stepped through, from the first byte that batch can end in, so one
// batch follows the next as closely as one code follows another. The last
// 16 bytes of a buffer, refills and unary runs longer than a word go through
// the general reader one code at a time.
template <typename Word>
[[gnu::always_inline]] inline bool skipRiceCodesIn(BitReader& reader, std::uint32_t count,
                                                   std::int32_t parameter) {
    constexpr std::uint32_t kWordBits = sizeof(Word) * 8;
    constexpr Word kAllOnes = ~Word{0};
    if (parameter < 0 || parameter > static_cast<std::int32_t>(kWordBits) - 2) {
        for (; count > 0; --count)
            if (!skipRiceCodeSlowly(reader, parameter)) return false;
        return true;
    }
    const std::uint8_t* const buffer = reader.buffer.get();
    const auto codeBits = static_cast<std::uint32_t>(parameter) + 1;  // the closing 1 bit and the free bits
    const Word afterCode = kAllOnes >> codeBits;
    // An encoder picks the parameter that makes codes about parameter + 2 bits
    // long, so a batch this long nearly always fits the bits of its word
    // after where it begins: a few bits into the word's first byte, plus the
    // unary bits of the batch before, whose lengths were not known when the
    // word was loaded. A batch that does not fit is redone code by code.
    const std::uint32_t batch = std::max<std::uint32_t>(1, (kWordBits - kWordBits / 4) / (codeBits + 1));
    const std::uint32_t batchBits = batch * codeBits;  // the fewest bits a batch takes
    while (count > 0) {
        // Words are loaded from positions up to here, which keeps every code
        // stepped over inside the buffer's data.
        const std::ptrdiff_t lastBit = (static_cast<std::ptrdiff_t>(reader.validBytes) - 16) * 8 + 7;
        const std::ptrdiff_t start = bufferBit(reader);
        std::ptrdiff_t bit = start;
        if (parameter == 0) {
            // Without free bits every 1 bit closes a code: whole words whose 1
            // bits are fewer than the codes left are passed by counting them.
            while (count > 0 && bit >= 0 && bit <= lastBit) {
                const auto first = static_cast<std::uint32_t>(bit & 7);
                const Word word = loadBigEndian<Word>(buffer + (bit >> 3)) << first;
                const auto ones = static_cast<std::uint32_t>(std::popcount(word));
                if (ones >= count) break;
                count -= ones;
                bit += kWordBits - first;
            }
        }
        while (count > 0 && bit >= 0 && bit <= lastBit) {
            if (count >= batch) {
                // The next code begins `skipped` bits into `word`, the bytes
                // from `at` on.
                const std::uint8_t* at = buffer + (bit >> 3);
                auto skipped = static_cast<std::uint32_t>(bit & 7);
                Word word = loadBigEndian<Word>(at);
                // A batch that fits its word ends less than twice the word's
                // width after it begins, so this many batches all begin at
                // or before lastBit. The loop stops after them, or when fewer
                // codes than a batch are left.
                const auto safeBatches = static_cast<std::uint32_t>(
                    static_cast<std::size_t>(lastBit - bit) / (2 * kWordBits) + 1);
                const std::uint32_t stopAt = std::max(batch - 1, count - std::min(count, safeBatches * batch));
                bool fitted;
                do {
                    // Every code takes at least codeBits bits, so the next
                    // batch begins in the word `advance` bytes on or after
                    // it: loaded now, it is there when this batch ends, and
                    // the next batch waits for nothing but this one's last
                    // code.
                    const std::uint32_t advance = (skipped + batchBits) >> 3;
                    const Word nextWord = loadBigEndian<Word>(at + advance);
                    auto closingBit = static_cast<std::uint32_t>(
                        std::countl_zero(word & (kAllOnes >> (skipped & (kWordBits - 1)))));
                    // ORed closing bits: kWordBits or more once one was not
                    // inside the word, or the batch did not even begin in it.
                    std::uint32_t reached = closingBit | skipped;
#pragma GCC unroll 32
                    for (std::uint32_t i = 1; i < batch; ++i) {
                        closingBit = static_cast<std::uint32_t>(
                            std::countl_zero(word & (afterCode >> (closingBit & (kWordBits - 1)))));
                        reached |= closingBit;
                    }
                    fitted = reached < kWordBits;
                    if (!fitted) break;
                    count -= batch;
                    skipped = closingBit + codeBits - advance * 8;
                    at += advance;
                    word = nextWord;
                } while (count > stopAt);
                bit = (at - buffer) * 8 + skipped;
                if (fitted) continue;
            }
            // One code alone, in the word at its own byte: the codes after the
            // last whole batch, and the first one of a batch that did not fit,
            // unless even its unary run does not end inside the word.
            const Word word = loadBigEndian<Word>(buffer + (bit >> 3));
            const auto closingBit = static_cast<std::uint32_t>(std::countl_zero(word & (kAllOnes >> (bit & 7))));
            if (closingBit >= kWordBits) break;
            bit = (bit & ~std::ptrdiff_t{7}) + closingBit + codeBits;
            --count;
        }
        if (bit != start) moveToBufferBit(reader, bit);
        if (count == 0) break;
        if (!skipRiceCodeSlowly(reader, parameter)) return false;
        --count;
    }
    return true;
}

template <typename Word>
bool skipRiceCodesPortably(BitReader& reader, std::uint32_t count, std::int32_t parameter) {
    return skipRiceCodesIn<Word>(reader, count, parameter);
}

template <typename Word>
TRAKMAP_BIT_INSTRUCTIONS bool skipRiceCodesWithBitInstructions(BitReader& reader, std::uint32_t count,
                                                               std::int32_t parameter) {
    return skipRiceCodesIn<Word>(reader, count, parameter);
}

}  // namespace

bool riceLoopRunsHere(RiceLoop loop) {
    return !(loop == RiceLoop::bitInstructions32 || loop == RiceLoop::bitInstructions64) ||
           platformHasBitInstructions();
}

RiceLoop nativeRiceLoop() {
    const bool wide = kRegisterBits >= 64;
    if (platformHasBitInstructions()) return wide ? RiceLoop::bitInstructions64 : RiceLoop::bitInstructions32;
    return wide ? RiceLoop::portable64 : RiceLoop::portable32;
}

bool skipRiceCodesWith(RiceLoop loop, BitReader& reader, std::uint32_t count, std::int32_t parameter) {
    switch (loop) {
        case RiceLoop::portable32: return skipRiceCodesPortably<std::uint32_t>(reader, count, parameter);
        case RiceLoop::portable64: return skipRiceCodesPortably<std::uint64_t>(reader, count, parameter);
        case RiceLoop::bitInstructions32:
            return skipRiceCodesWithBitInstructions<std::uint32_t>(reader, count, parameter);
        case RiceLoop::bitInstructions64:
            return skipRiceCodesWithBitInstructions<std::uint64_t>(reader, count, parameter);
    }
    return false;
}

bool skipRiceCodes(BitReader& reader, std::uint32_t count, std::int32_t parameter) {
    static const RiceLoop loop = nativeRiceLoop();
    return skipRiceCodesWith(loop, reader, count, parameter);
}

}  // namespace trakmap
