#pragma once

#include "disassembler.h"
#include "intervalindex.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvpatch {

class DisassembledProgram;

// Windows portable executables (PE32 and PE32+). The headers and the gaps
// between sections become literal bytes, call and jump displacements in
// `.text` become rel32 references, the addresses named by the base
// relocations become abs32 references and the relocation table itself is
// replaced by a mark from which assembly rebuilds it.
class DisassemblerWin32 : public Disassembler
{
public:
    struct DataDirectory
    {
        uint32_t rva = 0;
        uint32_t size = 0;
    };

    // One 40-byte section header, decoded.
    struct Section
    {
        char name[8] = {};
        uint32_t virtualSize = 0;
        uint32_t virtualAddress = 0;
        uint32_t sizeOfRawData = 0;
        uint32_t pointerToRawData = 0;
    };

    bool ParseHeader() override;
    bool Disassemble(DisassembledProgram* program) override;

    bool ReadDataDirectory(int index, DataDirectory* out);
    bool CollectAbs32Relocations();
    void ScanSectionsForRel32();
    void ScanSectionForRel32(const Section* section);
    bool ParseFile(DisassembledProgram* program);
    bool EmitSectionRegion(const Section* section, uint32_t startOffset, uint32_t endOffset,
        DisassembledProgram* program);

    // File offset of an rva, or -1.
    int64_t RVAToFileOffset(uint32_t rva) const;
    const uint8_t* RVAToPointer(uint32_t rva) const;
    const Section* RVAToSection(uint32_t rva) const;
    // 0 when no section's raw data holds the offset.
    uint32_t FileOffsetToRVA(uint32_t offset) const;
    // The section with the smallest raw-data pointer at or after the offset
    // (ignoring sections without raw data); the earlier one on a tie.
    const Section* FindNextSection(uint32_t offset) const;
    static std::string SectionName(const Section* section);
    std::string DescribeRVA(uint32_t rva) const;

    bool isPe32Plus() const { return m_isPe32Plus; }
    uint64_t imageBase() const { return m_imageBase; }
    uint32_t sizeOfImage() const { return m_sizeOfImage; }
    uint16_t machine() const { return m_machine; }
    const std::vector<Section>& sections() const { return m_sections; }
    const DataDirectory& baseRelocationTable() const { return m_baseRelocationTable; }
    const std::vector<uint32_t>& abs32Locations() const { return m_abs32Locations; }
    const std::vector<uint32_t>& rel32Locations() const { return m_rel32Locations; }

protected:
    DisassemblerWin32(const void* start, size_t length, bool wantPe32Plus);

private:
    bool ParseRelocs();
    bool ReadAllDataDirectories();
    bool ReadSectionTable(uint32_t tableOffset);

    const bool m_wantPe32Plus;
    std::vector<uint32_t> m_abs32Locations;
    std::vector<uint32_t> m_rel32Locations;
    bool m_isPe32Plus = false;
    uint32_t m_optionalHeaderOffset = 0;
    uint16_t m_sizeOfOptionalHeader = 0;
    uint16_t m_dataDirectoryOffset = 0;
    uint16_t m_machine = 0;
    uint16_t m_numberOfSections = 0;
    std::vector<Section> m_sections;
    // Sections with raw data, ordered by raw-data pointer then table position.
    std::vector<const Section*> m_sectionsByFileOffset;
    IntervalIndex m_rawDataRanges; // table positions, by file offset
    bool m_hasText = false;
    uint32_t m_sizeOfCode = 0;
    uint32_t m_sizeOfInitializedData = 0;
    uint32_t m_sizeOfUninitializedData = 0;
    uint32_t m_baseOfCode = 0;
    uint32_t m_baseOfData = 0;
    uint64_t m_imageBase = 0;
    uint32_t m_sizeOfImage = 0;
    int32_t m_numberOfDataDirectories = 0;
    DataDirectory m_exportTable;
    DataDirectory m_importTable;
    DataDirectory m_resourceTable;
    DataDirectory m_exceptionTable;
    DataDirectory m_baseRelocationTable;
    DataDirectory m_boundImportTable;
    DataDirectory m_importAddressTable;
    DataDirectory m_delayImportDescriptor;
    DataDirectory m_clrRuntimeHeader;
};

// PE32 images (FileType 1).
class DisassemblerWin32X86 : public DisassemblerWin32
{
public:
    DisassemblerWin32X86(const void* start, size_t length);
    FileType kind() const override;
};

// PE32+ images (FileType 4).
class DisassemblerWin32X64 : public DisassemblerWin32
{
public:
    DisassemblerWin32X64(const void* start, size_t length);
    FileType kind() const override;
};

} // namespace kvpatch
