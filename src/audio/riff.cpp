#include "audio/riff.h"

#include <algorithm>
#include <cstring>

#include "audio/byte_order.h"
#include "audio/file_helpers.h"

namespace trakmap {

namespace {

constexpr std::uint64_t kFirstChunk = 12;  // behind "RIFF", its size and "WAVE"
constexpr std::uint32_t kChunkHeaderBytes = 8;
constexpr std::uint32_t kFormatBytes = 16;            // the fields every "fmt " chunk has
constexpr std::uint32_t kExtensibleFormatBytes = 26;  // up to the sub-format's tag
constexpr std::uint16_t kWaveFormatExtensible = 0xFFFE;
// Real files have a handful of chunks before their audio; a walk this long
// is not one.
constexpr int kMostChunks = 256;

void takeFormat(const std::uint8_t* fields, std::uint32_t length, WaveChunks* chunks) {
    chunks->formatTag = loadLe16(fields);
    chunks->format.channels = loadLe16(fields + 2);
    chunks->format.sampleRate = loadLe32(fields + 4);
    chunks->blockAlign = loadLe16(fields + 12);
    chunks->format.bitsPerSample = loadLe16(fields + 14);
    // The extensible form names its real format in the first two bytes of
    // its sub-format GUID.
    if (chunks->formatTag == kWaveFormatExtensible && length >= kExtensibleFormatBytes)
        chunks->formatTag = loadLe16(fields + 24);
}

}  // namespace

bool readWaveChunks(NativeFile file, std::uint64_t fileSize, WaveChunks* chunks, std::string* why) {
    bool formatSeen = false;
    bool dataSeen = false;
    std::uint64_t position = kFirstChunk;
    for (int walked = 0; walked < kMostChunks && !(formatSeen && dataSeen); ++walked) {
        std::uint8_t header[kChunkHeaderBytes];
        if (position + kChunkHeaderBytes > fileSize || !readExactlyAt(file, position, header, kChunkHeaderBytes)) break;
        const std::uint32_t size = loadLe32(header + 4);
        const std::uint64_t payload = position + kChunkHeaderBytes;
        if (std::memcmp(header, "fmt ", 4) == 0 && !formatSeen) {
            if (size < kFormatBytes) {
                *why = "its \"fmt \" chunk is " + std::to_string(size) + " bytes long, too short for a format";
                return false;
            }
            std::uint8_t fields[kExtensibleFormatBytes] = {};
            std::uint32_t length = std::min<std::uint32_t>(size, kExtensibleFormatBytes);
            if (payload + length > fileSize || !readExactlyAt(file, payload, fields, length)) break;
            takeFormat(fields, length, chunks);
            formatSeen = true;
        } else if (std::memcmp(header, "data", 4) == 0 && !dataSeen) {
            chunks->dataOffset = payload;
            std::uint64_t held = fileSize - payload;
            // Writers that stream leave the size at its largest value; others
            // were cut short. Either way only what the file holds is audio.
            chunks->dataCutShort = size > held && size != 0xFFFFFFFFu;
            chunks->dataBytes = std::min<std::uint64_t>(size, held);
            dataSeen = true;
        }
        // Chunks are padded to an even length.
        position = payload + size + (size & 1u);
    }
    if (!formatSeen) *why = "it has no \"fmt \" chunk";
    else if (!dataSeen) *why = "it has no \"data\" chunk";
    return formatSeen && dataSeen;
}

}  // namespace trakmap
