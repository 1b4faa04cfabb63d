#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <optional>

#include "audio/alac.h"
#include "audio/mp4.h"
#include "support/byte_builder.h"
#include "support/encoders.h"
#include "support/mp4_atoms.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using test::AlacStream;
using test::Atom;
using test::box;
using test::ByteBuilder;
using test::fileType;
using test::leaf;
using test::m4a;
using test::probePath;
using test::seekPointsOf;
using test::serialize;
using test::TempDir;
using test::TimeToSampleRun;

AudioInfoPtr probeAtoms(const std::vector<Atom>& atoms) { return test::probeBytes(serialize(atoms)); }

std::vector<SeekPoint> expectedPoints(const AlacStream& s, std::uint32_t dataOffset) {
    std::vector<SeekPoint> points;
    std::uint32_t sample = 0;
    std::uint32_t offset = dataOffset;
    std::size_t run = 0;
    std::uint32_t leftInRun = s.runs[0].sampleCount;
    for (std::uint32_t size : s.sizes) {
        points.push_back({sample, offset});
        if (leftInRun == 0) leftInRun = s.runs[++run].sampleCount;
        --leftInRun;
        sample += s.runs[run].sampleDelta;
        offset += size;
    }
    points.push_back({sample, offset});
    return points;
}

TEST(Alac, EitherAtomOrderGivesPacketsBackToBackFromTheMediaData) {
    AlacStream stream;
    for (bool movieFirst : {true, false}) {
        SCOPED_TRACE(movieFirst ? "moov first" : "mdat first");
        std::vector<Atom> atoms = m4a(stream, movieFirst);
        std::uint32_t dataOffset = 0;
        for (const Atom& atom : atoms) {
            if (atom.type == "mdat") {
                dataOffset += 8;
                break;
            }
            dataOffset += static_cast<std::uint32_t>(atom.bytes().size());
        }
        AudioInfoPtr info = probeAtoms(atoms);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->codec, kCodecAlac);
        EXPECT_EQ(seekPointsOf(*info), expectedPoints(stream, dataOffset));
        EXPECT_EQ(info->seekPointCount, 1001u);
        EXPECT_EQ(info->totalSamples, 4096000u);
        EXPECT_EQ(info->maxFrameSamples, 4096u);
        EXPECT_EQ(info->maxFrameBytes, 136u);
        EXPECT_EQ(info->alac.alacFrameLength, 4096u);
        EXPECT_EQ(info->alac.alacBitDepth, 16);
        EXPECT_EQ(info->alac.alacHistoryMult, 40);
        EXPECT_EQ(info->alac.alacInitialHistory, 10);
        EXPECT_EQ(info->alac.alacRiceLimit, 14);
        EXPECT_EQ(info->alac.alacChannels, 2u);
    }
}

TEST(Alac, LastRunSetsTheFinalPacketDuration) {
    AlacStream stream;
    stream.runs = {{999, 4096}, {1, 1500}};
    AudioInfoPtr info = probeAtoms(m4a(stream, true));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->totalSamples, 4093404u);
    EXPECT_EQ(info->maxFrameSamples, 4096u);
    EXPECT_EQ(info->seekPoints[999].sample, 999u * 4096);
    EXPECT_EQ(info->seekPoints[1000].sample, 4093404u);
}

TEST(Alac, MediaDataAfterTheMovieIsNotRead) {
    AlacStream stream;
    // Size 0 (to the end of the file) and a size beyond the file are both fine
    // once the movie has been read: the atom's size is never looked at.
    for (std::uint32_t sizeField : {0u, 0x7FFFFFF0u}) {
        std::vector<Atom> atoms = m4a(stream, true);
        atoms[2].sizeField = sizeField;
        atoms.push_back(leaf("junk", {}));
        AudioInfoPtr info = probeAtoms(atoms);
        ASSERT_NE(info, nullptr) << sizeField;
        EXPECT_EQ(info->totalSamples, 4096000u);
    }
}

// Every packet of one size: the durations still give the length, and the
// closing point where the packets end.
TEST(Alac, OneUniformPacketSizeGivesTheLengthAndTheClosingPoint) {
    AlacStream stream;
    stream.runs = {{999, 4096}, {1, 1500}};
    stream.sizes.assign(1000, 100);
    std::vector<Atom> atoms = m4a(stream, true);
    atoms[1]["trak"]["mdia"]["minf"]["stbl"]["stsz"].payload = ByteBuilder().be32(0).be32(100).be32(1000).bytes;
    AudioInfoPtr info = probeAtoms(atoms);
    ASSERT_NE(info, nullptr);
    std::uint32_t dataOffset = static_cast<std::uint32_t>(atoms[0].bytes().size() + atoms[1].bytes().size() + 8);
    EXPECT_EQ(seekPointsOf(*info), (std::vector<SeekPoint>{{4093404, dataOffset + 100000}}));
    EXPECT_EQ(info->totalSamples, 4093404u);
    EXPECT_EQ(info->maxFrameBytes, 100u);
    EXPECT_EQ(info->maxFrameSamples, 4096u);
}

TEST(Alac, SaysHowEachFileIsMeasuredAndWhyItIsNot) {
    using Change = std::function<void(std::vector<Atom>&)>;
    auto stbl = [](std::vector<Atom>& a) -> Atom& { return a[1]["trak"]["mdia"]["minf"]["stbl"]; };
    auto streamCase = [](auto change) {
        AlacStream s;
        change(s);
        return m4a(s, true);
    };
    struct Case {
        const char* name;
        std::vector<Atom> atoms;
        Change change;
        Measure measure = Measure::refused;
        std::string reason;  // a part of the reason
        std::uint32_t frames = 0;
    };
    AlacStream plain;
    std::vector<Atom> moovFirst = m4a(plain, true);
    std::vector<Atom> mdatFirst = m4a(plain, false);
    const Change unchanged = [](std::vector<Atom>&) {};
    const std::vector<Case> cases = {
        {"brand isom", moovFirst,
         [](auto& a) { a[0].payload = ByteBuilder().text("isom").be32(0x200).text("isom").bytes; },
         Measure::cdAudio, "", 4096000 / 588},
        {"two file type atoms of one brand", moovFirst, [](auto& a) { a.insert(a.begin() + 1, fileType()); },
         Measure::cdAudio, "", 4096000 / 588},
        {"48000 Hz", streamCase([](AlacStream& s) { s.sampleRate = 48000; }), unchanged, Measure::byDuration,
         "48000 Hz 16-bit stereo: measured by its duration", 6400},
        {"mono", streamCase([](AlacStream& s) { s.channels = 1; }), unchanged, Measure::byDuration,
         "44100 Hz 16-bit mono: measured by its duration", 6965},
        {"24-bit", streamCase([](AlacStream& s) { s.bitsPerSample = 24; }), unchanged, Measure::byDuration,
         "44100 Hz 24-bit stereo", 6965},
        // A rate the sample entry's 16 bits cannot hold comes from the configuration.
        {"96000 Hz", streamCase([](AlacStream& s) {
             s.sampleRate = 0;
             s.configRate = 96000;
             s.timeScale = 96000;
         }),
         unchanged, Measure::byDuration, "96000 Hz 16-bit stereo", 3200},
        {"durations in a time scale of twice the rate", streamCase([](AlacStream& s) {
             s.sampleRate = 48000;
             s.timeScale = 96000;
         }),
         unchanged, Measure::byDuration, "48000 Hz 16-bit stereo", 3200},
        {"sample entry of another format", moovFirst, [&](auto& a) { stbl(a)["stsd"].payload[12] = 'm'; },
         Measure::bySize, "MP4 audio in \"mlac\", not ALAC: measured by its size"},
        {"video track", moovFirst,
         [](auto& a) { a[1]["trak"]["mdia"]["minf"].children[0] = leaf("vmhd", std::vector<std::uint8_t>(12)); },
         Measure::bySize, "an MP4 file whose track 1 holds no sound (its media header is \"vmhd\")"},
        {"wide atom before the movie", moovFirst, [](auto& a) { a.insert(a.begin() + 1, leaf("wide", {})); },
         Measure::refused, "its \"wide\" atom at byte 28 is not one this tool reads"},
        {"second ftyp of another brand", moovFirst,
         [](auto& a) { a.insert(a.begin() + 1, leaf("ftyp", ByteBuilder().text("qt  ").be32(0).bytes)); },
         Measure::refused, "names the brand \"qt  \" after \"M4A \""},
        {"chapter text track", moovFirst,
         [](auto& a) {
             Atom text = a[1]["trak"];
             text["mdia"]["minf"].children[0] = leaf("nmhd", std::vector<std::uint8_t>(4));
             a[1].children.push_back(text);
         },
         Measure::refused, "its track 2 holds no sound (its media header is \"nmhd\")"},
        {"second track of other audio", moovFirst,
         [&](auto& a) {
             Atom other = a[1]["trak"];
             other["mdia"]["minf"]["stbl"]["stsd"].payload[12] = 'm';
             a[1].children.push_back(other);
         },
         Measure::refused, "its track 2 holds audio in \"mlac\""},
        {"co64 in stbl", moovFirst,
         [&](auto& a) { stbl(a).children.push_back(leaf("co64", ByteBuilder().be32(0).be32(0).bytes)); },
         Measure::refused, "atom at byte", },
        {"stss in stbl", moovFirst,
         [&](auto& a) { stbl(a).children.push_back(leaf("stss", ByteBuilder().be32(0).be32(0).bytes)); },
         Measure::refused, "(in \"stbl\") is not one this tool reads"},
        {"runs cover 999 of 1000 packets", streamCase([](AlacStream& s) { s.runs = {{999, 4096}}; }), unchanged,
         Measure::refused, "its time-to-sample table covers 999 of its 1000 packets: the file is damaged"},
        {"empty time-to-sample table", streamCase([](AlacStream& s) { s.runs = {}; }), unchanged, Measure::refused,
         "its time-to-sample table is missing or empty"},
        {"packet of no bytes", streamCase([](AlacStream& s) { s.sizes[5] = 0; }), unchanged, Measure::refused,
         "its sample size table gives packet 6 no bytes: the file is damaged"},
        {"two sample entries", moovFirst, [&](auto& a) { stbl(a)["stsd"].payload[7] = 2; }, Measure::refused,
         "holds 2 sample descriptions"},
        {"sample entry below 44 bytes", moovFirst, [&](auto& a) { stbl(a)["stsd"].payload[11] = 40; },
         Measure::refused, "holds a sample description of 40 bytes"},
        {"configuration payload below 14 bytes", moovFirst,
         [&](auto& a) {
             auto& p = stbl(a)["stsd"].payload;
             p.resize(8 + 44 + 10);
             p[11] = 54;
         },
         Measure::refused, "its ALAC configuration holds only 10 bytes"},
        {"sample entry beyond its stsd", moovFirst, [&](auto& a) { stbl(a)["stsd"].payload[10] = 1; },
         Measure::refused, "holds a sample description of"},
        {"time-to-sample count beyond its atom", moovFirst, [&](auto& a) { stbl(a)["stts"].payload[4] = 0x20; },
         Measure::refused, "entries, more than it holds"},
        {"sample size count beyond its atom", moovFirst, [&](auto& a) { stbl(a)["stsz"].payload[8] = 0x20; },
         Measure::refused, "entries, more than it holds"},
        {"media data first with size 0", mdatFirst, [](auto& a) { a[2].sizeField = 0; }, Measure::refused,
         "its \"mdat\" atom at byte 36 runs to the end of the file"},
        {"media data of 64-bit size", mdatFirst, [](auto& a) { a[2].sizeField = 1; }, Measure::refused,
         "has a 64-bit size"},
        {"empty media data", moovFirst, [](auto& a) { a[2].payload.clear(); }, Measure::refused, "is empty"},
        {"top-level atom of size 4", mdatFirst, [](auto& a) { a[1].sizeField = 4; }, Measure::refused,
         "its \"free\" atom at byte 28 has a size of 4"},
        {"child atom of size 4", moovFirst, [](auto& a) { a[1]["mvhd"].sizeField = 4; }, Measure::refused,
         "has a size of 4"},
        {"child atom of size 0", moovFirst, [](auto& a) { a[1]["udta"].sizeField = 0; }, Measure::refused,
         "has a size of 0"},
        {"child larger than its parent", moovFirst, [](auto& a) { a[1]["trak"]["tkhd"].sizeField = 0x10000; },
         Measure::refused, "runs past the end of its \"trak\" atom"},
        {"dinf and stbl beyond their minf", moovFirst,
         [](auto& a) {
             Atom& minf = a[1]["trak"]["mdia"]["minf"];
             minf.sizeField = static_cast<std::uint32_t>(8 + 16 + minf["dinf"].bytes().size() + 8);
         },
         Measure::refused, "runs past the end of its \"minf\" atom"},
        {"movie larger than the file", moovFirst, [](auto& a) { a[1].sizeField = 0x7FFFFFFF; }, Measure::refused,
         "cut short: its \"moov\" atom reaches byte 2147483675 of a"},
        {"free atom of 4 GiB before the movie", moovFirst,
         [](auto& a) { a.insert(a.begin() + 1, Atom{"free", {}, {}, 0xFFFFFFF8}); }, Measure::refused,
         "cut short: its \"free\" atom reaches byte"},
        {"no media data", moovFirst, [](auto& a) { a.pop_back(); }, Measure::refused,
         "without an \"mdat\" atom to hold its audio"},
        {"short handler", moovFirst, [](auto& a) { a[1]["trak"]["mdia"]["hdlr"].payload.resize(20); },
         Measure::refused, "\"hdlr\" atom at byte"},
        {"sound header of another size", moovFirst,
         [](auto& a) { a[1]["trak"]["mdia"]["minf"]["smhd"].payload.resize(12); }, Measure::refused,
         "has a size of 20"},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        c.change(c.atoms);
        ProbeResult result = test::probeResultOfBytes(serialize(c.atoms));
        EXPECT_EQ(result.measure, c.measure);
        EXPECT_EQ(result.frames, c.frames);
        EXPECT_EQ(result.info != nullptr, c.measure == Measure::cdAudio);
        if (c.reason.empty()) EXPECT_EQ(result.reason, "");
        else EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
    }
}

// A copy that stops part way: with the movie first, the packets that are
// there are counted; with the media data first, the movie is gone.
TEST(Alac, CopiesCutShortAreRefusedWithWhatTheyHold) {
    AlacStream stream;
    std::vector<Atom> atoms = m4a(stream, true);
    std::vector<std::uint8_t> moovFirst = serialize(atoms);
    std::vector<std::uint8_t> mdatFirst = serialize(m4a(stream, false));
    const std::size_t dataBytes = atoms[2].payload.size();
    std::vector<SeekPoint> points = expectedPoints(stream, static_cast<std::uint32_t>(moovFirst.size() - dataBytes));
    ASSERT_EQ(points.back().offset, moovFirst.size());
    // Cut inside packet 500 (counting from 0): packets 0 to 499 are there.
    std::size_t cut = points[500].offset + 3;
    moovFirst.resize(cut);
    ProbeResult result = test::probeResultOfBytes(moovFirst);
    EXPECT_EQ(result.measure, Measure::refused);
    EXPECT_EQ(result.reason, "cut short: its packets reach byte " + std::to_string(points[501].offset) + " of a " +
                                 std::to_string(cut) + "-byte file (2048000 of 4096000 samples there)");

    mdatFirst.resize(mdatFirst.size() / 2);
    result = test::probeResultOfBytes(mdatFirst);
    EXPECT_EQ(result.measure, Measure::refused);
    EXPECT_EQ(result.reason, "cut short: its \"mdat\" atom reaches byte " + std::to_string(36 + 8 + dataBytes) +
                                 " of a " + std::to_string(mdatFirst.size()) +
                                 "-byte file, and the \"moov\" atom that describes its audio is missing");
}

TEST(Alac, ReaderGivesZeroForReadsThatFallShortAndMarksTheEnd) {
    TempDir dir;
    test::writeFile(dir / "six", ByteBuilder().be32(0x01020304).be16(0x0506).bytes);
    for (bool bigEndian : {true, false}) {
        UniqueFile file(platformOpenFile((dir / "six").c_str(), kOpenRead));
        Mp4Reader reader = openMp4Reader(file.get(), bigEndian);
        EXPECT_EQ(readU32(reader), bigEndian ? 0x01020304u : 0x04030201u);
        EXPECT_EQ(readU32(reader), 0u);  // two bytes left
        EXPECT_FALSE(reader.atEnd);
        EXPECT_EQ(readU8(reader), 0u);
        EXPECT_TRUE(reader.atEnd);
    }
}

TEST(Alac, DurationsComeRunByRunAndSkipEmptyRuns) {
    TempDir dir;
    test::writeFile(dir / "runs", ByteBuilder().zeros(5).be32(2).be32(100).be32(0).be32(999).be32(1).be32(50).bytes);
    UniqueFile file(platformOpenFile((dir / "runs").c_str(), kOpenRead));
    Mp4Track track;
    track.timeToSample = {5, 3};
    for (std::uint64_t most : {1u, 5u}) {
        SCOPED_TRACE(most);
        Mp4Durations durations = openDurations(file.get(), track);
        std::vector<std::pair<std::uint64_t, std::uint32_t>> taken;
        std::uint64_t count = 0;
        std::uint32_t duration = 0;
        while (takeDurations(durations, most, &count, &duration)) taken.emplace_back(count, duration);
        using Taken = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
        const Taken expected = most == 1 ? Taken{{1, 100}, {1, 100}, {1, 50}} : Taken{{2, 100}, {1, 50}};
        EXPECT_EQ(taken, expected);
        EXPECT_FALSE(durations.runs.cutShort || durations.runs.readFailed);
    }
}

TEST(Alac, AgreesWithFfprobeOnFfmpegOutputInBothAtomOrders) {
    ASSERT_TRUE(test::toolAvailable("ffmpeg") && test::toolAvailable("ffprobe")) << "ffmpeg/ffprobe needed";
    TempDir dir;
    for (const char* flags : {"", "-movflags +faststart"}) {
        SCOPED_TRACE(flags);
        auto path = dir / "noise.m4a";
        ASSERT_TRUE(test::ffmpegNoise(path, 3.0, std::string("-c:a alac -sample_fmt s16p ") + flags));
        std::vector<test::ProbedPacket> packets = test::ffprobePackets(path, dir.path());
        ASSERT_FALSE(packets.empty());

        AudioInfoPtr info = probePath(path);
        ASSERT_NE(info, nullptr);
        ASSERT_EQ(info->seekPointCount, packets.size() + 1);
        std::uint64_t sample = 0;
        std::uint64_t largest = 0;
        for (std::size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(info->seekPoints[i], (SeekPoint{static_cast<std::uint32_t>(sample),
                                                      static_cast<std::uint32_t>(packets[i].pos)}))
                << i;
            sample += packets[i].duration;
            largest = std::max(largest, packets[i].size);
        }
        EXPECT_EQ(sample, 132300u);
        EXPECT_EQ(info->totalSamples, 132300u);
        EXPECT_EQ(info->seekPoints[packets.size()].offset, packets.back().pos + packets.back().size);
        EXPECT_EQ(info->maxFrameBytes, largest);
        EXPECT_EQ(info->maxFrameSamples, 4096u);
        EXPECT_EQ(info->alac.alacBitDepth, 16);
        EXPECT_EQ(info->alac.alacChannels, 2u);
    }
}

}  // namespace
}  // namespace trakmap
