// Growable output stream that never throws; see FallibleBuffer for the
// sticky failed state.
#pragma once

#include "falliblebuffer.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

// Encodes `value` as a varint into `out` (room for 5 bytes); returns the
// number of bytes.
size_t EncodeVarint32(uint32_t value, uint8_t* out);

class SinkStream
{
public:
    SinkStream() = default;
    SinkStream(const SinkStream&) = delete;
    SinkStream& operator=(const SinkStream&) = delete;

    // Inline: the encoder and assembler write a few bytes at a time.
    bool Write(const void* data, size_t n)
    {
        return m_buffer.append(static_cast<const uint8_t*>(data), n);
    }
    bool WriteVarint32(uint32_t value)
    {
        // Most values fit in one byte; they skip the general encoder.
        if (value < 0x80) {
            const uint8_t byte = uint8_t(value);
            return Write(&byte, 1);
        }
        uint8_t bytes[5];
        return Write(bytes, EncodeVarint32(value, bytes));
    }
    // A size in the same encoding; sizes beyond 32 bits fail.
    bool WriteSizeVarint32(size_t size);
    bool WriteVarint32Signed(int32_t value);
    // Appends other's bytes and, only when that succeeds, releases other.
    bool Append(SinkStream* other);
    // Makes room for `extra` more bytes in one allocation.
    bool Reserve(size_t extra);
    void Release() { m_buffer.release(); }

    const uint8_t* Buffer() const { return m_buffer.data(); }
    uint8_t* MutableBuffer() { return m_buffer.data(); }
    size_t Length() const { return m_buffer.size(); }
    bool Failed() const { return m_buffer.failed(); }
    FallibleBuffer<uint8_t>& Bytes() { return m_buffer; }

private:
    FallibleBuffer<uint8_t> m_buffer;
};

} // namespace kvpatch
