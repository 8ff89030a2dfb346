#pragma once

#include "disassembler.h"
#include "intervalindex.h"

#include <cstdint>
#include <vector>

namespace kvpatch {

class DisassembledProgram;

// Mach-O images for x86 (FileType 6) and x86-64 (FileType 7). Only code
// sections are analysed: their call, jump and (64-bit) rip-relative operands
// become rel32 references; everything else stays literal bytes.
class DisassemblerMacho : public Disassembler
{
public:
    struct Segment
    {
        uint64_t vmaddr = 0;
        uint32_t vmsize = 0;
        uint32_t fileoff = 0;
        uint32_t filesize = 0;
    };

    struct Section
    {
        uint64_t addr = 0;
        uint32_t size = 0;
        uint32_t offset = 0;
    };

    DisassemblerMacho(const void* start, size_t length);

    FileType kind() const override { return m_type; }
    bool ParseHeader() override;
    bool Disassemble(DisassembledProgram* program) override;

    bool ParseSegment(const uint8_t* command, uint32_t commandSize);
    bool ParseSegment64(const uint8_t* command, uint32_t commandSize);
    bool NormalizeAddresses();
    bool CheckedNarrow(uint32_t low, uint32_t high, uint32_t* out);
    void ScanSectionsForRel32();
    void ScanSectionForRel32(const Section& section);
    bool ParseFile(DisassembledProgram* program);
    bool EmitSectionRegion(const Section& section, uint32_t startOffset, uint32_t endOffset,
        DisassembledProgram* program);
    const Section* FindNextSection(uint32_t offset) const;

    int64_t RVAToFileOffset(uint32_t rva) const;
    const uint8_t* RVAToPointer(uint32_t rva) const;
    uint32_t FileOffsetToRVA(uint32_t offset) const;
    const Segment* RVAToSegment(uint32_t rva) const;
    bool IsValidTargetRVA(uint32_t rva) const;

    const std::vector<Segment>& segments() const { return m_segments; }
    const std::vector<Section>& sections() const { return m_sections; }
    const std::vector<uint32_t>& rel32Locations() const { return m_rel32Locations; }
    uint32_t fileEnd() const { return m_fileEnd; }

private:
    bool RecordSegment(const Segment& segment);

    std::vector<uint32_t> m_rel32Locations;
    std::vector<Segment> m_segments;
    std::vector<Section> m_sections;
    FileType m_type;
    uint32_t m_fileEnd = 0;
    IntervalIndex m_segmentRvas; // segment positions, by relative address
    IntervalIndex m_segmentFileRanges; // segment positions, by file offset
};

} // namespace kvpatch
