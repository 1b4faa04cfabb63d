// libFuzzer target: see fuzzRunSheet in fuzz_entries.h.
#include <cstdio>

#include "fuzz_entries.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The report is not what is checked here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) trakmap::fuzz::fail("cannot silence stdout");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return trakmap::fuzz::fuzzRunSheet({data, size});
}
