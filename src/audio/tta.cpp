#include "audio/tta.h"

namespace trakmap {

AudioInfoPtr probeTta(NativeFile /*file*/) { return nullptr; }

}  // namespace trakmap
