#pragma once

#include <cstddef>
#include <cstdint>

namespace kvpatch {

// The value every CRC field of the engine's formats holds: the CRC-32
// register after the last byte without its final complement, i.e. the
// complement of the standard CRC-32. "123456789" gives 0x340BC6D9.
uint32_t ComputeCrc32(const void* data, size_t length);

// The same over bytes that arrive in pieces.
class Crc32
{
public:
    void Add(const void* data, size_t length);
    uint32_t Value() const { return ~m_register; }

private:
    uint32_t m_register = 0;
};

} // namespace kvpatch
