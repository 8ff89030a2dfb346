#include "sinkstream.h"

#include <cstdint>

namespace kvpatch {

size_t EncodeVarint32(uint32_t value, uint8_t* out)
{
    size_t n = 0;
    while (value >= 128) {
        out[n++] = uint8_t((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out[n++] = uint8_t(value);
    return n;
}

bool SinkStream::WriteSizeVarint32(size_t size)
{
    if (size > UINT32_MAX)
        return false;
    return WriteVarint32(uint32_t(size));
}

bool SinkStream::WriteVarint32Signed(int32_t value)
{
    const uint32_t zigzag = (uint32_t(value) << 1) ^ uint32_t(value >> 31);
    return WriteVarint32(zigzag);
}

bool SinkStream::Append(SinkStream* other)
{
    // Into an empty stream without room for it, the other's block moves
    // instead of being copied (nested stream sets pass whole streams on).
    if (Length() == 0 && !Failed() && !other->Failed() && m_buffer.capacity() < other->Length()) {
        m_buffer.swap(other->m_buffer);
        other->Release();
        return true;
    }
    if (!Write(other->Buffer(), other->Length()))
        return false;
    other->Release();
    return true;
}

bool SinkStream::Reserve(size_t extra)
{
    if (extra > SIZE_MAX - Length())
        return false;
    return m_buffer.reserve(Length() + extra);
}

} // namespace kvpatch
