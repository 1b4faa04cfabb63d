// FLAC probe.
#pragma once

#include "audio/audio_info.h"
#include "platform/platform.h"

namespace trakmap {

// `file` is positioned at offset 0. Returns the measured file or null.
AudioInfoPtr probeFlac(NativeFile file);

}  // namespace trakmap
