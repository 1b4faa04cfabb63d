// The probe dispatch: recognises an audio container by its first bytes,
// measures PCM WAVE itself and hands every other known container to its probe.
#pragma once

#include "audio/probe_result.h"
#include "platform/platform.h"

namespace trakmap {

// `file` is positioned at its start. Says how the file is measured (see
// ProbeResult); prints nothing and never closes the file.
ProbeResult probeAudioFile(NativeFile file);
// The same, walking a long FLAC stream on up to `threads` threads, with the
// same result.
ProbeResult probeAudioFileOnThreads(NativeFile file, unsigned threads);

}  // namespace trakmap
