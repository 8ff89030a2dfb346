#include "disassembler_win32.h"

#include "disassembledprogram.h"
#include "imagebytes.h"
#include "logline.h"
#include "sortedcursor.h"
#include "x86rel32operand.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace kvpatch {

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kRelocTypeHighLow = 3;
constexpr uint32_t kRelocTypeDir64 = 10;

} // namespace

DisassemblerWin32::DisassemblerWin32(const void* start, size_t length, bool wantPe32Plus)
    : Disassembler(start, length)
    , m_wantPe32Plus(wantPe32Plus)
{
}

bool DisassemblerWin32::ParseHeader()
{
    const size_t size = regionSize();
    if (length() < 64)
        return SetFailure("Too small");
    const uint8_t* base = start();
    if (base[0] != 'M' || base[1] != 'Z')
        return SetFailure("Not MZ");

    const uint32_t peOffset = ReadU32(base + 60);
    if (peOffset >= length() || peOffset == 0 || uint64_t(peOffset) + 24 >= size)
        return SetFailure("Bad offset to PE header");
    if (peOffset % 8 != 0)
        return SetFailure("Misaligned PE header");
    const uint8_t* pe = base + peOffset;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
        return SetFailure("no PE signature");

    m_machine = ReadU16(pe + 4);
    m_numberOfSections = ReadU16(pe + 6);
    m_sizeOfOptionalHeader = ReadU16(pe + 20);
    m_optionalHeaderOffset = peOffset + 24;
    if (uint64_t(m_optionalHeaderOffset) + m_sizeOfOptionalHeader >= size)
        return SetFailure("optional header past end of file");
    if (m_sizeOfOptionalHeader < 2)
        return SetFailure("optional header no magic");

    const uint8_t* optional = base + m_optionalHeaderOffset;
    const uint16_t magic = ReadU16(optional);
    if (magic == kPe32PlusMagic) {
        m_isPe32Plus = true;
        m_dataDirectoryOffset = 112;
    } else if (magic == kPe32Magic) {
        m_isPe32Plus = false;
        m_dataDirectoryOffset = 96;
    } else {
        return SetFailure("unrecognized magic");
    }
    if (m_sizeOfOptionalHeader < m_dataDirectoryOffset)
        return SetFailure("optional header too short");

    m_sizeOfCode = ReadU32(optional + 4);
    m_sizeOfInitializedData = ReadU32(optional + 8);
    m_sizeOfUninitializedData = ReadU32(optional + 12);
    m_baseOfCode = ReadU32(optional + 20);
    if (m_isPe32Plus) {
        m_baseOfData = 0;
        m_imageBase = ReadU64(optional + 24);
        m_numberOfDataDirectories = static_cast<int32_t>(ReadU32(optional + 108));
    } else {
        m_baseOfData = ReadU32(optional + 24);
        m_imageBase = ReadU32(optional + 28);
        m_numberOfDataDirectories = static_cast<int32_t>(ReadU32(optional + 92));
    }
    m_sizeOfImage = ReadU32(optional + 56);

    if (!ReadAllDataDirectories())
        return SetFailure("malformed data directory");

    if (!ReadSectionTable(m_optionalHeaderOffset + m_sizeOfOptionalHeader))
        return false;

    if (m_isPe32Plus && !m_wantPe32Plus)
        return SetFailure("64 bit executables are not supported by this disassembler");
    if (!m_isPe32Plus && m_wantPe32Plus)
        return SetFailure("32 bit executables are not supported by this disassembler");
    if (!m_hasText)
        return SetFailure("Resource-only executables are not yet supported");
    return SetSuccess();
}

bool DisassemblerWin32::ReadAllDataDirectories()
{
    // Every directory is read even after a failure, so that each one is
    // validated the same way whatever its neighbours hold.
    bool ok = true;
    ok &= ReadDataDirectory(0, &m_exportTable);
    ok &= ReadDataDirectory(1, &m_importTable);
    ok &= ReadDataDirectory(2, &m_resourceTable);
    ok &= ReadDataDirectory(3, &m_exceptionTable);
    ok &= ReadDataDirectory(5, &m_baseRelocationTable);
    ok &= ReadDataDirectory(11, &m_boundImportTable);
    ok &= ReadDataDirectory(12, &m_importAddressTable);
    ok &= ReadDataDirectory(13, &m_delayImportDescriptor);
    ok &= ReadDataDirectory(14, &m_clrRuntimeHeader);
    return ok;
}

bool DisassemblerWin32::ReadSectionTable(uint32_t tableOffset)
{
    // The section headers and the raw data they name must lie inside the
    // region: everything later reads through them without further checks.
    const uint64_t tableSize = uint64_t(m_numberOfSections) * kSectionHeaderSize;
    if (!RangeInside(tableOffset, tableSize, regionSize()))
        return SetFailure("section table past end of file");

    m_sections.clear();
    m_sections.reserve(m_numberOfSections);
    uint64_t detectedLength = 0;
    for (uint32_t i = 0; i < m_numberOfSections; ++i) {
        const uint8_t* header = start() + tableOffset + i * kSectionHeaderSize;
        Section section;
        std::memcpy(section.name, header, sizeof(section.name));
        section.virtualSize = ReadU32(header + 8);
        section.virtualAddress = ReadU32(header + 12);
        section.sizeOfRawData = ReadU32(header + 16);
        section.pointerToRawData = ReadU32(header + 20);
        if (std::memcmp(section.name, ".text\0", 6) == 0)
            m_hasText = true;
        const uint64_t sectionEnd = uint64_t(section.pointerToRawData) + section.sizeOfRawData;
        if (section.sizeOfRawData != 0 && sectionEnd > regionSize())
            return SetFailure("section data past end of file");
        detectedLength = std::max(detectedLength, sectionEnd);
        m_sections.push_back(section);
    }
    // Lookups by file offset, answered in logarithmic time: a table may hold
    // 65535 sections.
    std::vector<IntervalIndex::Interval> rawData;
    m_sectionsByFileOffset.clear();
    for (const Section& section : m_sections) {
        rawData.push_back(
            {section.pointerToRawData, uint64_t(section.pointerToRawData) + section.sizeOfRawData});
        if (section.sizeOfRawData != 0)
            m_sectionsByFileOffset.push_back(&section);
    }
    m_rawDataRanges.build(rawData);
    std::stable_sort(m_sectionsByFileOffset.begin(), m_sectionsByFileOffset.end(),
        [](const Section* a, const Section* b) {
            return a->pointerToRawData < b->pointerToRawData;
        });
    ClampLength(static_cast<uint32_t>(std::min<uint64_t>(detectedLength, UINT32_MAX)));
    return true;
}

bool DisassemblerWin32::ReadDataDirectory(int index, DataDirectory* out)
{
    if (index >= m_numberOfDataDirectories) {
        *out = DataDirectory();
        return true;
    }
    const uint32_t entryOffset = uint32_t(m_dataDirectoryOffset) + 8u * uint32_t(index);
    if (entryOffset >= m_sizeOfOptionalHeader)
        return SetFailure("number of data directories inconsistent");
    const uint64_t entryPosition = uint64_t(m_optionalHeaderOffset) + entryOffset;
    if (entryPosition + 8 >= regionSize())
        return SetFailure("data directory outside image");
    const uint8_t* entry = start() + entryPosition;
    const uint32_t size = ReadU32(entry + 4);
    if (size > m_sizeOfImage)
        return SetFailure("data directory size too big");
    out->rva = ReadU32(entry);
    out->size = size;
    return true;
}

bool DisassemblerWin32::Disassemble(DisassembledProgram* program)
{
    if (failureReason() != nullptr)
        return false;
    program->setImageBase(m_isPe32Plus ? m_imageBase : (m_imageBase & 0xFFFFFFFFu));
    if (!CollectAbs32Relocations())
        return false;
    ScanSectionsForRel32();
    if (!ParseFile(program))
        return false;
    program->NumberLabels();
    return true;
}

bool DisassemblerWin32::CollectAbs32Relocations()
{
    m_abs32Locations.clear();
    if (!ParseRelocs())
        return false;
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerWin32::ParseRelocs()
{
    const DataDirectory& table = m_baseRelocationTable;
    if (table.size == 0)
        return true;
    const uint8_t* tableStart = RVAToPointer(table.rva);
    if (tableStart == nullptr)
        return SetFailure(".relocs outside image");
    const size_t tableOffset = static_cast<size_t>(tableStart - start());
    if (!RangeInside(tableOffset, table.size, regionSize()))
        return SetFailure(".relocs outside image");
    const uint64_t tableEnd = uint64_t(tableOffset) + table.size;
    if (table.size < 9)
        return true;

    const uint32_t wantedType = m_isPe32Plus ? kRelocTypeDir64 : kRelocTypeHighLow;
    uint64_t block = tableOffset;
    while (block + 8 < tableEnd) {
        const uint8_t* header = start() + block;
        const uint32_t pageRva = ReadU32(header);
        const uint32_t blockSize = ReadU32(header + 4);
        if (blockSize < 8 || blockSize % 4 != 0)
            return SetFailure("unreasonable relocs block");
        if (!RangeInside(block, blockSize, regionSize()))
            return SetFailure(".relocs block outside image");
        for (uint64_t entry = block + 8; entry < block + blockSize; entry += 2) {
            const uint16_t value = ReadU16(start() + entry);
            const uint32_t type = value >> 12;
            const uint32_t offset = value & 0xFFF;
            if (type == 0)
                continue;
            if (type != wantedType)
                return SetFailure("unknown type of reloc");
            m_abs32Locations.push_back(pageRva + offset);
        }
        block += blockSize;
    }
    return true;
}

void DisassemblerWin32::ScanSectionsForRel32()
{
    m_rel32Locations.clear();
    if (length() == 0)
        return;
    uint64_t fileOffset = 0;
    do {
        const Section* section = FindNextSection(static_cast<uint32_t>(fileOffset));
        if (section == nullptr)
            break;
        ScanSectionForRel32(section);
        fileOffset
            = std::max<uint64_t>(fileOffset, section->pointerToRawData) + section->sizeOfRawData;
    } while (fileOffset < length());
    std::sort(m_rel32Locations.begin(), m_rel32Locations.end());
}

void DisassemblerWin32::ScanSectionForRel32(const Section* section)
{
    if (SectionName(section) != ".text")
        return;
    const uint32_t startOffset = section->pointerToRawData;
    const uint32_t endOffset = startOffset + section->sizeOfRawData;
    const uint32_t startRva = FileOffsetToRVA(startOffset);
    const uint32_t endRva = startRva + section->virtualSize;
    const DataDirectory& relocs = m_baseRelocationTable;

    SortedCursor abs32(m_abs32Locations);
    uint64_t p = startOffset;
    while (p < endOffset) {
        const uint32_t rva = startRva + static_cast<uint32_t>(p - startOffset);
        if (rva == relocs.rva && relocs.size != 0) {
            p += relocs.size;
            continue;
        }
        const X86Rel32Operand candidate
            = FindX86Rel32Operand(start() + p, endOffset - p, m_isPe32Plus);
        if (candidate.form == X86OperandForm::None) {
            ++p;
            continue;
        }
        const uint32_t operandRva = rva + static_cast<uint32_t>(candidate.operandOffset);
        // An absolute address that overlaps the operand wins: skip past it.
        abs32.SkipBelow(operandRva - 3);
        if (!abs32.AtEnd() && abs32.Value() < operandRva + 4) {
            const uint64_t afterAbs32
                = uint64_t(startOffset) + uint64_t(abs32.Value()) + 4 - startRva;
            p = afterAbs32 > p ? afterAbs32 : p + 1;
            continue;
        }
        const uint64_t operand = p + candidate.operandOffset;
        const uint32_t target = operandRva + 4 + ReadU32(start() + operand);
        const bool inSection = target >= startRva && target < endRva;
        const bool valid = candidate.form == X86OperandForm::RipRelative
            ? target < m_sizeOfImage
            : inSection && target < m_sizeOfImage;
        if (!valid) {
            ++p;
            continue;
        }
        m_rel32Locations.push_back(operandRva);
        p = operand + 4;
    }
}

bool DisassemblerWin32::ParseFile(DisassembledProgram* program)
{
    uint64_t fileOffset = 0;
    while (fileOffset < length()) {
        const Section* section = FindNextSection(static_cast<uint32_t>(fileOffset));
        if (section == nullptr)
            break;
        if (fileOffset < section->pointerToRawData
            && !EmitRawRegion(
                static_cast<uint32_t>(fileOffset), section->pointerToRawData, program))
            return false;
        fileOffset = std::max<uint64_t>(fileOffset, section->pointerToRawData);
        const uint64_t sectionEnd = fileOffset + section->sizeOfRawData;
        // Overlapping raw data would make the region run past the image.
        if (sectionEnd > regionSize())
            return SetFailure("section data past end of file");
        if (!EmitSectionRegion(section, static_cast<uint32_t>(fileOffset),
                static_cast<uint32_t>(sectionEnd), program))
            return false;
        fileOffset = sectionEnd;
    }
    return true;
}

bool DisassemblerWin32::EmitSectionRegion(const Section* /*section*/, uint32_t startOffset,
    uint32_t endOffset, DisassembledProgram* program)
{
    const uint32_t startRva = FileOffsetToRVA(startOffset);
    if (!program->EmitOriginInstruction(startRva))
        return false;
    const DataDirectory& relocs = m_baseRelocationTable;
    const uint32_t imageBaseLow = static_cast<uint32_t>(m_imageBase);
    SortedCursor abs32(m_abs32Locations);
    SortedCursor rel32(m_rel32Locations);
    uint64_t p = startOffset;
    while (p < endOffset) {
        const uint32_t rva = startRva + static_cast<uint32_t>(p - startOffset);
        // A reference at the section's last bytes takes its four bytes from
        // beyond the end (the walk then goes on from the section's end, so
        // those bytes come out again); only the end of the image stops it.
        const bool fourBytes = p + 4 <= regionSize();
        if (rva == relocs.rva) {
            if (!program->EmitPeRelocsInstruction())
                return false;
            if (relocs.size != 0) {
                p += relocs.size;
                continue;
            }
        }
        abs32.SkipBelow(rva);
        if (fourBytes && !abs32.AtEnd() && abs32.Value() == rva) {
            const uint32_t target = ReadU32(start() + p) - imageBaseLow;
            if (!program->EmitAbs32To(target))
                return false;
            p += 4;
            continue;
        }
        rel32.SkipBelow(rva);
        if (fourBytes && !rel32.AtEnd() && rel32.Value() == rva) {
            const uint32_t target = rva + 4 + ReadU32(start() + p);
            if (!program->EmitRel32To(target))
                return false;
            p += 4;
            continue;
        }
        if (!program->EmitBytesInstruction(start() + p, 1))
            return false;
        ++p;
    }
    return true;
}

int64_t DisassemblerWin32::RVAToFileOffset(uint32_t rva) const
{
    for (const Section& section : m_sections) {
        const uint32_t delta = rva - section.virtualAddress;
        if (delta < section.virtualSize) {
            if (delta >= section.sizeOfRawData)
                return -1;
            return int64_t(section.pointerToRawData) + delta;
        }
    }
    if (rva == 0 || rva == 2)
        return rva;
    KVLOG(LogError) << "REACHED UNREACHABLE";
    return -1;
}

const uint8_t* DisassemblerWin32::RVAToPointer(uint32_t rva) const
{
    return RegionPointer(RVAToFileOffset(rva));
}

const DisassemblerWin32::Section* DisassemblerWin32::RVAToSection(uint32_t rva) const
{
    for (const Section& section : m_sections) {
        if (section.virtualAddress <= rva && rva - section.virtualAddress < section.virtualSize)
            return &section;
    }
    return nullptr;
}

uint32_t DisassemblerWin32::FileOffsetToRVA(uint32_t offset) const
{
    const size_t i = m_rawDataRanges.firstContaining(offset);
    if (i == IntervalIndex::npos)
        return 0;
    const Section& section = m_sections[i];
    return section.virtualAddress + (offset - section.pointerToRawData);
}

const DisassemblerWin32::Section* DisassemblerWin32::FindNextSection(uint32_t offset) const
{
    auto next = std::lower_bound(m_sectionsByFileOffset.begin(), m_sectionsByFileOffset.end(),
        offset,
        [](const Section* section, uint32_t value) { return section->pointerToRawData < value; });
    return next != m_sectionsByFileOffset.end() ? *next : nullptr;
}

std::string DisassemblerWin32::SectionName(const Section* section)
{
    if (section == nullptr)
        return "<none>";
    return std::string(section->name, strnlen(section->name, sizeof(section->name)));
}

std::string DisassemblerWin32::DescribeRVA(uint32_t rva) const
{
    const Section* section = RVAToSection(rva);
    std::ostringstream text;
    text << std::hex << rva << " (" << SectionName(section);
    if (section != nullptr)
        text << "+" << (rva - section->virtualAddress);
    text << ")";
    return text.str();
}

DisassemblerWin32X86::DisassemblerWin32X86(const void* start, size_t length)
    : DisassemblerWin32(start, length, false)
{
}

FileType DisassemblerWin32X86::kind() const
{
    return WIN_32_X86;
}

DisassemblerWin32X64::DisassemblerWin32X64(const void* start, size_t length)
    : DisassemblerWin32(start, length, true)
{
}

FileType DisassemblerWin32X64::kind() const
{
    return WIN_32_X64;
}

} // namespace kvpatch
