// MP4 files of one ALAC track built atom by atom, well-formed or broken on
// purpose: the movie (ftyp, moov with one trak down to its sample table) and
// the media data, movie first or media data first.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "support/byte_builder.h"

namespace trakmap::test {

// An MP4 atom with either a payload or children; `sizeField` replaces the size
// written in its header, to build malformed files.
struct Atom {
    std::string type;
    std::vector<std::uint8_t> payload;
    std::vector<Atom> children;
    std::optional<std::uint32_t> sizeField;

    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> body = payload;
        for (const Atom& child : children) {
            std::vector<std::uint8_t> more = child.bytes();
            body.insert(body.end(), more.begin(), more.end());
        }
        ByteBuilder b;
        b.be32(sizeField.value_or(static_cast<std::uint32_t>(body.size() + 8))).text(type).append(body);
        return b.bytes;
    }

    // The first child of this type; the path must exist.
    Atom& operator[](const std::string& childType) {
        for (Atom& child : children)
            if (child.type == childType) return child;
        ADD_FAILURE() << "no " << childType << " in " << type;
        return *this;
    }
};

inline Atom leaf(std::string type, std::vector<std::uint8_t> payload) { return {std::move(type), std::move(payload), {}, {}}; }
inline Atom box(std::string type, std::vector<Atom> children) { return {std::move(type), {}, std::move(children), {}}; }

struct TimeToSampleRun {
    std::uint32_t sampleCount;  // packets in the run
    std::uint32_t sampleDelta;  // duration of each
};

struct AlacStream {
    std::uint16_t sampleRate = 44100;
    std::uint16_t channels = 2;
    std::uint16_t bitsPerSample = 16;
    std::uint32_t timeScale = 0;  // in the media header; 0 leaves it unsaid
    std::uint32_t configRate = 44100;  // in the ALAC configuration
    std::vector<TimeToSampleRun> runs = {{1000, 4096}};
    std::vector<std::uint32_t> sizes = std::vector<std::uint32_t>(1000);

    AlacStream() {
        for (std::size_t i = 0; i < sizes.size(); ++i) sizes[i] = 100 + static_cast<std::uint32_t>(i % 37);
    }
};

inline std::vector<std::uint8_t> alacConfigPayload(const AlacStream& s) {
    ByteBuilder b;
    b.be32(0).be32(4096);  // version and flags, frame length
    b.bytes.insert(b.bytes.end(), {0, 16, 40, 10, 14, 2});
    b.be16(255).be32(0).be32(0).be32(s.configRate);
    return b.bytes;
}

inline Atom sampleDescription(const AlacStream& s) {
    ByteBuilder entry;
    entry.zeros(6).be16(1).be16(0).be16(0).be32(0);
    entry.be16(s.channels).be16(s.bitsPerSample).be16(0).be16(0).be16(s.sampleRate).be16(0);
    entry.append(leaf("alac", alacConfigPayload(s)).bytes());
    ByteBuilder stsd;
    stsd.be32(0).be32(1).append(leaf("alac", entry.bytes).bytes());
    return leaf("stsd", stsd.bytes);
}

inline Atom movie(const AlacStream& s) {
    ByteBuilder stts;
    stts.be32(0).be32(static_cast<std::uint32_t>(s.runs.size()));
    for (TimeToSampleRun run : s.runs) stts.be32(run.sampleCount).be32(run.sampleDelta);
    ByteBuilder stsz;
    stsz.be32(0).be32(0).be32(static_cast<std::uint32_t>(s.sizes.size()));
    for (std::uint32_t size : s.sizes) stsz.be32(size);
    Atom sampleTable = box("stbl", {sampleDescription(s), leaf("stts", stts.bytes),
                                    leaf("stsc", ByteBuilder().be32(0).be32(0).bytes), leaf("stsz", stsz.bytes),
                                    leaf("stco", ByteBuilder().be32(0).be32(1).be32(0).bytes)});
    Atom handler = leaf("hdlr", ByteBuilder().be32(0).be32(0).text("soun").zeros(12).text("SoundHandler").zeros(1).bytes);
    Atom mediaInformation =
        box("minf", {leaf("smhd", std::vector<std::uint8_t>(8)),
                     box("dinf", {leaf("dref", ByteBuilder().be32(0).be32(0).bytes)}), sampleTable});
    Atom mediaHeader = leaf("mdhd", ByteBuilder().be32(0).be32(0).be32(0).be32(s.timeScale).be32(0).be32(0).bytes);
    Atom media = box("mdia", {mediaHeader, handler, mediaInformation});
    Atom track = box("trak", {leaf("tkhd", std::vector<std::uint8_t>(84)), media});
    return box("moov", {leaf("mvhd", std::vector<std::uint8_t>(100)), track,
                        box("udta", {leaf("meta", std::vector<std::uint8_t>(20))})});
}

inline Atom fileType() { return leaf("ftyp", ByteBuilder().text("M4A ").be32(0x200).text("M4A isomiso2").bytes); }

inline Atom mediaData(const AlacStream& s) {
    std::uint64_t total = std::accumulate(s.sizes.begin(), s.sizes.end(), std::uint64_t{0});
    return leaf("mdat", std::vector<std::uint8_t>(total, 0xAA));
}

// The top-level atoms of a file, movie first or media data first.
inline std::vector<Atom> m4a(const AlacStream& s, bool movieFirst) {
    if (movieFirst) return {fileType(), movie(s), mediaData(s)};
    return {fileType(), leaf("free", {}), mediaData(s), movie(s)};
}

inline std::vector<std::uint8_t> serialize(const std::vector<Atom>& atoms) {
    ByteBuilder b;
    for (const Atom& atom : atoms) b.append(atom.bytes());
    return b.bytes;
}

}  // namespace trakmap::test
