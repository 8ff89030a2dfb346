#pragma once

#include "disassembler.h"
#include "intervalindex.h"

#include <cstdint>
#include <vector>

namespace kvpatch {

class DisassembledProgram;
struct Label;

// ELF executables and shared objects. The format logic is shared by the
// 32-bit and 64-bit bases, which differ only in field widths; the machine
// parsers decide which relocations name absolute addresses, how a relocation
// section is emitted and how code is scanned for branch targets.
class DisassemblerElf : public Disassembler
{
public:
    // Field widths of one ELF class.
    struct Layout
    {
        bool is64;
        uint32_t headerSize;
        uint32_t sectionHeaderSize;
        uint32_t programHeaderSize;
        uint32_t relocationEntrySize;
    };

    // Header fields the parser uses, widened to 64 bits.
    struct SectionHeader
    {
        uint32_t sh_type = 0;
        uint64_t sh_addr = 0;
        uint64_t sh_offset = 0;
        uint64_t sh_size = 0;
        uint64_t sh_entsize = 0;
    };

    struct ProgramHeader
    {
        uint32_t p_type = 0;
        uint64_t p_offset = 0;
        uint64_t p_vaddr = 0;
        uint64_t p_filesz = 0;
        uint64_t p_memsz = 0;
    };

    // A branch operand found in code, with what it takes to emit it again.
    // Held by value, 8 bytes each: a large library has hundreds of
    // thousands, and one heap object apiece cost more than the rest of the
    // disassembly. What only ARM branches need lies in a table of the ARM
    // parser's own, which `detail` indexes there; the file offset is found
    // from the rva when the walk reaches the reference.
    class TypedRVA
    {
    public:
        explicit TypedRVA(uint32_t rva)
            : m_rva(rva)
        {
        }

        uint32_t rva() const { return m_rva; }
        // x86 and x86-64: the target relative to the operand's rva.
        uint32_t relative_target() const { return m_detail; }
        void set_relative_target(uint32_t value) { m_detail = value; }
        // ARM: where the branch's details lie in the parser's table.
        uint32_t detail() const { return m_detail; }
        void set_detail(uint32_t value) { m_detail = value; }

        static bool lessByRva(const TypedRVA& a, const TypedRVA& b) { return a.rva() < b.rva(); }

    private:
        uint32_t m_rva;
        uint32_t m_detail = 0;
    };

    using TypedRVAList = std::vector<TypedRVA>;

    bool ParseHeader() override;
    bool Disassemble(DisassembledProgram* program) override;

    virtual uint16_t ElfMachine() const = 0;
    virtual bool RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const = 0;
    virtual bool ParseRelocationSection(const SectionHeader& section, DisassembledProgram* program)
        = 0;
    virtual bool ScanSectionForRel32(const SectionHeader& section) = 0;
    // Emits the reference found at `typed`; x86 and x86-64 emit a rel32.
    virtual bool EmitRel32Reference(const TypedRVA& typed, DisassembledProgram* program);
    // How many bytes the reference replaces.
    virtual uint16_t Rel32OperandSize(const TypedRVA& typed) const;

    uint32_t FileLength() const;
    bool IsLoadedRva(uint32_t rva) const;
    bool RvaToFileOffset(uint32_t rva, uint32_t* offset) const;
    uint32_t FileOffsetToRva(uint32_t offset) const;
    bool RvasToFileOffsets(const std::vector<uint32_t>& rvas, std::vector<uint32_t>* offsets) const;
    // Walks the references in address order with the file offset of the
    // current one. The references come mostly many to a segment: the segment
    // found last is tried first.
    class Rel32Cursor
    {
    public:
        Rel32Cursor(const DisassemblerElf& parser, const TypedRVAList& list);
        bool atEnd() const { return m_at == m_end; }
        const TypedRVA& reference() const { return *m_at; }
        uint32_t fileOffset() const { return m_offset; }
        // False when the next reference lies in no file-backed segment.
        bool advance();
        // The first reference (see advance).
        bool start();

    private:
        bool locate();

        const DisassemblerElf& m_parser;
        TypedRVAList::const_iterator m_at;
        TypedRVAList::const_iterator m_end;
        uint64_t m_spanStart = 1;
        uint64_t m_spanEnd = 0;
        size_t m_segment = 0;
        uint32_t m_offset = 0;
    };
    // True when every reference lies in a file-backed segment.
    bool Rel32OffsetsKnown() const;
    bool IsRelocationTarget(uint32_t rva) const;
    void CollectAbs32Relocations();
    bool ScanSectionsForRel32();
    bool ParseFile(DisassembledProgram* program);
    bool ParseProgbitsSection(const SectionHeader& section,
        std::vector<uint32_t>::const_iterator* abs32,
        std::vector<uint32_t>::const_iterator abs32End, Rel32Cursor* rel32,
        DisassembledProgram* program);
    bool EmitByteRun(uint64_t startOffset, uint64_t endOffset, DisassembledProgram* program);

    const std::vector<SectionHeader>& sections() const { return m_sections; }
    const std::vector<ProgramHeader>& programHeaders() const { return m_programHeaders; }
    const std::vector<uint32_t>& abs32Locations() const { return m_abs32Locations; }
    const TypedRVAList& rel32Locations() const { return m_rel32Locations; }

protected:
    DisassemblerElf(const void* start, size_t length, const Layout& layout);

    // Number of whole relocation entries of a relocation section (0 when its
    // entry size is not the class's).
    uint64_t RelocationCount(const SectionHeader& section) const;
    // r_offset and r_info of entry i of a relocation section.
    void ReadRelocation(
        const SectionHeader& section, uint64_t i, uint64_t* r_offset, uint64_t* r_info) const;
    // The x86 and x86-64 scan: call, jump and (withRipRelative) rip-relative
    // operands whose target is loaded.
    bool ScanSectionForX86Rel32(const SectionHeader& section, bool withRipRelative);
    void AddRel32Location(const TypedRVA& rva);

    std::vector<uint32_t> m_abs32Locations;
    TypedRVAList m_rel32Locations;

private:
    bool ReadSectionHeaders(uint64_t offset, uint16_t count);
    bool ReadProgramHeaders(uint64_t offset, uint16_t count);
    bool BuildIndexes();
    // The file offset of rva in program header `segment`, which holds it.
    bool SegmentOffset(size_t segment, uint32_t rva, uint32_t* offset) const;

    const Layout m_layout;
    std::vector<SectionHeader> m_sections;
    std::vector<ProgramHeader> m_programHeaders;
    uint64_t m_sectionHeaderOffset = 0;
    uint64_t m_programHeaderOffset = 0;
    // Offset of the section-name table (kept for diagnostics only).
    uint64_t m_sectionNamesOffset = 0;
    // Lookups over the header tables (positions are table positions).
    IntervalIndex m_loadedRvas; // loadable program headers, by vaddr
    IntervalIndex m_fileBackedRvas; // every program header, by vaddr, file-backed part
    IntervalIndex m_sectionsWithData; // sections other than no-bits, by offset
    IntervalIndex m_relocationTargets; // program-bits and relocation sections, by offset
};

// ELF class 1 (52-byte header, 40-byte section headers, 8-byte relocations).
class DisassemblerElf32 : public DisassemblerElf
{
protected:
    DisassemblerElf32(const void* start, size_t length);
};

// ELF class 2 (64-byte header, 64-byte section headers, 16-byte relocations).
class DisassemblerElf64 : public DisassemblerElf
{
protected:
    DisassemblerElf64(const void* start, size_t length);
};

} // namespace kvpatch
