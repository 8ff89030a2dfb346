#include "sourcestream.h"

#include "sinkstream.h"

#include <cstring>

namespace kvpatch {

const uint8_t* DecodeVarint32(const uint8_t* begin, const uint8_t* end, uint32_t* out)
{
    uint32_t value = 0;
    for (int i = 0; i < 5; ++i) {
        if (begin + i >= end)
            return nullptr;
        const uint8_t byte = begin[i];
        // A fifth group contributes its low bits shifted by 28; what does
        // not fit in 32 bits is dropped.
        value |= uint32_t(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            *out = value;
            return begin + i + 1;
        }
    }
    return nullptr;
}

void SourceStream::Init(const uint8_t* data, size_t length)
{
    m_start = data;
    m_cursor = data;
    m_end = data + length;
}

void SourceStream::Init(const SinkStream& sink)
{
    Init(sink.Buffer(), sink.Length());
}

bool SourceStream::Read(void* destination, size_t n)
{
    if (n > Remaining())
        return false;
    if (n)
        std::memcpy(destination, m_cursor, n);
    m_cursor += n;
    return true;
}

bool SourceStream::ReadVarint32Signed(int32_t* out)
{
    uint32_t zigzag = 0;
    if (!ReadVarint32(&zigzag))
        return false;
    *out = int32_t((zigzag >> 1) ^ (0u - (zigzag & 1)));
    return true;
}

bool SourceStream::ShareSubstream(size_t offset, size_t length, SourceStream* out) const
{
    const size_t remaining = Remaining();
    if (offset > remaining || length > remaining - offset)
        return false;
    out->Init(m_cursor + offset, length);
    return true;
}

bool SourceStream::ReadSubstream(size_t length, SourceStream* out)
{
    if (!ShareSubstream(0, length, out))
        return false;
    m_cursor += length;
    return true;
}

bool SourceStream::Skip(size_t n)
{
    if (n > Remaining())
        return false;
    m_cursor += n;
    return true;
}

} // namespace kvpatch
