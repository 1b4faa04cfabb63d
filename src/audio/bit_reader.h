// Reads a file as a stream of bits, most significant bit of each byte first,
// through a 256 KiB buffer. Reads forward only, from the offset the reader was
// set up at; it neither uses nor moves the file position.
//
// End of data: reads past the last bit return 0. A read that runs out part
// way consumes the bits that were left and returns 0. `atEnd` is set exactly
// when the file's last bit has been consumed (or a read found no data or
// failed), and `overrun` once any read has wanted more bits than were left, so
// a caller can tell data that ended on time from data that was cut short.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "audio/file_helpers.h"
#include "platform/platform.h"

namespace trakmap {

inline constexpr std::uint32_t kReaderBufferBytes = 262144;

struct BitReader {
    HeapBytes buffer;              // `capacity` bytes, plus zeroed slack for word loads
    std::uint32_t capacity = 0;    // bytes a refill asks for
    std::uint64_t cache = 0;       // the next bits, first bit in the top bit
    std::int32_t cacheBits = 0;    // how many bits of `cache` are unread data (0 to 63)
    std::uint32_t nextByte = 0;    // index in `buffer` of the first byte not yet in `cache`
    std::uint32_t validBytes = 0;  // bytes the last refill put into `buffer`
    std::uint64_t bufferStart = 0; // bytes read from the file before `buffer[0]`
    NativeFile file = kInvalidFile;
    bool lastBuffer = false;       // the file has nothing after `validBytes`
    bool atEnd = false;
    bool overrun = false;
};

// Allocates the buffer and reads the first piece of the file from
// `startOffset` (positions count from the start of the file). False without
// memory.
bool initReader(BitReader& reader, NativeFile file, std::uint64_t startOffset = 0);

// Test seam: the size of the buffer readers set up from now on, at most
// (and by default) kReaderBufferBytes. Fuzzed files are far smaller than
// that, so without a small buffer their walks would never cross from one
// buffer into the next. Not to be changed while other threads set up readers.
void setReaderBufferBytes(std::uint32_t bytes);

// Reads the next piece of the file into the buffer: 1 when the read delivered
// data or failed, 0 when it delivered nothing. A failed read ends the data.
int refill(BitReader& reader);

// Bits consumed since the reader was set up.
inline std::uint64_t bitsConsumed(const BitReader& reader) {
    return (reader.bufferStart + reader.nextByte) * 8 - static_cast<std::uint32_t>(reader.cacheBits);
}

// `bitsConsumed` / 8: on a byte boundary, the file offset of the next byte.
inline std::int64_t bytePosition(const BitReader& reader) {
    return static_cast<std::int64_t>(bitsConsumed(reader) / 8);
}

// Out-of-line part of topping up the cache: buffer ends, refills, end of data.
void fillCacheSlowly(BitReader& reader);

// Tops the cache up to at least 56 bits, or to what is left of the data.
inline void fillCache(BitReader& reader) {
    if (reader.nextByte + 8 <= reader.validBytes) {
        std::uint64_t word;
        std::memcpy(&word, reader.buffer.get() + reader.nextByte, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        // Bits beyond the counted ones are the true next bits, so a later fill
        // that ORs the same bytes in again leaves them unchanged.
        reader.cache |= word >> reader.cacheBits;
        reader.nextByte += static_cast<std::uint32_t>(63 - reader.cacheBits) >> 3;
        reader.cacheBits |= 56;
        return;
    }
    fillCacheSlowly(reader);
}

// Drops `count` (1 to cacheBits) bits from the cache; an emptied cache is
// topped up at once so that `atEnd` is set as soon as the data is used up.
inline void consumeBits(BitReader& reader, std::int32_t count) {
    reader.cache <<= count;
    reader.cacheBits -= count;
    if (reader.cacheBits == 0) fillCache(reader);
}

// Marks a read that wanted more bits than were left: everything is consumed.
void runOutOfData(BitReader& reader);

// readBits for counts above 32.
std::uint32_t readLongBits(BitReader& reader, std::int32_t count);

// The next n bits, first bit most significant. n of 0 or less reads nothing;
// above 32 only the last 32 bits read are kept (callers skip data that way).
inline std::uint32_t readBits(BitReader& reader, std::int32_t count) {
    if (count <= 0) return 0;
    if (reader.atEnd) {
        reader.overrun = true;
        return 0;
    }
    if (count > 32) return readLongBits(reader, count);
    if (reader.cacheBits < count) {
        fillCache(reader);
        if (reader.cacheBits < count) {
            runOutOfData(reader);
            return 0;
        }
    }
    auto value = static_cast<std::uint32_t>(reader.cache >> (64 - count));
    consumeBits(reader, count);
    return value;
}

inline std::uint32_t readBit(BitReader& reader) { return readBits(reader, 1); }

// The next n bits (0 to 32) as an n-bit two's-complement number.
std::int32_t readSignedBits(BitReader& reader, std::int32_t count);

// The next 36 bits.
std::uint64_t readBits36(BitReader& reader);

// Zero bits before the next 1 bit, which is consumed. At end of data it stops
// and returns the zeros it counted.
std::uint32_t readUnary(BitReader& reader);

// A UTF-8-style coded number of up to 36 bits (FLAC frame and sample numbers).
std::int64_t readCodedNumber(BitReader& reader);

// Skips to the next byte boundary.
void alignToByte(BitReader& reader);

// Skips `count` bits.
void skipBits(BitReader& reader, std::uint64_t count);

// Skips `count` Rice codes with `parameter` low bits each (a unary high part,
// then the low bits). False when the data ran out.
bool skipRiceCodes(BitReader& reader, std::uint32_t count, std::int32_t parameter);

// The variants of skipRiceCodes' inner loop: the width of the words it loads
// and whether it uses the leading-zero count, population count and flag-free
// shift instructions. skipRiceCodes uses the processor's register width and
// the instructions when the processor has them; the others are there so that
// tests and benchmarks can check and time every variant on one machine.
enum class RiceLoop : std::uint8_t { portable32, portable64, bitInstructions32, bitInstructions64 };

// The variant skipRiceCodes uses on this processor.
RiceLoop nativeRiceLoop();

// Whether this processor can run `loop`.
bool riceLoopRunsHere(RiceLoop loop);

// skipRiceCodes through the given variant, which must run here.
bool skipRiceCodesWith(RiceLoop loop, BitReader& reader, std::uint32_t count, std::int32_t parameter);

}  // namespace trakmap
