#include "crc32.h"

#include <climits>
#include <zlib.h>

namespace kvpatch {

uint32_t ComputeCrc32(const void* data, size_t length)
{
    const Bytef* bytes = static_cast<const Bytef*>(data);
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        const uInt chunk = length > UINT_MAX ? UINT_MAX : uInt(length);
        crc = crc32(crc, bytes, chunk);
        bytes += chunk;
        length -= chunk;
    }
    return ~uint32_t(crc);
}

} // namespace kvpatch
