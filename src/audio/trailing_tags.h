// Tags that taggers append behind the audio: ID3v1 and APEv2, in either order.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace trakmap {

// Where the audio of `file` ends: `fileSize`, or the first byte of the ID3v1
// and APEv2 tags at its end. A tag is taken only when it lies wholly behind
// `audioStart`. Moves the file position.
std::uint64_t audioEndBeforeTags(NativeFile file, std::uint64_t fileSize, std::uint64_t audioStart);

}  // namespace trakmap
