#pragma once

#include "falliblebuffer.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvpatch {

// A list of numbers held as a stream writes them, one to five bytes each,
// instead of four bytes apiece: the ops and copy counts of a large program
// are hundreds of thousands of mostly one-byte numbers, and the list is then
// handed to its stream as it is. Never throws; a failed growth sticks.
class VarintList
{
public:
    VarintList() = default;
    VarintList(const VarintList&) = delete;
    VarintList& operator=(const VarintList&) = delete;

    bool push_back(uint32_t value);
    // Replaces the last number; the list must not be empty.
    bool setBack(uint32_t value);
    uint32_t back() const { return m_back; }
    uint32_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    // Takes `count` numbers in their written form (checked by the caller).
    bool assign(const uint8_t* bytes, size_t length, uint32_t count);
    void release();

    SourceStream items() const { return SourceStream(m_bytes.data(), m_bytes.size()); }
    FallibleBuffer<uint8_t>& bytes() { return m_bytes; }
    // For inspection: the numbers decoded.
    std::vector<uint32_t> values() const;

private:
    FallibleBuffer<uint8_t> m_bytes;
    uint32_t m_count = 0;
    uint32_t m_back = 0;
    // Where the last number's bytes start.
    uint32_t m_backAt = 0;
};

} // namespace kvpatch
