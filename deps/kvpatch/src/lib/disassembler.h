#pragma once

#include "filetype.h"

#include <boost/noncopyable.hpp>

#include <cstddef>
#include <cstdint>

namespace kvpatch {

class DisassembledProgram;

// Base of every executable parser. Works on a byte region that the caller
// owns and keeps alive; nothing is copied.
class Disassembler : private boost::noncopyable
{
public:
    Disassembler(const void* start, size_t length);
    virtual ~Disassembler();

    virtual FileType kind() const { return UNKNOWN; }

    // Validates the headers, shrinks length() to the end they describe and
    // ends with SetSuccess() or SetFailure().
    virtual bool ParseHeader() = 0;

    // Turns the image into a program; only meaningful after a successful
    // ParseHeader(). Must end by numbering the program's labels.
    virtual bool Disassemble(DisassembledProgram* program) = 0;

    // Null after a successful ParseHeader(), else why the parser refused.
    const char* failureReason() const { return m_failureReason; }
    // Bytes that belong to the executable.
    uint32_t length() const { return m_length; }
    const uint8_t* start() const { return m_start; }
    const uint8_t* end() const { return m_end; }

    // No bounds check: compare OFFSET with length() first.
    const uint8_t* OffsetToPointer(size_t offset) const { return m_start + offset; }

    // The region is a read-only file mapping whose pages come back from the
    // file when read again: the parser may let the pages it has passed leave
    // memory, so that the image is not held whole beside what is made of
    // it. Never for a region in ordinary memory (its bytes would be lost).
    void setRegionReleasable() { m_releasable = true; }

protected:
    bool SetSuccess();
    bool SetFailure(const char* reason);
    void ClampLength(uint32_t length);

    // Bytes of the whole region, which may run past length().
    size_t regionSize() const { return static_cast<size_t>(m_end - m_start); }
    // The byte at OFFSET, or null when OFFSET is negative or past the region.
    const uint8_t* RegionPointer(int64_t offset) const;
    // Emits the bytes [startOffset, endOffset) one literal byte each.
    bool EmitRawRegion(uint32_t startOffset, uint32_t endOffset, DisassembledProgram* program);
    // With a releasable region: lets all its pages go, after a pass over
    // the whole image, and the pages before `offset` once a stretch worth a
    // system call has been passed since the last release (the walk that
    // follows). Pages read again later simply come back.
    void ReleaseRegion();
    void ReleaseRegionBefore(uint64_t offset);

private:
    const char* m_failureReason = "uninitialized";
    uint32_t m_length;
    const uint8_t* m_start;
    const uint8_t* m_end;
    bool m_releasable = false;
    const uint8_t* m_released = nullptr;
};

} // namespace kvpatch
