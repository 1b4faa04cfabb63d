// CD-TEXT as a disc written from a sheet would carry it: a 4-byte header
// (big-endian data length, two zero bytes) followed by 18-byte packs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "audio/file_helpers.h"
#include "cue/model.h"
#include "platform/platform.h"

namespace trakmap {

struct CdTextBuffer {
    HeapBytes bytes;          // null when there is no CD-TEXT
    std::uint32_t length = 0; // total length in bytes, header included
};

// CD-TEXT built from the sheet's titles, performers, composers, catalog and
// ISRCs; empty when the sheet yields none.
CdTextBuffer buildCdText(const CueSheet& sheet);

// The packs of an open CD-TEXT file behind a 4-byte header; empty for an empty
// file, one whose length with the header passes 32 bits, or without memory.
// The caller closes the file.
CdTextBuffer loadCdTextFile(NativeFile file);

// Prints every text string of block 0 found in `packs` (the buffer after its
// header; a trailing part shorter than a pack is ignored).
void dumpCdText(std::span<const std::uint8_t> packs, std::FILE* out);

}  // namespace trakmap
