#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/file_helpers.h"
#include "audio/probe.h"
#include "support/byte_builder.h"
#include "support/test_support.h"

namespace trakmap {
namespace {

using Bytes = std::vector<std::uint8_t>;

void putLe(Bytes& bytes, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putText(Bytes& bytes, std::size_t at, const char* text) {
    for (std::size_t i = 0; text[i] != 0; ++i) bytes[at + i] = static_cast<std::uint8_t>(text[i]);
}

// A canonical 44-byte PCM WAVE header with `dataBytes` at offset 40.
Bytes waveHeader(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, std::uint32_t dataBytes) {
    Bytes bytes(44, 0);
    putText(bytes, 0, "RIFF");
    putLe(bytes, 4, 36 + dataBytes, 4);
    putText(bytes, 8, "WAVEfmt ");
    putLe(bytes, 16, 16, 4);
    putLe(bytes, 20, 1, 2);
    putLe(bytes, 22, channels, 2);
    putLe(bytes, 24, rate, 4);
    putLe(bytes, 28, rate * channels * bits / 8, 4);
    putLe(bytes, 32, channels * bits / 8, 2);
    putLe(bytes, 34, bits, 2);
    putText(bytes, 36, "data");
    putLe(bytes, 40, dataBytes, 4);
    return bytes;
}

Bytes cdWaveHeader(std::uint32_t dataBytes) { return waveHeader(2, 44100, 16, dataBytes); }

class ProbeDispatch : public testing::Test {
protected:
    // Probes `bytes` as a file; the handle is checked to be back at offset 0
    // and still open afterwards.
    AudioInfoPtr probe(const Bytes& bytes) {
        std::filesystem::path path = dir_ / "audio";
        test::writeFile(path, bytes);
        NativeFile raw = kInvalidFile;
        EXPECT_TRUE(openFileMode(&raw, path.c_str(), kOpenRead));
        UniqueFile file(raw);
        AudioInfoPtr info = probeAudioFile(file.get()).info;
        if (bytes.size() >= 44) {
            std::uint8_t first = 0;
            std::uint32_t got = 0;
            EXPECT_TRUE(platformReadFile(file.get(), &first, 1, &got));
            EXPECT_EQ(got, 1u);
            EXPECT_EQ(first, bytes[0]);
        }
        return info;
    }

    test::TempDir dir_;
};

TEST_F(ProbeDispatch, MeasuresCdPcmWave) {
    Bytes bytes = cdWaveHeader(2352 * 1000 + 100);
    bytes.resize(bytes.size() + 64, 0);
    AudioInfoPtr info = probe(bytes);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->codec, kCodecPcmWave);
    EXPECT_EQ(info->totalSamples, 588025u);
    EXPECT_EQ(audioFrames(*info), 1000u);
    EXPECT_EQ(info->seekPoints, nullptr);
    EXPECT_EQ(info->seekPointCount, 0u);
    EXPECT_EQ(info->maxFrameBytes, 0u);
    EXPECT_EQ(info->maxFrameSamples, 0u);
}

// Only offset 40 is read as the data size, whatever chunk stands at 36.
TEST_F(ProbeDispatch, TakesTheValueAtOffset40WhateverTheChunk) {
    Bytes bytes = cdWaveHeader(0);
    putText(bytes, 36, "LIST");
    putLe(bytes, 40, 4 * 1234, 4);
    bytes.resize(200, 0);
    AudioInfoPtr info = probe(bytes);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->totalSamples, 1234u);
}

// A WAVE file written chunk by chunk: "fmt " with the given fields (and the
// extensible form's sub-format tag), other chunks, then "data".
struct WaveSpec {
    std::uint16_t formatTag = 1;
    std::uint16_t channels = 2;
    std::uint32_t rate = 44100;
    std::uint16_t bits = 16;
    const char* before = nullptr;  // a 4-byte-payload chunk of this id before "fmt "
    bool extensible = false;
    std::uint32_t dataBytes = 0;
    std::uint32_t dataClaim = 0;  // the data chunk's size field when not 0
};

Bytes waveFile(const WaveSpec& w) {
    Bytes bytes(12, 0);
    putText(bytes, 0, "RIFF");
    putText(bytes, 8, "WAVE");
    auto chunk = [&](const char* id, std::uint32_t size) {
        std::size_t at = bytes.size();
        bytes.resize(at + 8, 0);
        putText(bytes, at, id);
        putLe(bytes, at + 4, size, 4);
    };
    if (w.before != nullptr) {
        chunk(w.before, 4);
        bytes.resize(bytes.size() + 4, 0x55);
    }
    std::uint32_t formatBytes = w.extensible ? 40 : 16;
    chunk("fmt ", formatBytes);
    std::size_t f = bytes.size();
    bytes.resize(f + formatBytes, 0);
    std::uint32_t blockAlign = w.channels * ((w.bits + 7u) / 8u);
    putLe(bytes, f, w.extensible ? 0xFFFE : w.formatTag, 2);
    putLe(bytes, f + 2, w.channels, 2);
    putLe(bytes, f + 4, w.rate, 4);
    putLe(bytes, f + 8, w.rate * blockAlign, 4);
    putLe(bytes, f + 12, blockAlign, 2);
    putLe(bytes, f + 14, w.bits, 2);
    if (w.extensible) {
        putLe(bytes, f + 16, 22, 2);
        putLe(bytes, f + 24, w.formatTag, 2);
    }
    chunk("data", w.dataClaim != 0 ? w.dataClaim : w.dataBytes);
    bytes.resize(bytes.size() + w.dataBytes, 0);
    return bytes;
}

Bytes withMagic(const char* magic, std::size_t size = 64) {
    Bytes bytes(size, 0x11);
    putText(bytes, 0, magic);
    return bytes;
}

TEST_F(ProbeDispatch, SaysHowEveryOtherFileIsMeasured) {
    Bytes notWave = cdWaveHeader(1000);
    putText(notWave, 8, "AVI ");
    notWave.resize(2000, 0);
    Bytes shortFile = cdWaveHeader(1000);
    shortFile.resize(43);
    Bytes id3ThenMp3(200, 0);
    putText(id3ThenMp3, 0, "ID3\x03");
    putLe(id3ThenMp3, 9, 20, 1);  // a 20-byte tag, syncsafe
    for (std::size_t i = 30; i < 34; ++i) id3ThenMp3[i] = std::uint8_t{0xFF};
    Bytes id3PastTheEnd = id3ThenMp3;
    putLe(id3PastTheEnd, 8, 0x7F, 1);
    Bytes tinyFileType(64, 0);
    putLe(tinyFileType, 3, 12, 1);
    putText(tinyFileType, 4, "ftypM4A ");
    struct Case {
        const char* name;
        Bytes bytes;
        Measure measure;
        std::uint32_t frames;
        std::string reason;  // the whole reason, or a part of it
    } cases[] = {
        {"mono", waveFile({.channels = 1, .dataBytes = 44100 * 2}), Measure::byDuration, 75,
         "44100 Hz 16-bit mono: measured by its duration"},
        {"48 kHz", waveFile({.rate = 48000, .dataBytes = 48000 * 4 * 2 + 3}), Measure::byDuration, 150,
         "48000 Hz 16-bit stereo: measured by its duration"},
        {"24-bit", waveFile({.bits = 24, .dataBytes = 44100 * 6 / 75 * 7}), Measure::byDuration, 7,
         "44100 Hz 24-bit stereo"},
        {"extensible 96 kHz 24-bit behind a LIST chunk",
         waveFile({.rate = 96000, .bits = 24, .before = "LIST", .extensible = true, .dataBytes = 96000 * 6}),
         Measure::byDuration, 75, "96000 Hz 24-bit stereo"},
        {"32-bit float", waveFile({.formatTag = 3, .bits = 32, .dataBytes = 44100 * 8}), Measure::byDuration, 75,
         "44100 Hz 32-bit stereo"},
        {"six channels", waveFile({.channels = 6, .dataBytes = 44100 * 12}), Measure::byDuration, 75,
         "44100 Hz 16-bit 6-channel"},
        {"CD audio behind a JUNK chunk", waveFile({.before = "JUNK", .dataBytes = 2352 * 3}), Measure::cdAudio, 3,
         ""},
        {"data chunk cut short", waveFile({.rate = 48000, .dataBytes = 48000 * 4, .dataClaim = 48000 * 8}),
         Measure::byDuration, 75, "data chunk is cut short"},
        {"streamed data size", waveFile({.rate = 48000, .dataBytes = 48000 * 4, .dataClaim = 0xFFFFFFFF}),
         Measure::byDuration, 75, "48000 Hz 16-bit stereo: measured by its duration"},
        {"MP3 in WAVE", waveFile({.formatTag = 0x55, .rate = 48000, .dataBytes = 400}), Measure::bySize, 0,
         "a WAVE file of format 0x0055, not PCM: measured by its size"},
        {"no data chunk", [&] {
             Bytes b = waveFile({.rate = 48000});
             putText(b, b.size() - 8, "fact");
             return b;
         }(), Measure::bySize, 0, "has no \"data\" chunk"},
        {"chunk of size 0xFFFFFFFF before fmt", [&] {
             Bytes b = waveFile({.rate = 48000, .before = "JUNK", .dataBytes = 100});
             putLe(b, 16, 0xFFFFFFFF, 4);
             return b;
         }(), Measure::bySize, 0, "has no \"fmt \" chunk"},
        {"43 bytes", shortFile, Measure::bySize, 0,
         "not an audio format this tool reads (it is only 43 bytes long): measured by its size"},
        {"empty", Bytes{}, Measure::bySize, 0, "(it is empty)"},
        {"RIFF but not WAVE", notWave, Measure::bySize, 0, "a RIFF file of form \"AVI \", not WAVE"},
        {"Ogg", withMagic("OggS"), Measure::bySize, 0,
         "not an audio format this tool reads (it begins with \"OggS\"): measured by its size"},
        {"unknown magic", withMagic(""), Measure::bySize, 0, "(it begins with \"\\x11\\x11\\x11\\x11\")"},
        {"ID3v2 then MP3", id3ThenMp3, Measure::bySize, 0,
         "it begins with an ID3v2 tag, then \"\\xFF\\xFF\\xFF\\xFF\""},
        {"ID3v2 past the end", id3PastTheEnd, Measure::bySize, 0, "an ID3v2 tag and holds nothing behind it"},
        {"MP4 file type box too small", tinyFileType, Measure::bySize, 0, "\"ftyp\" box is malformed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeResult result = test::probeResultOfBytes(c.bytes);
        EXPECT_EQ(result.measure, c.measure);
        EXPECT_EQ(result.frames, c.frames);
        if (c.reason.empty()) EXPECT_EQ(result.reason, "");
        else EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
        EXPECT_EQ(result.info != nullptr, c.measure == Measure::cdAudio);
    }
}

}  // namespace
}  // namespace trakmap
