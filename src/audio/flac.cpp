#include "audio/flac.h"

namespace trakmap {

AudioInfoPtr probeFlac(NativeFile /*file*/) { return nullptr; }

}  // namespace trakmap
