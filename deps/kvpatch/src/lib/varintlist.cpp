#include "varintlist.h"

#include "sinkstream.h"

namespace kvpatch {

bool VarintList::push_back(uint32_t value)
{
    uint8_t encoded[5];
    const uint32_t at = m_bytes.size();
    if (!m_bytes.append(encoded, EncodeVarint32(value, encoded)))
        return false;
    m_backAt = at;
    m_back = value;
    ++m_count;
    return true;
}

bool VarintList::setBack(uint32_t value)
{
    uint8_t encoded[5];
    m_bytes.truncate(m_backAt);
    if (!m_bytes.append(encoded, EncodeVarint32(value, encoded)))
        return false;
    m_back = value;
    return true;
}

bool VarintList::assign(const uint8_t* bytes, size_t length, uint32_t count)
{
    release();
    if (!m_bytes.append(bytes, length))
        return false;
    m_count = count;
    // The last number starts after the last byte that ends one before it.
    uint32_t at = m_bytes.size();
    if (at > 0)
        --at;
    while (at > 0 && (m_bytes[at - 1] & 0x80) != 0)
        --at;
    m_backAt = at;
    SourceStream last(m_bytes.data() + at, m_bytes.size() - at);
    m_back = 0;
    if (count > 0)
        last.ReadVarint32(&m_back);
    return true;
}

void VarintList::release()
{
    m_bytes.release();
    m_count = 0;
    m_back = 0;
    m_backAt = 0;
}

std::vector<uint32_t> VarintList::values() const
{
    std::vector<uint32_t> values;
    SourceStream in = items();
    uint32_t value = 0;
    for (uint32_t i = 0; i < m_count && in.ReadVarint32(&value); ++i)
        values.push_back(value);
    return values;
}

} // namespace kvpatch
