// Stream sets: up to ten streams packed behind one header.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>

namespace kvpatch {

constexpr uint32_t kStreamSetMagic = 0x1328D6A;
constexpr uint32_t kMaxStreams = 10;

// Reads "magic, count, count lengths, the streams end to end".
class SourceStreamSet
{
public:
    SourceStreamSet() = default;

    bool Init(const uint8_t* data, size_t length);
    // Parses the stream's unread bytes; the stream itself does not move.
    bool InitFromStream(const SourceStream& source);
    // Reads a set nested in this one: its header at the cursor of stream 0,
    // inner stream i taken from the cursor of stream i.
    bool ReadNested(SourceStreamSet* out);
    bool AllConsumed() const;

    SourceStream* Stream(size_t i) { return &m_streams[i]; }
    uint32_t Count() const { return m_count; }

private:
    uint32_t m_count = kMaxStreams;
    SourceStream m_streams[kMaxStreams];
};

class SinkStreamSet
{
public:
    SinkStreamSet() = default;
    SinkStreamSet(const SinkStreamSet&) = delete;
    SinkStreamSet& operator=(const SinkStreamSet&) = delete;

    void Init(uint32_t count) { m_count = count; }
    bool WriteHeader(SinkStream* target) const;
    // Writes header and streams to target, releasing each stream's buffer
    // as it goes (the set is consumed).
    bool WriteAll(SinkStream* target);
    // Carries `inner` inside this set: its header at the end of stream 0,
    // its stream i appended to stream i.
    bool WriteNested(SinkStreamSet* inner);

    SinkStream* Stream(size_t i) { return &m_streams[i]; }
    uint32_t Count() const { return m_count; }

private:
    uint32_t m_count = kMaxStreams;
    SinkStream m_streams[kMaxStreams];
};

} // namespace kvpatch
