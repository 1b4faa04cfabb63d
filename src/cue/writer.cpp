#include "cue/writer.h"

namespace trakmap {

void writeCueSheet(const CueSheet& /*sheet*/, std::FILE* /*out*/) {}

}  // namespace trakmap
