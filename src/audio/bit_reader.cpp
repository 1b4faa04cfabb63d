#include "audio/bit_reader.h"

#include <algorithm>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace trakmap {

namespace {

// Slack after the buffer's data: a word load near the end reads zeros there.
constexpr std::uint32_t kSlackBytes = 8;

}  // namespace

bool initReader(BitReader& reader, NativeFile file) {
    reader = BitReader{};
    reader.buffer.reset(static_cast<std::uint8_t*>(allocZeroedBlock(kReaderBufferBytes + kSlackBytes)));
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
    bool ok = platformReadFile(reader.file, reader.buffer.get(), kReaderBufferBytes, &got);
    if (!ok) got = 0;
    reader.validBytes = got;
    std::memset(reader.buffer.get() + got, 0, kSlackBytes);
    // Only a full buffer can have more behind it; a failed read ends the data
    // like the end of the file.
    if (!ok || got < kReaderBufferBytes) reader.lastBuffer = true;
    if (ok && got == 0) {
        reader.atEnd = reader.cacheBits == 0;
        return 0;
    }
    return 1;
}

void fillCacheSlowly(BitReader& reader) {
    while (reader.cacheBits <= 56) {
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

// The Rice loop, compiled once for any processor and once, where the
// processor family has it, for the one-cycle leading-zero count instruction.
[[gnu::always_inline]] inline bool skipRiceCodesIn(BitReader& reader, std::uint32_t count,
                                                   std::int32_t parameter) {
    while (count > 0) {
        // The hot loop works on local copies of the cache and tops it up only
        // when the next code does not fit. Word loads stay inside the buffer's
        // data; the last bytes of a buffer, the refills and unary runs longer
        // than the cache go through the general path below.
        const std::uint8_t* buffer = reader.buffer.get();
        const std::uint32_t wordEnd = reader.validBytes >= 8 ? reader.validBytes - 8 : 0;
        std::uint64_t cache = reader.cache;
        std::int32_t cacheBits = reader.cacheBits;
        std::uint32_t nextByte = reader.nextByte;
        bool toppedUp = false;
        while (count > 0) {
            // `| 1` keeps the count defined for an all-zero cache; such a code
            // is longer than the cache either way.
            std::int32_t length = __builtin_clzll(cache | 1) + 1 + parameter;
            if (length <= cacheBits) {
                cache <<= length;
                cacheBits -= length;
                --count;
                toppedUp = false;
                continue;
            }
            if (toppedUp || nextByte > wordEnd || reader.validBytes < 8) break;
            std::uint64_t word;
            std::memcpy(&word, buffer + nextByte, 8);
            if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
            cache |= word >> cacheBits;
            nextByte += static_cast<std::uint32_t>(63 - cacheBits) >> 3;
            cacheBits |= 56;
            toppedUp = true;
        }
        reader.cache = cache;
        reader.cacheBits = cacheBits;
        reader.nextByte = nextByte;
        if (cacheBits == 0) fillCache(reader);
        if (count == 0) break;
        readUnary(reader);
        readBits(reader, parameter);
        if (reader.overrun) return false;
        --count;
    }
    return true;
}

bool skipRiceCodesPortably(BitReader& reader, std::uint32_t count, std::int32_t parameter) {
    return skipRiceCodesIn(reader, count, parameter);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("lzcnt")]] bool skipRiceCodesWithLzcnt(BitReader& reader, std::uint32_t count,
                                                     std::int32_t parameter) {
    return skipRiceCodesIn(reader, count, parameter);
}

bool processorHasLzcnt() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 5)) != 0;
}
#endif

}  // namespace

bool skipRiceCodes(BitReader& reader, std::uint32_t count, std::int32_t parameter) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool useLzcnt = processorHasLzcnt();
    if (useLzcnt) return skipRiceCodesWithLzcnt(reader, count, parameter);
#endif
    return skipRiceCodesPortably(reader, count, parameter);
}

}  // namespace trakmap
