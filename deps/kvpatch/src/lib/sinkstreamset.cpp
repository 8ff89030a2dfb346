#include "streamset.h"

namespace kvpatch {

bool SinkStreamSet::WriteHeader(SinkStream* target) const
{
    if (!target->WriteVarint32(kStreamSetMagic) || !target->WriteVarint32(m_count))
        return false;
    for (uint32_t i = 0; i < m_count; ++i) {
        if (!target->WriteSizeVarint32(m_streams[i].Length()))
            return false;
    }
    return true;
}

bool SinkStreamSet::WriteAll(SinkStream* target)
{
    SinkStream header;
    if (!WriteHeader(&header))
        return false;
    uint64_t total = header.Length();
    for (uint32_t i = 0; i < m_count; ++i)
        total += m_streams[i].Length();
    if (!FitsSize(total) || !target->Reserve(size_t(total)) || !target->Append(&header))
        return false;
    for (uint32_t i = 0; i < m_count; ++i) {
        if (!target->Append(&m_streams[i]))
            return false;
    }
    return true;
}

bool SinkStreamSet::WriteNested(SinkStreamSet* inner)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < kMaxStreams; ++i) {
        if (inner->m_streams[i].Length() != 0)
            count = i + 1;
    }
    // Checked first so that a set that cannot carry the inner one is left
    // as it was.
    if (count > m_count)
        return false;
    SinkStream* header = &m_streams[0];
    const uint8_t countByte = uint8_t(count);
    if (!header->Write(&countByte, 1))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header->WriteSizeVarint32(inner->m_streams[i].Length()))
            return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!m_streams[i].Append(&inner->m_streams[i]))
            return false;
    }
    return true;
}

} // namespace kvpatch
