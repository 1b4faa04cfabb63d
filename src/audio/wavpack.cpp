#include "audio/wavpack.h"

namespace trakmap {

AudioInfoPtr probeWavPack(NativeFile /*file*/) { return nullptr; }

}  // namespace trakmap
