#include "cdtext/cdtext.h"

namespace trakmap {

CdTextBuffer buildCdText(const CueSheet& /*sheet*/) { return {}; }

CdTextBuffer loadCdTextFile(NativeFile /*file*/) { return {}; }

void dumpCdText(std::span<const std::uint8_t> /*packs*/, std::FILE* /*out*/) {}

}  // namespace trakmap
