#include "freedmemory.h"

#include "allocation.h"

// Any C library header tells which C library this is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kvpatchmaker {

namespace {

// Blocks from this size on get mappings of their own, which go back to the
// system as soon as they are freed. glibc otherwise raises the limit after
// the first large free, and the stages' large buffers then stay in the heap.
const int kOwnMappingFrom = 256 * 1024;

} // namespace

void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
    malloc_trim(0);
#endif
}

void ReleaseMappedPages(const uint8_t* data, size_t length)
{
    if (data)
        kvpatch::DiscardPages(data, data + length);
}

} // namespace kvpatchmaker
