#include "disassembler.h"

#include "allocation.h"
#include "disassembledprogram.h"

namespace kvpatch {

namespace {

// The length field is 32 bits wide; a larger region is treated as its first
// 4 GB less one byte, which no parser accepts as a whole image anyway.
uint32_t clampedLength(size_t length)
{
    return length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
}

} // namespace

Disassembler::Disassembler(const void* start, size_t length)
    : m_length(clampedLength(length))
    , m_start(static_cast<const uint8_t*>(start))
    , m_end(static_cast<const uint8_t*>(start) + length)
{
}

Disassembler::~Disassembler() = default;

bool Disassembler::SetSuccess()
{
    m_failureReason = nullptr;
    return true;
}

bool Disassembler::SetFailure(const char* reason)
{
    m_failureReason = reason;
    return false;
}

void Disassembler::ClampLength(uint32_t length)
{
    if (length < m_length)
        m_length = length;
}

const uint8_t* Disassembler::RegionPointer(int64_t offset) const
{
    if (offset < 0 || uint64_t(offset) >= regionSize())
        return nullptr;
    return m_start + offset;
}

bool Disassembler::EmitRawRegion(
    uint32_t startOffset, uint32_t endOffset, DisassembledProgram* program)
{
    if (startOffset >= endOffset)
        return true;
    return program->EmitBytesInstruction(m_start + startOffset, endOffset - startOffset);
}

void Disassembler::ReleaseRegion()
{
    if (!m_releasable)
        return;
    DiscardPages(m_start, m_end);
    m_released = m_start;
}

void Disassembler::ReleaseRegionBefore(uint64_t offset)
{
    // A quarter megabyte at a time: few calls, little held.
    constexpr uint64_t kStretch = 256 << 10;
    if (!m_releasable || !m_released || offset > regionSize()
        || offset < uint64_t(m_released - m_start) + kStretch)
        return;
    m_released = DiscardPages(m_released, m_start + offset);
}

} // namespace kvpatch
