// libFuzzer target: see fuzzFlacDifferential in fuzz_entries.h.
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return trakmap::fuzz::fuzzFlacDifferential({data, size});
}
