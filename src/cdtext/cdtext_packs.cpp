#include "cdtext/cdtext_packs.h"

#include <array>
#include <cstring>

#include "cdtext/cdtext_crc.h"

namespace trakmap {

namespace {

constexpr std::uint8_t kLanguageEnglish = 0x09;
constexpr std::uint8_t kSizeInfoPacks = 3;
constexpr std::uint8_t kMaxCharacterPosition = 15;

// The strings of one pack type: entry 0 for the disc, entry k for track k;
// null where that entry has none.
struct TypeStrings {
    std::uint8_t type = 0;
    std::vector<CueText> entries;
    // Entries first..last are written; a null one among them becomes an empty
    // string so that every later string keeps its own track number.
    std::size_t first = 0;
    std::size_t last = 0;
    bool any = false;
};

bool isEmpty(CueText text) { return text == nullptr || text[0] == '\0'; }

CueText withFallback(CueText own, CueText disc) { return isEmpty(own) ? disc : own; }

TypeStrings collect(const CdTextSource& source, std::uint8_t type) {
    TypeStrings strings;
    strings.type = type;
    strings.entries.reserve(source.tracks.size() + 1);
    switch (type) {
        case kPackTitle:
            strings.entries.push_back(source.title);
            for (const CdTextTrack& track : source.tracks) strings.entries.push_back(track.title);
            break;
        case kPackPerformer:
            strings.entries.push_back(source.performer);
            for (const CdTextTrack& track : source.tracks)
                strings.entries.push_back(withFallback(track.performer, source.performer));
            break;
        case kPackComposer:
            strings.entries.push_back(source.composer);
            for (const CdTextTrack& track : source.tracks)
                strings.entries.push_back(withFallback(track.composer, source.composer));
            break;
        default:
            strings.entries.push_back(source.catalog);
            for (const CdTextTrack& track : source.tracks) strings.entries.push_back(track.isrc);
            break;
    }
    for (std::size_t k = 0; k < strings.entries.size(); ++k) {
        if (strings.entries[k] == nullptr) continue;
        if (!strings.any) strings.first = k;
        strings.last = k;
        strings.any = true;
    }
    return strings;
}

// Text bytes of one type, every string with its terminating zero.
std::uint64_t textBytes(const TypeStrings& strings) {
    if (!strings.any) return 0;
    std::uint64_t bytes = 0;
    for (std::size_t k = strings.first; k <= strings.last; ++k) {
        CueText text = strings.entries[k];
        bytes += (text != nullptr ? std::strlen(text) : 0) + 1;
    }
    return bytes;
}

void writeType(CdTextPackWriter& writer, const TypeStrings& strings) {
    if (!strings.any) return;
    for (std::size_t k = strings.first; k <= strings.last; ++k) {
        CueText text = strings.entries[k];
        writeCdTextString(writer, text != nullptr ? std::string_view(text) : std::string_view(),
                          strings.type, static_cast<std::uint8_t>(k));
    }
    closeCdTextPack(writer);
}

void finishPack(CdTextPackWriter& writer) {
    sealCdTextPack(writer.pack);
    writer.pack += kCdTextPackBytes;
    writer.cursor = nullptr;
}

std::array<std::uint8_t, 36> sizeInfoBytes(const CdTextSizeInfo& info) {
    std::array<std::uint8_t, 36> bytes{};
    bytes[0] = info.characterCode;
    bytes[1] = info.firstTrack;
    bytes[2] = info.lastTrack;
    bytes[3] = info.flags;
    std::memcpy(&bytes[4], info.packCounts, sizeof info.packCounts);
    std::memcpy(&bytes[20], info.lastSequence, sizeof info.lastSequence);
    std::memcpy(&bytes[28], info.languageCodes, sizeof info.languageCodes);
    return bytes;
}

}  // namespace

void writeCdTextString(CdTextPackWriter& writer, std::string_view text, std::uint8_t type,
                       std::uint8_t track) {
    const std::size_t total = text.size() + 1;  // the terminating zero too
    std::size_t written = 0;
    while (written < total) {
        if (writer.cursor == nullptr) {
            std::uint8_t* pack = writer.pack;
            pack[0] = type;
            pack[1] = track;
            pack[2] = static_cast<std::uint8_t>(writer.sequence++);
            pack[3] = written < kMaxCharacterPosition ? static_cast<std::uint8_t>(written)
                                                      : kMaxCharacterPosition;
            ++writer.sizeInfo.packCounts[type & 0x0Fu];
            writer.cursor = pack + kCdTextPackTextOffset;
        }
        std::uint8_t* textEnd = writer.pack + kCdTextPackTextOffset + kCdTextPackTextBytes;
        while (written < total && writer.cursor < textEnd) {
            *writer.cursor++ = written < text.size() ? static_cast<std::uint8_t>(text[written]) : 0;
            ++written;
        }
        if (writer.cursor == textEnd) finishPack(writer);
    }
}

void closeCdTextPack(CdTextPackWriter& writer) {
    if (writer.cursor == nullptr) return;
    std::uint8_t* textEnd = writer.pack + kCdTextPackTextOffset + kCdTextPackTextBytes;
    std::memset(writer.cursor, 0, static_cast<std::size_t>(textEnd - writer.cursor));
    finishPack(writer);
}

void writeCdTextSizeInfo(CdTextPackWriter& writer) {
    CdTextSizeInfo& info = writer.sizeInfo;
    info.lastSequence[0] = static_cast<std::uint8_t>(writer.sequence + kSizeInfoPacks - 1);
    info.languageCodes[0] = kLanguageEnglish;
    const std::array<std::uint8_t, 36> bytes = sizeInfoBytes(info);
    for (std::uint8_t part = 0; part < kSizeInfoPacks; ++part) {
        std::uint8_t* pack = writer.pack;
        pack[0] = kPackSizeInfo;
        pack[1] = part;
        pack[2] = static_cast<std::uint8_t>(writer.sequence++);
        pack[3] = 0;
        std::memcpy(pack + kCdTextPackTextOffset, &bytes[part * kCdTextPackTextBytes], kCdTextPackTextBytes);
        finishPack(writer);
    }
}

CdTextBuffer encodeCdTextPacks(const CdTextSource& source) {
    if (source.title == nullptr) return {};

    const TypeStrings types[] = {collect(source, kPackTitle), collect(source, kPackPerformer),
                                 collect(source, kPackComposer), collect(source, kPackCodes)};
    // Every type starts in a pack of its own.
    std::uint64_t packs = kSizeInfoPacks;
    for (const TypeStrings& strings : types)
        packs += (textBytes(strings) + kCdTextPackTextBytes - 1) / kCdTextPackTextBytes;
    const std::uint64_t total = packs * kCdTextPackBytes + kCdTextHeaderBytes;
    if (total > UINT32_MAX) return {};

    CdTextBuffer buffer;
    buffer.length = static_cast<std::uint32_t>(total);
    buffer.bytes.reset(static_cast<std::uint8_t*>(allocZeroedBlock(buffer.length)));
    if (!buffer.bytes) return {};
    const std::uint32_t dataLength = buffer.length - 2;
    buffer.bytes[0] = static_cast<std::uint8_t>((dataLength >> 8) & 0xFFu);
    buffer.bytes[1] = static_cast<std::uint8_t>(dataLength & 0xFFu);

    CdTextPackWriter writer;
    writer.pack = buffer.bytes.get() + kCdTextHeaderBytes;
    writer.sizeInfo.packCounts[kPackSizeInfo & 0x0Fu] = kSizeInfoPacks;
    for (const TypeStrings& strings : types) writeType(writer, strings);
    writer.sizeInfo.lastTrack = static_cast<std::uint8_t>(source.tracks.size());
    writeCdTextSizeInfo(writer);
    return buffer;
}

}  // namespace trakmap
