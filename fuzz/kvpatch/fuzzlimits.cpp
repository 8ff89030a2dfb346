// Sizes read from fuzzed input may ask for gigabytes; the engine's
// allocation limit turns such requests into ordinary allocation failures
// instead of tripping the fuzzer's memory limit.
#include "allocation.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kvpatch::SetAllocationLimit(size_t(8) << 20);
    return 0;
}
