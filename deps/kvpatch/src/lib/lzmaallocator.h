#pragma once

#include <lzma.h>

namespace kvpatch {

// Hands the codec library's allocations to TryAllocate, so that the
// allocation limit covers them too.
const lzma_allocator* LzmaAllocator();

} // namespace kvpatch
