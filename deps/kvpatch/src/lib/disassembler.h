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

private:
    const char* m_failureReason = "uninitialized";
    uint32_t m_length;
    const uint8_t* m_start;
    const uint8_t* m_end;
};

} // namespace kvpatch
