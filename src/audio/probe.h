// The probe dispatch: recognises an audio container by its first bytes,
// measures PCM WAVE itself and hands every other known container to its probe.
#pragma once

#include "audio/audio_info.h"
#include "platform/platform.h"

namespace trakmap {

// `file` is positioned at its start. Returns the measured file or null (short
// header, unknown container, refused format). Prints nothing; never closes
// the file.
AudioInfoPtr probeAudioFile(NativeFile file);

}  // namespace trakmap
