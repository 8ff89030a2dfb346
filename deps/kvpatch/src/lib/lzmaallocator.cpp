#include "lzmaallocator.h"

#include "allocation.h"

#include <cstdint>

namespace kvpatch {

namespace {

void* allocate(void*, size_t count, size_t size)
{
    return TryAllocateArray(count, size);
}

void release(void*, void* block)
{
    FreeAllocation(block);
}

const lzma_allocator kAllocator = {allocate, release, nullptr};

} // namespace

const lzma_allocator* LzmaAllocator()
{
    return &kAllocator;
}

} // namespace kvpatch
