#include "cue/parser.h"

namespace trakmap {

bool parseCueSheet(std::FILE* stream, CueSheet& /*sheet*/, std::string* /*problem*/) { return stream != nullptr; }

}  // namespace trakmap
