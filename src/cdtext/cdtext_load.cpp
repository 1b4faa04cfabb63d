#include "cdtext/cdtext.h"
#include "cdtext/cdtext_packs.h"

namespace trakmap {

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

    const std::uint32_t dataLength = got + 2;
    buffer.bytes[0] = static_cast<std::uint8_t>((dataLength >> 8) & 0xFFu);
    buffer.bytes[1] = static_cast<std::uint8_t>(dataLength & 0xFFu);
    buffer.length = got + kCdTextHeaderBytes;
    return buffer;
}

}  // namespace trakmap
