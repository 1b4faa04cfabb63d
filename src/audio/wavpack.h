// WavPack (also behind an executable stub) probe.
#pragma once

#include "audio/probe_result.h"
#include "platform/platform.h"

namespace trakmap {

// `file` is positioned at offset 0. Says how the file is measured.
ProbeResult probeWavPack(NativeFile file);

}  // namespace trakmap
