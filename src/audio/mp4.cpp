#include "audio/mp4.h"

#include <algorithm>

#include "audio/byte_order.h"
#include "audio/probe_result.h"

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
    std::int64_t start = 0;  // file offset of the header
};

// One parse: the reader, the track it fills, and what it has found so far.
struct Mp4Parse {
    Mp4Reader& reader;
    Mp4Track& track;
    std::string why;           // the first reason the parse failed
    std::uint32_t tracks = 0;  // traks met so far
    bool alacSeen = false;     // an earlier trak was an ALAC sound track
};

std::string quotedType(std::uint32_t type) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(type >> 24), static_cast<std::uint8_t>(type >> 16),
                                   static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
    std::string text(1, '"');
    text += quotedBytes(bytes, 4);
    text += '"';
    return text;
}

std::string atomAt(const AtomHeader& atom) {
    return "its " + quotedType(atom.type) + " atom at byte " + std::to_string(atom.start);
}

// Records why the parse failed (the first reason stands) and fails.
bool fail(Mp4Parse& parse, std::string why) {
    if (parse.why.empty()) parse.why = std::move(why);
    return false;
}

bool failDamaged(Mp4Parse& parse, const std::string& what) { return fail(parse, what + ": the file is damaged"); }

bool failUnread(Mp4Parse& parse, const AtomHeader& atom, std::uint32_t container) {
    std::string where = container != 0 ? " (in " + quotedType(container) + ")" : "";
    return fail(parse, atomAt(atom) + where + " is not one this tool reads in an MP4 file");
}

// A track this reader does not measure: `alone` says what the file holds
// when no ALAC track came before it, `inTrack` what the track holds otherwise.
// Before any ALAC track the file holds other audio (or none) and is not for
// this tool; after one it is an ALAC file with more than this tool reads.
bool failNotAlac(Mp4Parse& parse, const std::string& alone, const std::string& inTrack) {
    if (!parse.alacSeen) {
        parse.track.notAlac = true;
        return fail(parse, alone);
    }
    return fail(parse, "its track " + std::to_string(parse.tracks) + " holds " + inTrack +
                           "; this tool reads MP4 files whose tracks are all ALAC");
}

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
    header.start = reader.position;
    header.size = readU32(reader);
    header.type = readU32(reader);
    return header;
}

bool skipPayload(Mp4Reader& reader, std::uint32_t atomSize) {
    return skipBytes(reader, std::int64_t{atomSize} - kAtomHeaderBytes);
}

// Walks the children of `container`, whose header has been read. Every child
// must be a whole atom inside what remains of its parent; `handleChild`
// consumes exactly the child's payload or fails.
template <class Handler>
bool walkChildren(Mp4Parse& parse, const AtomHeader& container, Handler handleChild) {
    std::uint32_t remaining = container.size - kAtomHeaderBytes;
    while (remaining != 0) {
        if (remaining < kAtomHeaderBytes)
            return failDamaged(parse, atomAt(container) + " ends inside the header of its last child");
        AtomHeader child = readAtomHeader(parse.reader);
        if (child.size < kAtomHeaderBytes)
            return failDamaged(parse, atomAt(child) + " has a size of " + std::to_string(child.size));
        if (child.size > remaining)
            return failDamaged(parse, atomAt(child) + " runs past the end of its " + quotedType(container.type) +
                                          " atom");
        if (!handleChild(parse, child)) return false;
        remaining -= child.size;
    }
    return true;
}

bool parseSampleDescription(Mp4Parse& parse, const AtomHeader& atom) {
    Mp4Reader& reader = parse.reader;
    Mp4Track& track = parse.track;
    if (atom.size < kAtomHeaderBytes + 8) return failDamaged(parse, atomAt(atom) + " is too short");
    skipBytes(reader, 4);  // version and flags
    std::uint32_t entries = readU32(reader);
    if (entries != 1)
        return fail(parse, atomAt(atom) + " holds " + std::to_string(entries) +
                               " sample descriptions; this tool reads files with one");
    std::uint32_t entryBytes = readU32(reader);
    if (entryBytes < kSampleEntryFixedBytes || entryBytes > atom.size - kAtomHeaderBytes - 8)
        return failDamaged(parse, atomAt(atom) + " holds a sample description of " + std::to_string(entryBytes) +
                                      " bytes");

    std::uint8_t entry[kSampleEntryFixedBytes];
    if (!readFull(reader, kSampleEntryFixedBytes - 4, entry + 4)) return fail(parse, "it cannot be read");
    track.format = loadBe32(entry + 4);
    if (track.format != kMp4FormatAlac) {
        std::string format = quotedType(track.format);
        return failNotAlac(parse, "MP4 audio in " + format + ", not ALAC", "audio in " + format);
    }
    track.channels = loadBe16(entry + 24);
    track.sampleSize = loadBe16(entry + 26);
    track.sampleRate = loadBe16(entry + 32);
    track.configSize = loadBe32(entry + 36);

    // The payload is taken as the rest of the entry, which a well-formed entry
    // fills exactly with the configuration atom; atoms after it in the entry
    // only lengthen it. Only its first bytes are kept.
    track.configBytes = entryBytes - kSampleEntryFixedBytes;
    if (track.configBytes < kMinConfigBytes)
        return failDamaged(parse, "its ALAC configuration holds only " + std::to_string(track.configBytes) + " bytes");
    track.config.fill(0);
    std::uint32_t kept = std::min(track.configBytes, kAlacConfigBytes);
    if (!readFull(reader, kept, track.config.data())) return fail(parse, "it cannot be read");
    parse.alacSeen = true;
    return skipBytes(reader, std::int64_t{atom.size} - kAtomHeaderBytes - 8 - kSampleEntryFixedBytes - kept);
}

// Notes where a table of `count` entries of `entryBytes` bytes starts, once
// it is known to lie inside its atom's `room` payload bytes, and moves past it.
bool takeTable(Mp4Parse& parse, const AtomHeader& atom, std::uint32_t count, std::uint32_t entryBytes,
               std::uint32_t room, Mp4Table* table) {
    if (count > room / entryBytes)
        return failDamaged(parse, atomAt(atom) + " claims " + std::to_string(count) + " entries, more than it holds");
    *table = {parse.reader.position, count};
    return skipBytes(parse.reader, room);
}

bool parseTimeToSample(Mp4Parse& parse, const AtomHeader& atom) {
    if (atom.size < kAtomHeaderBytes + 8) return failDamaged(parse, atomAt(atom) + " is too short");
    skipBytes(parse.reader, 4);  // version and flags
    std::uint32_t count = readU32(parse.reader);
    return takeTable(parse, atom, count, 8, atom.size - kAtomHeaderBytes - 8, &parse.track.timeToSample);
}

bool parseSampleSizes(Mp4Parse& parse, const AtomHeader& atom) {
    Mp4Track& track = parse.track;
    if (atom.size < kAtomHeaderBytes + 12) return failDamaged(parse, atomAt(atom) + " is too short");
    skipBytes(parse.reader, 4);  // version and flags
    track.uniformSampleSize = readU32(parse.reader);
    track.sampleCount = readU32(parse.reader);
    std::uint32_t room = atom.size - kAtomHeaderBytes - 12;
    // One size for every packet: no per-packet table follows.
    std::uint32_t listed = track.uniformSampleSize != 0 ? 0 : track.sampleCount;
    return takeTable(parse, atom, listed, 4, room, &track.sampleSizes);
}

bool walkSampleTable(Mp4Parse& parse, const AtomHeader& sampleTable) {
    return walkChildren(parse, sampleTable, [](Mp4Parse& p, const AtomHeader& child) {
        switch (child.type) {
            case fourCc("stsc"):
            case fourCc("stco"): return skipPayload(p.reader, child.size);
            case fourCc("stsd"): return parseSampleDescription(p, child);
            case fourCc("stts"): return parseTimeToSample(p, child);
            case fourCc("stsz"): return parseSampleSizes(p, child);
            default: return failUnread(p, child, fourCc("stbl"));
        }
    });
}

// Reads the next child of `parent`, which must be of `type` and lie inside
// the `remaining` bytes of it.
bool readChildOfType(Mp4Parse& parse, const AtomHeader& parent, std::uint32_t type, std::uint32_t remaining,
                     AtomHeader* child) {
    std::string expected = quotedType(type);
    if (remaining < kAtomHeaderBytes)
        return failDamaged(parse, atomAt(parent) + " ends before its " + expected + " atom");
    *child = readAtomHeader(parse.reader);
    if (child->type != type) {
        // Video, text and other media have media headers of their own ("vmhd", "nmhd", ...).
        bool otherMediaHeader = (child->type & 0x00FFFFFF) == (fourCc("smhd") & 0x00FFFFFF);
        if (type == fourCc("smhd") && otherMediaHeader) {
            std::string header = "(its media header is " + quotedType(child->type) + ")";
            return failNotAlac(parse, "an MP4 file whose track " + std::to_string(parse.tracks) + " holds no sound " + header,
                               "no sound " + header);
        }
        return failDamaged(parse, atomAt(*child) + " stands where its " + expected + " atom should");
    }
    if (child->size < kAtomHeaderBytes || child->size > remaining)
        return failDamaged(parse, atomAt(*child) + " runs past the end of its " + quotedType(parent.type) + " atom");
    return true;
}

// A sound media header of exactly 16 bytes, the data information, then the
// sample table, in this order; whatever follows them is passed over.
bool walkMediaInformation(Mp4Parse& parse, const AtomHeader& mediaInformation) {
    Mp4Reader& reader = parse.reader;
    std::uint32_t remaining = mediaInformation.size - kAtomHeaderBytes;
    AtomHeader soundHeader;
    if (!readChildOfType(parse, mediaInformation, fourCc("smhd"), remaining, &soundHeader)) return false;
    if (soundHeader.size != kSoundHeaderBytes)
        return failDamaged(parse, atomAt(soundHeader) + " has a size of " + std::to_string(soundHeader.size));
    if (!skipPayload(reader, soundHeader.size)) return fail(parse, "it cannot be read");
    remaining -= soundHeader.size;

    AtomHeader dataInformation;
    if (!readChildOfType(parse, mediaInformation, fourCc("dinf"), remaining, &dataInformation)) return false;
    if (!skipPayload(reader, dataInformation.size)) return fail(parse, "it cannot be read");
    remaining -= dataInformation.size;

    AtomHeader sampleTable;
    if (!readChildOfType(parse, mediaInformation, fourCc("stbl"), remaining, &sampleTable) ||
        !walkSampleTable(parse, sampleTable))
        return false;
    remaining -= sampleTable.size;
    return remaining == 0 || skipBytes(reader, remaining);
}

// The media header: its time scale, where its version puts it.
bool parseMediaHeader(Mp4Parse& parse, const AtomHeader& atom) {
    std::uint32_t payload = atom.size - kAtomHeaderBytes;
    std::uint8_t version = payload >= 4 ? readU8(parse.reader) : 0;
    std::uint32_t before = version == 1 ? 20 : 12;  // version, flags and two times of 8 or 4 bytes
    std::uint32_t read = payload >= 4 ? 1 : 0;
    parse.track.timeScale = 0;
    if (payload >= before + 4) {
        skipBytes(parse.reader, before - 1);
        parse.track.timeScale = readU32(parse.reader);
        read = before + 4;
    }
    return skipBytes(parse.reader, std::int64_t{payload} - read);
}

bool walkMedia(Mp4Parse& parse, const AtomHeader& media) {
    return walkChildren(parse, media, [](Mp4Parse& p, const AtomHeader& child) {
        switch (child.type) {
            case fourCc("mdhd"): return parseMediaHeader(p, child);
            // The handler type and name are not examined: the sound media
            // header and the sample entry decide what the track is.
            case fourCc("hdlr"):
                if (child.size < kHandlerFixedBytes) return failDamaged(p, atomAt(child) + " is too short");
                return skipPayload(p.reader, child.size);
            case fourCc("minf"): return walkMediaInformation(p, child);
            default: return failUnread(p, child, fourCc("mdia"));
        }
    });
}

bool walkTrack(Mp4Parse& parse, const AtomHeader& track) {
    ++parse.tracks;
    return walkChildren(parse, track, [](Mp4Parse& p, const AtomHeader& child) {
        switch (child.type) {
            case fourCc("tkhd"):
            case fourCc("edts"): return skipPayload(p.reader, child.size);
            case fourCc("mdia"): return walkMedia(p, child);
            default: return failUnread(p, child, fourCc("trak"));
        }
    });
}

bool walkMovie(Mp4Parse& parse, const AtomHeader& movie) {
    return walkChildren(parse, movie, [](Mp4Parse& p, const AtomHeader& child) {
        switch (child.type) {
            case fourCc("mvhd"):
            case fourCc("iods"):
            case fourCc("udta"):
            case fourCc("elst"): return skipPayload(p.reader, child.size);
            case fourCc("trak"): return walkTrack(p, child);
            default: return failUnread(p, child, fourCc("moov"));
        }
    });
}

// The file type atom: a major brand, a minor version and whole compatible
// brands. The first may name any brand; a later one must repeat it.
bool checkFileType(Mp4Parse& parse, const AtomHeader& atom, std::uint32_t* majorBrand) {
    if (atom.size < 16 || (atom.size - 16) % 4 != 0)
        return failDamaged(parse, atomAt(atom) + " has a size of " + std::to_string(atom.size));
    std::uint32_t brand = readU32(parse.reader);
    if (*majorBrand == 0) *majorBrand = brand;
    else if (brand != *majorBrand)
        return failDamaged(parse, atomAt(atom) + " names the brand " + quotedType(brand) + " after " +
                                      quotedType(*majorBrand));
    return skipBytes(parse.reader, std::int64_t{atom.size} - 12);
}

// Records where the media data payload starts; offsets are 32-bit.
bool takeDataOffset(Mp4Parse& parse) {
    if (parse.reader.position > UINT32_MAX)
        return fail(parse, "its media data starts at byte " + std::to_string(parse.reader.position) +
                               ", beyond the 4 GiB this tool's seek tables reach");
    parse.track.dataOffset = static_cast<std::uint32_t>(parse.reader.position);
    return true;
}

bool parseTopLevel(Mp4Parse& parse) {
    Mp4Reader& reader = parse.reader;
    bool moovSeen = false;
    bool mdatSeen = false;
    std::int64_t mdatPayload = 0;
    std::uint32_t majorBrand = 0;
    for (;;) {
        if (reader.fileSize - reader.position < kAtomHeaderBytes) {
            if (!moovSeen)
                return fail(parse, "cut short: it ends at byte " + std::to_string(reader.fileSize) +
                                       " without the \"moov\" atom that describes its audio");
            return failDamaged(parse, "it ends at byte " + std::to_string(reader.fileSize) +
                                          " without an \"mdat\" atom to hold its audio");
        }
        AtomHeader atom = readAtomHeader(reader);
        if (reader.atEnd) return fail(parse, "it cannot be read");
        bool isMediaData = atom.type == fourCc("mdat");
        // Size 0 runs to the end of the file: only the media data after the
        // movie may do that, since nothing is read past it.
        if (atom.size == 0) {
            if (isMediaData && moovSeen) return takeDataOffset(parse);
            return failDamaged(parse, atomAt(atom) + " runs to the end of the file, where nothing may follow it");
        }
        if (atom.size == 1) return fail(parse, atomAt(atom) + " has a 64-bit size, which this tool does not read");
        // Sizes 2 to 7 cannot hold the header itself.
        if (atom.size < kAtomHeaderBytes)
            return failDamaged(parse, atomAt(atom) + " has a size of " + std::to_string(atom.size));
        // The media data after the movie is never read; every other atom must
        // lie inside the file before anything is read or sized by it.
        if (isMediaData && moovSeen) {
            if (atom.size == kAtomHeaderBytes) return failDamaged(parse, atomAt(atom) + " is empty");
            return takeDataOffset(parse);
        }
        bool known = atom.type == fourCc("free") || atom.type == fourCc("ftyp") || isMediaData ||
                     atom.type == fourCc("moov");
        if (!known) return failUnread(parse, atom, 0);
        if (atom.size > reader.fileSize - atom.start) {
            std::string missing = moovSeen ? "" : ", and the \"moov\" atom that describes its audio is missing";
            return fail(parse, "cut short: its " + quotedType(atom.type) + " atom reaches byte " +
                                   std::to_string(atom.start + atom.size) + " of a " +
                                   std::to_string(reader.fileSize) + "-byte file" + missing);
        }

        switch (atom.type) {
            case fourCc("free"):
                if (!skipPayload(reader, atom.size)) return fail(parse, "it cannot be read");
                break;
            case fourCc("ftyp"):
                if (!checkFileType(parse, atom, &majorBrand)) return false;
                break;
            case fourCc("mdat"):
                if (atom.size == kAtomHeaderBytes) return failDamaged(parse, atomAt(atom) + " is empty");
                if (!takeDataOffset(parse)) return false;
                mdatPayload = reader.position;
                mdatSeen = true;
                if (!skipPayload(reader, atom.size)) return fail(parse, "it cannot be read");
                break;
            default:  // "moov"
                if (!walkMovie(parse, atom)) return false;
                if (mdatSeen) {
                    parse.track.dataOffset = static_cast<std::uint32_t>(mdatPayload);
                    return seekTo(reader, mdatPayload) || fail(parse, "it cannot be read");
                }
                moovSeen = true;
                break;
        }
    }
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

bool parseMp4(Mp4Reader& reader, Mp4Track& track, std::string* why) {
    track = Mp4Track{};
    Mp4Parse parse{reader, track, {}};
    bool parsed = parseTopLevel(parse);
    if (!parsed) *why = parse.why.empty() ? "its MP4 atoms cannot be read" : parse.why;
    return parsed;
}

Mp4Durations openDurations(NativeFile file, const Mp4Track& track) {
    Mp4Durations durations;
    durations.runs = openStoredTable(file, static_cast<std::uint64_t>(track.timeToSample.position),
                                     track.timeToSample.count, 8);
    return durations;
}

bool takeDurations(Mp4Durations& durations, std::uint64_t most, std::uint64_t* taken, std::uint32_t* duration) {
    // Runs of no packets are passed over.
    while (durations.leftInRun == 0) {
        const std::uint8_t* run = nextEntry(durations.runs);
        if (run == nullptr) return false;
        durations.leftInRun = loadBe32(run);
        durations.duration = loadBe32(run + 4);
    }
    *taken = std::min<std::uint64_t>(std::max<std::uint64_t>(most, 1), durations.leftInRun);
    *duration = durations.duration;
    durations.leftInRun -= static_cast<std::uint32_t>(*taken);
    return true;
}

}  // namespace trakmap
