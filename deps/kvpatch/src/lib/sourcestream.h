// Bounded read cursor over bytes owned by someone else, with the engine's
// variable-length integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvpatch {

class SinkStream;

// Decodes one unsigned varint (7-bit groups, least significant first, at most
// five bytes) from [begin, end). Returns the position after it, or null when
// the bytes end before the last group or a fifth byte has bit 7 set.
const uint8_t* DecodeVarint32(const uint8_t* begin, const uint8_t* end, uint32_t* out);

// Reads never move the cursor on failure. The owner of the bytes (a mapped
// file, a SinkStream, a decoded buffer) must outlive the stream.
class SourceStream
{
public:
    SourceStream() = default;
    SourceStream(const uint8_t* data, size_t length) { Init(data, length); }

    void Init(const uint8_t* data, size_t length);
    // Reads the bytes a sink holds now.
    void Init(const SinkStream& sink);

    bool Read(void* destination, size_t n);
    bool ReadVarint32(uint32_t* out)
    {
        // Most values fit in one byte; they skip the general decoder.
        if (m_cursor != m_end && *m_cursor < 0x80) {
            *out = *m_cursor++;
            return true;
        }
        const uint8_t* next = DecodeVarint32(m_cursor, m_end, out);
        if (!next)
            return false;
        m_cursor = next;
        return true;
    }
    bool ReadVarint32Signed(int32_t* out);
    // out covers [cursor + offset, cursor + offset + length); this stream
    // does not move.
    bool ShareSubstream(size_t offset, size_t length, SourceStream* out) const;
    // out covers the next `length` bytes, which this stream skips.
    bool ReadSubstream(size_t length, SourceStream* out);
    bool Skip(size_t n);

    // The next byte to read.
    const uint8_t* Buffer() const { return m_cursor; }
    const uint8_t* Start() const { return m_start; }
    const uint8_t* End() const { return m_end; }
    size_t Remaining() const { return size_t(m_end - m_cursor); }
    size_t OriginalLength() const { return size_t(m_end - m_start); }
    // Bytes read so far.
    size_t Position() const { return size_t(m_cursor - m_start); }
    bool Empty() const { return m_cursor == m_end; }

private:
    const uint8_t* m_start = nullptr;
    const uint8_t* m_end = nullptr;
    const uint8_t* m_cursor = nullptr;
};

} // namespace kvpatch
