#include "audio/mp4.h"

#include <algorithm>

#include "audio/byte_order.h"

namespace trakmap {

namespace {

constexpr std::uint32_t fourCc(const char (&code)[5]) {
    return std::uint32_t{static_cast<std::uint8_t>(code[0])} << 24 |
           std::uint32_t{static_cast<std::uint8_t>(code[1])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(code[2])} << 8 |
           std::uint32_t{static_cast<std::uint8_t>(code[3])};
}

constexpr std::uint32_t kAtomHeaderBytes = 8;
// Sample entry fields up to and including the configuration atom's header.
constexpr std::uint32_t kSampleEntryFixedBytes = 44;
// The configuration payload must hold its version word and bytes 4 to 13.
constexpr std::uint32_t kMinConfigBytes = 14;
constexpr std::uint32_t kHandlerFixedBytes = 33;
constexpr std::uint32_t kSoundHeaderBytes = 16;

struct AtomHeader {
    std::uint32_t size = 0;
    std::uint32_t type = 0;
};

// One read, keeping the position and the end-of-file flag up to date.
bool readCounted(Mp4Reader& reader, std::uint32_t count, void* buffer, std::uint32_t* got) {
    bool ok = platformReadFile(reader.file, buffer, count, got);
    reader.position += *got;
    if (ok && *got == 0 && count != 0) reader.atEnd = true;
    return ok;
}

// Reads exactly `count` bytes; false when the read fails or falls short.
bool readFull(Mp4Reader& reader, std::uint32_t count, void* buffer) {
    std::uint32_t got = 0;
    return readCounted(reader, count, buffer, &got) && got == count;
}

bool seekTo(Mp4Reader& reader, std::int64_t position) {
    if (!platformSeekFile(reader.file, position, SeekFrom::begin)) return false;
    reader.position = position;
    return true;
}

AtomHeader readAtomHeader(Mp4Reader& reader) {
    AtomHeader header;
    header.size = readU32(reader);
    header.type = readU32(reader);
    return header;
}

bool skipPayload(Mp4Reader& reader, std::uint32_t atomSize) {
    return skipBytes(reader, std::int64_t{atomSize} - kAtomHeaderBytes);
}

// Reads `count` records of `recordBytes` bytes each into one buffer; the caller
// has already checked that they lie inside their atom.
bool readTable(Mp4Reader& reader, std::uint32_t count, std::uint32_t recordBytes,
               std::vector<std::uint8_t>* bytes) {
    bytes->resize(std::size_t{count} * recordBytes);
    return bytes->empty() || readFull(reader, static_cast<std::uint32_t>(bytes->size()), bytes->data());
}

// Walks the children of a container of `size` bytes whose header has been
// read. Every child must be a whole atom inside what remains of its parent;
// `handleChild` consumes exactly the child's payload or fails.
template <class Handler>
bool walkChildren(Mp4Reader& reader, Mp4Track& track, std::uint32_t size, Handler handleChild) {
    std::uint32_t remaining = size - kAtomHeaderBytes;
    while (remaining != 0) {
        if (remaining < kAtomHeaderBytes) return false;
        AtomHeader child = readAtomHeader(reader);
        if (child.size < kAtomHeaderBytes || child.size > remaining) return false;
        if (!handleChild(reader, track, child)) return false;
        remaining -= child.size;
    }
    return true;
}

bool parseSampleDescription(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    if (size < kAtomHeaderBytes + 8) return false;
    skipBytes(reader, 4);  // version and flags
    if (readU32(reader) != 1) return false;
    std::uint32_t entryBytes = readU32(reader);
    if (entryBytes < kSampleEntryFixedBytes || entryBytes > size - kAtomHeaderBytes - 8) return false;

    std::uint8_t entry[kSampleEntryFixedBytes];
    if (!readFull(reader, kSampleEntryFixedBytes - 4, entry + 4)) return false;
    track.format = loadBe32(entry + 4);
    track.channels = loadBe16(entry + 24);
    track.sampleSize = loadBe16(entry + 26);
    track.sampleRate = loadBe16(entry + 32);
    track.configSize = loadBe32(entry + 36);

    // The payload is taken as the rest of the entry, which a well-formed entry
    // fills exactly with the configuration atom; atoms after it in the entry
    // only lengthen the copy.
    std::uint32_t payloadBytes = entryBytes - kSampleEntryFixedBytes;
    if (payloadBytes < kMinConfigBytes) return false;
    track.config.resize(payloadBytes);
    if (!readFull(reader, payloadBytes, track.config.data())) return false;
    if (track.format != fourCc("alac")) return false;
    return skipBytes(reader, std::int64_t{size} - kAtomHeaderBytes - 8 - entryBytes);
}

bool parseTimeToSample(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    if (size < kAtomHeaderBytes + 8) return false;
    skipBytes(reader, 4);  // version and flags
    std::uint32_t count = readU32(reader);
    std::uint32_t room = size - kAtomHeaderBytes - 8;
    if (count > room / 8) return false;
    std::vector<std::uint8_t> bytes;
    if (!readTable(reader, count, 8, &bytes)) return false;
    track.timeToSample.resize(count);
    for (std::uint32_t i = 0; i < count; ++i)
        track.timeToSample[i] = {loadBe32(&bytes[8 * std::size_t{i}]), loadBe32(&bytes[8 * std::size_t{i} + 4])};
    track.timeToSampleCount = count;
    return skipBytes(reader, room - std::int64_t{count} * 8);
}

bool parseSampleSizes(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    if (size < kAtomHeaderBytes + 12) return false;
    skipBytes(reader, 4);  // version and flags
    std::uint32_t uniformSize = readU32(reader);
    std::uint32_t count = readU32(reader);
    std::uint32_t room = size - kAtomHeaderBytes - 12;
    track.sampleSizes.clear();
    track.sampleSizeCount = 0;
    // One size for every packet: no per-packet table follows.
    if (uniformSize != 0) return skipBytes(reader, room);
    if (count > room / 4) return false;
    std::vector<std::uint8_t> bytes;
    if (!readTable(reader, count, 4, &bytes)) return false;
    track.sampleSizes.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) track.sampleSizes[i] = loadBe32(&bytes[4 * std::size_t{i}]);
    track.sampleSizeCount = count;
    return skipBytes(reader, room - std::int64_t{count} * 4);
}

bool walkSampleTable(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    return walkChildren(reader, track, size, [](Mp4Reader& r, Mp4Track& t, AtomHeader child) {
        switch (child.type) {
            case fourCc("stsc"):
            case fourCc("stco"): return skipPayload(r, child.size);
            case fourCc("stsd"): return parseSampleDescription(r, t, child.size);
            case fourCc("stts"): return parseTimeToSample(r, t, child.size);
            case fourCc("stsz"): return parseSampleSizes(r, t, child.size);
            default: return false;
        }
    });
}

// Reads the next child of a container, which must be of `type` and lie
// inside the `remaining` bytes of its parent.
bool readChildOfType(Mp4Reader& reader, std::uint32_t type, std::uint32_t remaining, AtomHeader* child) {
    if (remaining < kAtomHeaderBytes) return false;
    *child = readAtomHeader(reader);
    return child->type == type && child->size >= kAtomHeaderBytes && child->size <= remaining;
}

// A sound media header of exactly 16 bytes, the data information, then the
// sample table, in this order; whatever follows them is passed over.
bool walkMediaInformation(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    std::uint32_t remaining = size - kAtomHeaderBytes;
    AtomHeader soundHeader;
    if (!readChildOfType(reader, fourCc("smhd"), remaining, &soundHeader) ||
        soundHeader.size != kSoundHeaderBytes || !skipPayload(reader, soundHeader.size))
        return false;
    remaining -= soundHeader.size;

    AtomHeader dataInformation;
    if (!readChildOfType(reader, fourCc("dinf"), remaining, &dataInformation) ||
        !skipPayload(reader, dataInformation.size))
        return false;
    remaining -= dataInformation.size;

    AtomHeader sampleTable;
    if (!readChildOfType(reader, fourCc("stbl"), remaining, &sampleTable) ||
        !walkSampleTable(reader, track, sampleTable.size))
        return false;
    remaining -= sampleTable.size;
    return remaining == 0 || skipBytes(reader, remaining);
}

bool walkMedia(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    return walkChildren(reader, track, size, [](Mp4Reader& r, Mp4Track& t, AtomHeader child) {
        switch (child.type) {
            case fourCc("mdhd"): return skipPayload(r, child.size);
            // The handler type and name are not examined: the sound media
            // header and the sample entry decide what the track is.
            case fourCc("hdlr"): return child.size >= kHandlerFixedBytes && skipPayload(r, child.size);
            case fourCc("minf"): return walkMediaInformation(r, t, child.size);
            default: return false;
        }
    });
}

bool walkTrack(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    return walkChildren(reader, track, size, [](Mp4Reader& r, Mp4Track& t, AtomHeader child) {
        switch (child.type) {
            case fourCc("tkhd"):
            case fourCc("edts"): return skipPayload(r, child.size);
            case fourCc("mdia"): return walkMedia(r, t, child.size);
            default: return false;
        }
    });
}

bool walkMovie(Mp4Reader& reader, Mp4Track& track, std::uint32_t size) {
    return walkChildren(reader, track, size, [](Mp4Reader& r, Mp4Track& t, AtomHeader child) {
        switch (child.type) {
            case fourCc("mvhd"):
            case fourCc("iods"):
            case fourCc("udta"):
            case fourCc("elst"): return skipPayload(r, child.size);
            case fourCc("trak"): return walkTrack(r, t, child.size);
            default: return false;
        }
    });
}

// The file type atom: major brand "M4A ", minor version, whole compatible brands.
bool checkFileType(Mp4Reader& reader, std::uint32_t size) {
    if (size < 16 || (size - 16) % 4 != 0) return false;
    if (readU32(reader) != fourCc("M4A ")) return false;
    return skipBytes(reader, std::int64_t{size} - 12);
}

// Records where the media data payload starts; offsets are 32-bit.
bool takeDataOffset(Mp4Reader& reader, Mp4Track& track) {
    if (reader.position > UINT32_MAX) return false;
    track.dataOffset = static_cast<std::uint32_t>(reader.position);
    return true;
}

}  // namespace

Mp4Reader openMp4Reader(NativeFile file, bool bigEndian) {
    Mp4Reader reader;
    reader.file = file;
    reader.bigEndian = bigEndian;
    platformFileSize(file, &reader.fileSize);
    seekTo(reader, 0);
    return reader;
}

bool readBytes(Mp4Reader& reader, std::uint32_t count, void* buffer) {
    std::uint32_t got = 0;
    return readCounted(reader, count, buffer, &got);
}

std::uint32_t readU32(Mp4Reader& reader) {
    std::uint8_t bytes[4];
    if (!readFull(reader, 4, bytes)) return 0;
    return reader.bigEndian ? loadBe32(bytes) : loadLe32(bytes);
}

std::uint16_t readU16(Mp4Reader& reader) {
    std::uint8_t bytes[2];
    if (!readFull(reader, 2, bytes)) return 0;
    return reader.bigEndian ? loadBe16(bytes) : loadLe16(bytes);
}

std::uint8_t readU8(Mp4Reader& reader) {
    std::uint8_t byte = 0;
    return readFull(reader, 1, &byte) ? byte : 0;
}

bool skipBytes(Mp4Reader& reader, std::int64_t distance) {
    if (distance == 0) return true;
    if (!platformSeekFile(reader.file, distance, SeekFrom::current)) return false;
    reader.position += distance;
    return true;
}

bool parseMp4(Mp4Reader& reader, Mp4Track& track) {
    track = Mp4Track{};
    bool moovSeen = false;
    bool mdatSeen = false;
    std::int64_t mdatPayload = 0;
    for (;;) {
        std::int64_t atomStart = reader.position;
        std::uint32_t size = readU32(reader);
        if (reader.atEnd) return false;
        std::uint32_t type = readU32(reader);
        bool isMediaData = type == fourCc("mdat");
        // Size 0 runs to the end of the file: only the media data after the
        // movie may do that, since nothing is read past it.
        if (size == 0) return isMediaData && moovSeen && takeDataOffset(reader, track);
        // Size 1 announces a 64-bit size; 2 to 7 cannot hold the header itself.
        if (size < kAtomHeaderBytes) return false;
        // The media data after the movie is never read; every other atom must
        // lie inside the file before anything is read or sized by it.
        if (isMediaData && moovSeen) return size > kAtomHeaderBytes && takeDataOffset(reader, track);
        if (size > reader.fileSize - atomStart) return false;

        switch (type) {
            case fourCc("free"):
                if (!skipPayload(reader, size)) return false;
                break;
            case fourCc("ftyp"):
                if (!checkFileType(reader, size)) return false;
                break;
            case fourCc("mdat"):
                if (size == kAtomHeaderBytes || !takeDataOffset(reader, track)) return false;
                mdatPayload = reader.position;
                mdatSeen = true;
                if (!skipPayload(reader, size)) return false;
                break;
            case fourCc("moov"):
                if (!walkMovie(reader, track, size)) return false;
                if (mdatSeen) {
                    track.dataOffset = static_cast<std::uint32_t>(mdatPayload);
                    return seekTo(reader, mdatPayload);
                }
                moovSeen = true;
                break;
            default:
                return false;
        }
    }
}

bool sampleInfo(const Mp4Track& track, std::uint32_t index, Mp4Packet* packet) {
    if (index >= track.sampleSizeCount || track.timeToSampleCount == 0) return false;
    std::uint64_t runStart = 0;
    for (const TimeToSampleRun& run : track.timeToSample) {
        std::uint64_t runEnd = runStart + run.sampleCount;
        if (index < runEnd) {
            *packet = {run.sampleDelta, track.sampleSizes[index]};
            return true;
        }
        runStart = runEnd;
    }
    return false;
}

}  // namespace trakmap
