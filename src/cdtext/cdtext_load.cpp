#include <cstring>

#include "audio/byte_order.h"
#include "cdtext/cdtext.h"
#include "cdtext/cdtext_packs.h"

namespace trakmap {

namespace {

// Files written by drive, ripping and burning programs often keep the header
// that the drive returned with the packs: the data length (the file's size
// less the two length bytes), big-endian, and two reserved bytes. It is taken
// to be there only when the length matches and a pack type follows it.
// `got` of the file's `size` bytes are at `bytes`.
bool beginsWithHeader(const std::uint8_t* bytes, std::uint32_t got, std::uint32_t size) {
    return got > kCdTextHeaderBytes && loadBe16(bytes) == size - 2 && bytes[kCdTextHeaderBytes] >= kPackTitle &&
           bytes[kCdTextHeaderBytes] <= kPackSizeInfo;
}

}  // namespace

CdTextBuffer loadCdTextFile(NativeFile file) {
    const std::int64_t size = getFileSize64(file);
    // The file and its header must fit a 32-bit length.
    if (size <= 0 || size > std::int64_t{UINT32_MAX} - kCdTextHeaderBytes) return {};
    const auto fileBytes = static_cast<std::uint32_t>(size);

    CdTextBuffer buffer;
    buffer.bytes.reset(static_cast<std::uint8_t*>(allocZeroedBlock(fileBytes + kCdTextHeaderBytes)));
    if (!buffer.bytes) return {};
    // The file is taken as it stands; a short or failed read leaves fewer packs.
    std::uint32_t got = 0;
    if (!platformReadFile(file, buffer.bytes.get() + kCdTextHeaderBytes, fileBytes, &got)) got = 0;
    if (got > fileBytes) got = fileBytes;
    std::uint8_t* packs = buffer.bytes.get() + kCdTextHeaderBytes;
    if (beginsWithHeader(packs, got, fileBytes)) {
        std::memmove(packs, packs + kCdTextHeaderBytes, got - kCdTextHeaderBytes);
        got -= kCdTextHeaderBytes;
    }

    const std::uint32_t dataLength = got + 2;
    buffer.bytes[0] = static_cast<std::uint8_t>((dataLength >> 8) & 0xFFu);
    buffer.bytes[1] = static_cast<std::uint8_t>(dataLength & 0xFFu);
    buffer.length = got + kCdTextHeaderBytes;
    return buffer;
}

}  // namespace trakmap
