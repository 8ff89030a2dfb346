// Non-throwing allocation for the patch engine's data path.
#pragma once

#include <cstddef>

namespace kvpatch {

// malloc that fails (returns null) for requests above the process-wide
// allocation limit. Patch inputs carry sizes that are not to be trusted; the
// limit lets a host (or a test) bound what such a size can make us allocate.
void* TryAllocate(size_t bytes);
void FreeAllocation(void* block);

// Largest single allocation TryAllocate grants; unlimited by default.
void SetAllocationLimit(size_t bytes);
size_t AllocationLimit();

} // namespace kvpatch
