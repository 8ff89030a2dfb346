#include "streamset.h"

namespace kvpatch {

bool SourceStreamSet::Init(const uint8_t* data, size_t length)
{
    SourceStream header(data, length);
    uint32_t magic = 0;
    uint32_t count = 0;
    if (!header.ReadVarint32(&magic) || magic != kStreamSetMagic)
        return false;
    if (!header.ReadVarint32(&count) || count > kMaxStreams)
        return false;

    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadVarint32(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != header.Remaining())
        return false;

    m_count = count;
    for (uint32_t i = 0; i < count; ++i)
        header.ReadSubstream(lengths[i], &m_streams[i]);
    return true;
}

bool SourceStreamSet::InitFromStream(const SourceStream& source)
{
    return Init(source.Buffer(), source.Remaining());
}

bool SourceStreamSet::ReadNested(SourceStreamSet* out)
{
    if (m_count < 1)
        return false;
    SourceStream* header = &m_streams[0];
    uint32_t count = 0;
    if (!header->ReadVarint32(&count) || count > kMaxStreams || count > m_count)
        return false;
    uint32_t lengths[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!header->ReadVarint32(&lengths[i]))
            return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!m_streams[i].ReadSubstream(lengths[i], &out->m_streams[i]))
            return false;
    }
    return true;
}

bool SourceStreamSet::AllConsumed() const
{
    for (uint32_t i = 0; i < m_count; ++i) {
        if (!m_streams[i].Empty())
            return false;
    }
    return true;
}

} // namespace kvpatch
