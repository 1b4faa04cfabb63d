#include "audio/monkeys_audio.h"

namespace trakmap {

AudioInfoPtr probeMonkeysAudio(NativeFile /*file*/) { return nullptr; }

}  // namespace trakmap
