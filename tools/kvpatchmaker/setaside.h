// Bytes set aside while a step needs their memory: kept deflated at the
// quickest level, which takes an encoded program to about two fifths of
// its size in a tenth of a second per 10 MB, and inflated where needed.
#pragma once

#include "sinkstream.h"

#include <cstddef>
#include <cstdint>

namespace kvpatchmaker {

class SetAside
{
public:
    // False when memory or zlib fails; the object is then empty.
    bool keep(const uint8_t* data, size_t length);
    size_t length() const { return m_length; }
    // Writes the kept bytes to `out`, which has room for length() of them.
    bool restore(uint8_t* out) const;
    void clear()
    {
        m_deflated.Release();
        m_length = 0;
    }

private:
    kvpatch::SinkStream m_deflated;
    size_t m_length = 0;
};

} // namespace kvpatchmaker
