#include "audio/alac.h"

namespace trakmap {

AudioInfoPtr probeAlac(NativeFile /*file*/) { return nullptr; }

}  // namespace trakmap
