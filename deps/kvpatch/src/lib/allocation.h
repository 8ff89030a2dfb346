// Non-throwing allocation for the patch engine's data path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvpatch {

// malloc that fails (returns null) for requests above the process-wide
// allocation limit. Patch inputs carry sizes that are not to be trusted; the
// limit lets a host (or a test) bound what such a size can make us allocate.
void* TryAllocate(size_t bytes);
// TryAllocate of count * size bytes; null when the product does not fit a
// size_t (with a 32-bit size_t, counts from an input easily make it wrap).
void* TryAllocateArray(size_t count, size_t size);

// True when `value` fits a size_t: always with 64 bits, and with 32 bits a
// size computed in 64 bits must be checked before it narrows.
inline bool FitsSize(uint64_t value)
{
    return value == static_cast<uint64_t>(static_cast<size_t>(value));
}
// realloc under the same limit: the block grown (or moved) to `bytes`, or
// null with the block left as it was. Large blocks grow without copying.
void* TryReallocate(void* block, size_t bytes);
void FreeAllocation(void* block);
// The whole pages inside [begin, end), bytes of a block that are not read
// again, go back to the system (reading them later gives zeros), so that
// input consumed front to back need not stay resident until its block is
// freed. Returns where the release stopped: the start of the page holding
// `end`, or `begin` when no whole page lay inside.
const uint8_t* DiscardPages(const uint8_t* begin, const uint8_t* end);

// Largest single allocation TryAllocate grants; unlimited by default.
void SetAllocationLimit(size_t bytes);
size_t AllocationLimit();

} // namespace kvpatch
