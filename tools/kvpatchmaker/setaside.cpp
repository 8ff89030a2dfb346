#include "setaside.h"

#include <zlib.h>

namespace kvpatchmaker {

namespace {

// zlib counts in unsigned int; larger inputs go in slices.
const size_t kSlice = size_t(1) << 30;
const size_t kChunk = size_t(64) << 10;

} // namespace

bool SetAside::keep(const uint8_t* data, size_t length)
{
    clear();
    z_stream stream {};
    if (deflateInit(&stream, Z_BEST_SPEED) != Z_OK)
        return false;
    size_t given = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (stream.avail_in == 0 && given < length) {
            const size_t slice = length - given < kSlice ? length - given : kSlice;
            stream.next_in = const_cast<uint8_t*>(data + given);
            stream.avail_in = unsigned(slice);
            given += slice;
        }
        uint8_t chunk[kChunk];
        stream.next_out = chunk;
        stream.avail_out = unsigned(sizeof(chunk));
        result = deflate(&stream, given == length ? Z_FINISH : Z_NO_FLUSH);
        if ((result == Z_OK || result == Z_STREAM_END)
            && !m_deflated.Write(chunk, sizeof(chunk) - stream.avail_out))
            result = Z_MEM_ERROR;
    }
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        clear();
        return false;
    }
    m_length = length;
    return true;
}

bool SetAside::restore(uint8_t* out) const
{
    if (m_length == 0)
        return true;
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return false;
    const size_t deflated = m_deflated.Length();
    size_t given = 0;
    size_t room = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (stream.avail_in == 0 && given < deflated) {
            const size_t slice = deflated - given < kSlice ? deflated - given : kSlice;
            stream.next_in = const_cast<uint8_t*>(m_deflated.Buffer() + given);
            stream.avail_in = unsigned(slice);
            given += slice;
        }
        if (stream.avail_out == 0 && room < m_length) {
            const size_t slice = m_length - room < kSlice ? m_length - room : kSlice;
            stream.next_out = out + room;
            stream.avail_out = unsigned(slice);
            room += slice;
        }
        result = inflate(&stream, Z_NO_FLUSH);
    }
    const bool whole = result == Z_STREAM_END && stream.avail_out == 0 && room == m_length
        && stream.avail_in == 0 && given == deflated;
    inflateEnd(&stream);
    return whole;
}

} // namespace kvpatchmaker
