#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/file_helpers.h"
#include "audio/probe.h"
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
        AudioInfoPtr info = probeAudioFile(file.get());
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

TEST_F(ProbeDispatch, RefusesWhatIsNotCdPcmWave) {
    Bytes notWave = cdWaveHeader(1000);
    putText(notWave, 8, "AVI ");
    Bytes shortFile = cdWaveHeader(1000);
    shortFile.resize(43);
    Bytes unknown(64, 0x11);
    struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"mono", waveHeader(1, 44100, 16, 1000)},
        {"48 kHz", waveHeader(2, 48000, 16, 1000)},
        {"24-bit", waveHeader(2, 44100, 24, 1000)},
        {"43 bytes", shortFile},
        {"RIFF but not WAVE", notWave},
        {"unknown magic", unknown},
    };
    for (const Case& c : cases) EXPECT_EQ(probe(c.bytes), nullptr) << c.name;
}

// MP4 files go to the ALAC probe only for an ftyp box of brand "M4A " whose
// size is at least 16 and a multiple of 4.
TEST_F(ProbeDispatch, RefusesMp4FilesOfOtherBrandsOrBoxSizes) {
    auto mp4 = [](std::uint32_t boxSize, const char* type, const char* brand) {
        Bytes bytes(64, 0);
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(boxSize >> (24 - 8 * i));
        putText(bytes, 4, type);
        putText(bytes, 8, brand);
        return bytes;
    };
    EXPECT_EQ(probe(mp4(32, "ftyp", "isom")), nullptr);
    EXPECT_EQ(probe(mp4(12, "ftyp", "M4A ")), nullptr);
    EXPECT_EQ(probe(mp4(30, "ftyp", "M4A ")), nullptr);
    EXPECT_EQ(probe(mp4(32, "moov", "M4A ")), nullptr);
}

}  // namespace
}  // namespace trakmap
