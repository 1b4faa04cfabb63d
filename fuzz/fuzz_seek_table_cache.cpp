// libFuzzer target: see fuzzSeekTableCache in fuzz_entries.h.
#include <cstdio>

#include "fuzz_entries.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return trakmap::fuzz::fuzzSeekTableCache({data, size});
}
