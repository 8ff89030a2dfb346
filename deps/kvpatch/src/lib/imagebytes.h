#pragma once

#include <cstddef>
#include <cstdint>

namespace kvpatch {

// Little-endian reads from an executable image. Callers check the bounds;
// these only assemble the bytes (no alignment is assumed).
inline uint16_t ReadU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8)
        | (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t ReadU64(const uint8_t* p)
{
    return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}

// True when [offset, offset + size) lies inside a region of regionSize bytes;
// safe against wrap-around for any 64-bit inputs.
inline bool RangeInside(uint64_t offset, uint64_t size, uint64_t regionSize)
{
    return offset <= regionSize && size <= regionSize - offset;
}

} // namespace kvpatch
