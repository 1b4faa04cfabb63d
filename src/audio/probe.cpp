#include "audio/probe.h"

#include <cstring>

#include "audio/alac.h"
#include "audio/byte_order.h"
#include "audio/flac.h"
#include "audio/monkeys_audio.h"
#include "audio/tta.h"
#include "audio/wavpack.h"

namespace trakmap {

namespace {

constexpr std::uint32_t kHeaderBytes = 44;

bool magicIs(const std::uint8_t* p, const char (&magic)[5]) { return std::memcmp(p, magic, 4) == 0; }

// The canonical 44-byte header of a CD-format PCM WAVE file: only the format
// fields and the data size at 40 are read.
AudioInfoPtr measurePcmWave(const std::uint8_t* header) {
    if (!magicIs(header + 8, "WAVE") || loadLe16(header + 22) != 2 || loadLe32(header + 24) != 44100 ||
        loadLe16(header + 34) != 16)
        return nullptr;
    AudioInfoPtr info = newAudioInfo(kCodecPcmWave);
    if (info) info->totalSamples = loadLe32(header + 40) >> 2;
    return info;
}

// An MP4 file of brand "M4A ": its first box is an ftyp whose size covers at
// least the brand and minor version and is a whole number of 4-byte brands.
bool isM4aFileType(const std::uint8_t* header) {
    std::uint32_t size = loadBe32(header);
    return size >= 16 && size % 4 == 0 && magicIs(header + 4, "ftyp") && magicIs(header + 8, "M4A ");
}

}  // namespace

AudioInfoPtr probeAudioFile(NativeFile file) {
    std::uint8_t header[kHeaderBytes];
    std::uint32_t got = 0;
    if (!platformReadFile(file, header, kHeaderBytes, &got) || got < kHeaderBytes) return nullptr;
    if (!platformSeekFile(file, 0, SeekFrom::begin)) return nullptr;

    if (magicIs(header, "fLaC")) return probeFlac(file);
    if (magicIs(header, "MAC ")) return probeMonkeysAudio(file);
    if (magicIs(header, "RIFF")) return measurePcmWave(header);
    if (magicIs(header, "wvpk")) return probeWavPack(file);
    static constexpr std::uint8_t kExecutableStub[4] = {0x4D, 0x5A, 0x50, 0x00};
    if (std::memcmp(header, kExecutableStub, 4) == 0) return probeWavPack(file);
    if (magicIs(header, "TTA1")) return probeTta(file);
    if (isM4aFileType(header)) return probeAlac(file);
    return nullptr;
}

}  // namespace trakmap
