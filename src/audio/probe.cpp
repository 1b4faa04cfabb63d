#include "audio/probe.h"

#include <cstring>
#include <new>

#include "audio/alac.h"
#include "audio/byte_order.h"
#include "audio/file_helpers.h"
#include "audio/flac.h"
#include "audio/id3.h"
#include "audio/monkeys_audio.h"
#include "audio/riff.h"
#include "audio/tta.h"
#include "audio/wavpack.h"

namespace trakmap {

namespace {

constexpr std::uint32_t kHeaderBytes = 44;
constexpr std::uint32_t kCdFrameBytes = 2352;

bool magicIs(const std::uint8_t* p, const char (&magic)[5]) { return std::memcmp(p, magic, 4) == 0; }

std::string notReadable(const std::string& what) { return "not an audio format this tool reads (" + what + ")"; }

std::string beginsWith(const std::uint8_t* bytes) { return "it begins with \"" + quotedBytes(bytes, 4) + "\""; }

ProbeResult pcmWaveResult(std::uint64_t dataBytes) {
    AudioInfoPtr info = newAudioInfo(kCodecPcmWave);
    if (!info) return refusedResult(kNoMemoryReason);
    info->totalSamples = static_cast<std::uint32_t>(dataBytes >> 2);
    ProbeResult result = cdAudioResult(std::move(info));
    // Four bytes a sample pair, so this is the data size / 2352.
    result.frames = static_cast<std::uint32_t>(dataBytes / kCdFrameBytes);
    return result;
}

// The canonical 44-byte header of a CD-format PCM WAVE file: the format
// fields and the data size at 40, read where that header has them.
bool isCanonicalCdWave(const std::uint8_t* header) {
    return magicIs(header + 8, "WAVE") && loadLe16(header + 22) == 2 && loadLe32(header + 24) == 44100 &&
           loadLe16(header + 34) == 16;
}

// Any other WAVE file is measured by the audio its chunks hold.
ProbeResult measureWaveChunks(NativeFile file, std::uint64_t fileSize) {
    WaveChunks chunks;
    std::string why;
    if (!readWaveChunks(file, fileSize, &chunks, &why)) return bySizeResult("a WAVE file, but " + why);
    if (chunks.formatTag != kWaveFormatPcm && chunks.formatTag != kWaveFormatFloat) {
        char tag[8];
        std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(chunks.formatTag));
        return bySizeResult(std::string("a WAVE file of format ") + tag + ", not PCM");
    }
    std::uint32_t blockAlign = chunks.blockAlign;
    if (blockAlign == 0) blockAlign = chunks.format.channels * ((chunks.format.bitsPerSample + 7) / 8);
    if (blockAlign == 0) return bySizeResult("a WAVE file whose format gives no sample size");
    if (isCdFormat(chunks.format) && chunks.formatTag == kWaveFormatPcm) return pcmWaveResult(chunks.dataBytes);
    ProbeResult result = durationResult(chunks.format, chunks.dataBytes / blockAlign);
    if (chunks.dataCutShort && result.measure == Measure::byDuration)
        result.reason += " (its data chunk is cut short: measured by the audio it holds)";
    return result;
}

// An MP4 file: its first box is a file type box whose size holds the major
// brand and minor version and a whole number of 4-byte brands.
bool isFileTypeBox(const std::uint8_t* header, std::uint64_t fileSize) {
    std::uint32_t size = loadBe32(header);
    return magicIs(header + 4, "ftyp") && size >= 16 && size % 4 == 0 && size <= fileSize;
}

ProbeResult dispatchBehindId3v2(NativeFile file, std::uint64_t fileSize, unsigned threads) {
    std::optional<std::uint64_t> start = dataBehindId3v2Tags(file, fileSize);
    std::uint8_t header[kHeaderBytes];
    if (!start || *start + kHeaderBytes > fileSize || !readExactlyAt(file, *start, header, kHeaderBytes))
        return bySizeResult(notReadable("it begins with an ID3v2 tag and holds nothing behind it"));
    if (!platformSeekFile(file, 0, SeekFrom::begin)) return bySizeResult(notReadable("it cannot be read"));
    if (magicIs(header, "fLaC")) return probeFlacAt(file, *start, threads);
    // The block scan looks past whatever comes before the first block.
    if (magicIs(header, "wvpk")) return probeWavPack(file);
    return bySizeResult(notReadable("it begins with an ID3v2 tag, then \"" + quotedBytes(header, 4) + "\""));
}

ProbeResult dispatch(NativeFile file, unsigned threads) {
    std::uint8_t header[kHeaderBytes];
    std::uint32_t got = 0;
    std::int64_t size = 0;
    if (!platformFileSize(file, &size) || !platformReadFile(file, header, kHeaderBytes, &got))
        return bySizeResult(notReadable("it cannot be read"));
    // FLAC goes to its probe whatever its length: one too short for a header
    // is damaged, not something to measure by its size.
    if (got >= 4 && magicIs(header, "fLaC")) return probeFlac(file, threads);
    if (got < kHeaderBytes) {
        if (got == 0) return bySizeResult(notReadable("it is empty"));
        return bySizeResult(notReadable("it is only " + std::to_string(got) + " bytes long"));
    }
    if (!platformSeekFile(file, 0, SeekFrom::begin)) return bySizeResult(notReadable("it cannot be read"));
    const auto fileSize = static_cast<std::uint64_t>(size);

    if (magicIs(header, "MAC ")) return probeMonkeysAudio(file);
    if (magicIs(header, "RIFF")) {
        if (isCanonicalCdWave(header)) return pcmWaveResult(loadLe32(header + 40));
        if (!magicIs(header + 8, "WAVE"))
            return bySizeResult(notReadable("a RIFF file of form \"" + quotedBytes(header + 8, 4) + "\", not WAVE"));
        return measureWaveChunks(file, fileSize);
    }
    if (magicIs(header, "wvpk")) return probeWavPack(file);
    static constexpr std::uint8_t kExecutableStub[4] = {0x4D, 0x5A, 0x50, 0x00};
    if (std::memcmp(header, kExecutableStub, 4) == 0) return probeWavPack(file);
    if (magicIs(header, "TTA1")) return probeTta(file);
    if (isFileTypeBox(header, fileSize)) return probeAlac(file);
    if (id3v2TagLength(std::span<const std::uint8_t>(header, kId3v2HeaderBytes)) != 0)
        return dispatchBehindId3v2(file, fileSize, threads);
    if (magicIs(header + 4, "ftyp")) return bySizeResult(notReadable("an MP4 file whose \"ftyp\" box is malformed"));
    return bySizeResult(notReadable(beginsWith(header)));
}

}  // namespace

ProbeResult probeAudioFile(NativeFile file) { return probeAudioFileOnThreads(file, 1); }

ProbeResult probeAudioFileOnThreads(NativeFile file, unsigned threads) {
    // The probes grow their tables only as far as the file backs them, but a
    // machine can still run out of memory: the file is then not laid out,
    // and the run goes on.
    try {
        return dispatch(file, threads);
    } catch (const std::bad_alloc&) {
        return refusedResult(kNoMemoryReason);
    }
}

}  // namespace trakmap
