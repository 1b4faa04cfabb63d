// ALAC in an MP4 container probe.
#pragma once

#include "audio/probe_result.h"
#include "platform/platform.h"

namespace trakmap {

// `file` is positioned at offset 0. Says how the file is measured.
ProbeResult probeAlac(NativeFile file);

}  // namespace trakmap
