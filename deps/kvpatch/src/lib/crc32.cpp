#include "crc32.h"

#include <climits>
#include <zlib.h>

namespace kvpatch {

void Crc32::Add(const void* data, size_t length)
{
    const Bytef* bytes = static_cast<const Bytef*>(data);
    uLong crc = m_register;
    while (length > 0) {
        const uInt chunk = length > UINT_MAX ? UINT_MAX : uInt(length);
        crc = crc32(crc, bytes, chunk);
        bytes += chunk;
        length -= chunk;
    }
    m_register = uint32_t(crc);
}

uint32_t ComputeCrc32(const void* data, size_t length)
{
    Crc32 crc;
    crc.Add(data, length);
    return crc.Value();
}

} // namespace kvpatch
