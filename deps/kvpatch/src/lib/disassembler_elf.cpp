#include "disassembler_elf.h"

#include "disassembledprogram.h"
#include "imagebytes.h"
#include "logline.h"
#include "x86rel32operand.h"

#include <algorithm>
#include <new>

namespace kvpatch {

namespace {

constexpr uint32_t SHT_PROGBITS = 1;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint32_t SHT_REL = 9;
constexpr uint32_t SHT_INIT_ARRAY = 14;
constexpr uint32_t SHT_FINI_ARRAY = 15;
constexpr uint32_t PT_LOAD = 1;
// Bytes an image may emit per byte of its length (see ParseFile).
constexpr uint32_t kEmittedBytesPerFileByte = 4;

constexpr DisassemblerElf::Layout kElf32Layout = {false, 52, 40, 32, 8};
constexpr DisassemblerElf::Layout kElf64Layout = {true, 64, 64, 56, 16};

bool Contains(uint64_t offset, uint64_t size, uint64_t value)
{
    return value >= offset && value - offset < size;
}

IntervalIndex::Interval Span(uint64_t start, uint64_t size)
{
    return {start, size > UINT64_MAX - start ? UINT64_MAX : start + size};
}

} // namespace

DisassemblerElf::DisassemblerElf(const void* start, size_t length, const Layout& layout)
    : Disassembler(start, length)
    , m_layout(layout)
{
}

DisassemblerElf32::DisassemblerElf32(const void* start, size_t length)
    : DisassemblerElf(start, length, kElf32Layout)
{
}

DisassemblerElf64::DisassemblerElf64(const void* start, size_t length)
    : DisassemblerElf(start, length, kElf64Layout)
{
}

bool DisassemblerElf::ParseHeader()
{
    if (length() < m_layout.headerSize)
        return SetFailure("Too small");
    const uint8_t* header = start();
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F')
        return SetFailure("No Magic Number");
    if ((ReadU16(header + 16) & 0xFFFE) != 2)
        return SetFailure("Not an executable file or shared library");
    if (ReadU16(header + 18) != ElfMachine())
        return SetFailure("Not a supported architecture");
    if (ReadU32(header + 20) != 1)
        return SetFailure("Unknown file version");

    uint64_t phoff, shoff;
    uint16_t phnum, shentsize, shnum, shstrndx;
    if (m_layout.is64) {
        phoff = ReadU64(header + 32);
        shoff = ReadU64(header + 40);
        phnum = ReadU16(header + 56);
        shentsize = ReadU16(header + 58);
        shnum = ReadU16(header + 60);
        shstrndx = ReadU16(header + 62);
    } else {
        phoff = ReadU32(header + 28);
        shoff = ReadU32(header + 32);
        phnum = ReadU16(header + 44);
        shentsize = ReadU16(header + 46);
        shnum = ReadU16(header + 48);
        shstrndx = ReadU16(header + 50);
    }
    if (shentsize != m_layout.sectionHeaderSize)
        return SetFailure("Unexpected section header size");
    if (shoff >= length())
        return SetFailure("Out of bounds section header table offset");
    if (shnum + shoff >= length())
        return SetFailure("Out of bounds section header table");
    if (phoff >= length())
        return SetFailure("Out of bounds program header table offset");
    if (phnum + phoff >= length())
        return SetFailure("Out of bounds program header table");
    if (!ReadSectionHeaders(shoff, shnum) || !ReadProgramHeaders(phoff, phnum))
        return false;
    m_sectionNamesOffset = shstrndx < m_sections.size() ? m_sections[shstrndx].sh_offset : 0;
    if (!BuildIndexes())
        return false;

    ClampLength(FileLength());
    return SetSuccess();
}

bool DisassemblerElf::ReadSectionHeaders(uint64_t offset, uint16_t count)
{
    // Whole tables and the data of every section must lie in the region:
    // the walks below read them without further checks.
    if (!RangeInside(offset, uint64_t(count) * m_layout.sectionHeaderSize, regionSize()))
        return SetFailure("Out of bounds section header table");
    m_sectionHeaderOffset = offset;
    m_sections.clear();
    m_sections.reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* p = start() + offset + uint64_t(i) * m_layout.sectionHeaderSize;
        SectionHeader section;
        section.sh_type = ReadU32(p + 4);
        if (m_layout.is64) {
            section.sh_addr = ReadU64(p + 16);
            section.sh_offset = ReadU64(p + 24);
            section.sh_size = ReadU64(p + 32);
            section.sh_entsize = ReadU64(p + 56);
        } else {
            section.sh_addr = ReadU32(p + 12);
            section.sh_offset = ReadU32(p + 16);
            section.sh_size = ReadU32(p + 20);
            section.sh_entsize = ReadU32(p + 36);
        }
        if (section.sh_type != SHT_NOBITS
            && !RangeInside(section.sh_offset, section.sh_size, regionSize()))
            return SetFailure("Section data outside the file");
        m_sections.push_back(section);
    }
    return true;
}

bool DisassemblerElf::ReadProgramHeaders(uint64_t offset, uint16_t count)
{
    if (!RangeInside(offset, uint64_t(count) * m_layout.programHeaderSize, regionSize()))
        return SetFailure("Out of bounds program header table");
    m_programHeaderOffset = offset;
    m_programHeaders.clear();
    m_programHeaders.reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* p = start() + offset + uint64_t(i) * m_layout.programHeaderSize;
        ProgramHeader segment;
        segment.p_type = ReadU32(p);
        if (m_layout.is64) {
            segment.p_offset = ReadU64(p + 8);
            segment.p_vaddr = ReadU64(p + 16);
            segment.p_filesz = ReadU64(p + 32);
            segment.p_memsz = ReadU64(p + 40);
        } else {
            segment.p_offset = ReadU32(p + 4);
            segment.p_vaddr = ReadU32(p + 8);
            segment.p_filesz = ReadU32(p + 16);
            segment.p_memsz = ReadU32(p + 20);
        }
        m_programHeaders.push_back(segment);
    }
    return true;
}

bool DisassemblerElf::BuildIndexes()
{
    // Code and relocation sections are read byte by byte, once each; their
    // total cannot exceed the file unless they overlap, which no linker
    // does and which would multiply the work.
    uint64_t walked = 0;
    std::vector<IntervalIndex::Interval> withData, targets;
    for (const SectionHeader& section : m_sections) {
        const bool walkedType = section.sh_type == SHT_PROGBITS || section.sh_type == SHT_REL;
        if (walkedType)
            walked += section.sh_size;
        withData.push_back(section.sh_type != SHT_NOBITS ? Span(section.sh_offset, section.sh_size)
                                                         : IntervalIndex::Interval());
        targets.push_back(
            walkedType ? Span(section.sh_offset, section.sh_size) : IntervalIndex::Interval());
    }
    if (walked > regionSize())
        return SetFailure("Overlapping sections");
    m_sectionsWithData.build(withData);
    m_relocationTargets.build(targets);

    std::vector<IntervalIndex::Interval> loaded, fileBacked;
    for (const ProgramHeader& segment : m_programHeaders) {
        loaded.push_back(segment.p_type == PT_LOAD ? Span(segment.p_vaddr, segment.p_memsz)
                                                   : IntervalIndex::Interval());
        fileBacked.push_back(Span(segment.p_vaddr, std::min(segment.p_memsz, segment.p_filesz)));
    }
    m_loadedRvas.build(loaded);
    m_fileBackedRvas.build(fileBacked);
    return true;
}

uint32_t DisassemblerElf::FileLength() const
{
    // Sums saturate: a header that names a huge range leaves the length alone.
    auto saturatedEnd = [](uint64_t offset, uint64_t size) {
        return size > UINT64_MAX - offset ? UINT64_MAX : offset + size;
    };
    uint64_t result = 0;
    for (const SectionHeader& section : m_sections) {
        if (section.sh_type != SHT_NOBITS)
            result = std::max(result, saturatedEnd(section.sh_offset, section.sh_size));
    }
    for (const ProgramHeader& segment : m_programHeaders)
        result = std::max(result, saturatedEnd(segment.p_offset, segment.p_filesz));
    result = std::max(result,
        saturatedEnd(
            m_sectionHeaderOffset, uint64_t(m_sections.size()) * m_layout.sectionHeaderSize));
    result = std::max(result,
        saturatedEnd(
            m_programHeaderOffset, uint64_t(m_programHeaders.size()) * m_layout.programHeaderSize));
    return static_cast<uint32_t>(std::min<uint64_t>(result, UINT32_MAX));
}

bool DisassemblerElf::IsLoadedRva(uint32_t rva) const
{
    return m_loadedRvas.firstContaining(rva) != IntervalIndex::npos;
}

bool DisassemblerElf::RvaToFileOffset(uint32_t rva, uint32_t* offset) const
{
    const size_t i = m_fileBackedRvas.firstContaining(rva);
    return i != IntervalIndex::npos && SegmentOffset(i, rva, offset);
}

bool DisassemblerElf::SegmentOffset(size_t segment, uint32_t rva, uint32_t* offset) const
{
    const ProgramHeader& header = m_programHeaders[segment];
    const uint64_t result = header.p_offset + (rva - header.p_vaddr);
    if (result < header.p_offset || result > UINT32_MAX)
        return false;
    *offset = static_cast<uint32_t>(result);
    return true;
}

uint32_t DisassemblerElf::FileOffsetToRva(uint32_t offset) const
{
    const size_t i = m_sectionsWithData.firstContaining(offset);
    if (i == IntervalIndex::npos)
        return 0;
    const SectionHeader& section = m_sections[i];
    return static_cast<uint32_t>(section.sh_addr + (offset - section.sh_offset));
}

bool DisassemblerElf::RvasToFileOffsets(
    const std::vector<uint32_t>& rvas, std::vector<uint32_t>* offsets) const
{
    offsets->clear();
    offsets->reserve(rvas.size());
    for (uint32_t rva : rvas) {
        uint32_t offset = 0;
        if (!RvaToFileOffset(rva, &offset))
            return false;
        offsets->push_back(offset);
    }
    return true;
}

DisassemblerElf::Rel32Cursor::Rel32Cursor(const DisassemblerElf& parser, const TypedRVAList& list)
    : m_parser(parser)
    , m_at(list.begin())
    , m_end(list.end())
{
}

bool DisassemblerElf::Rel32Cursor::start()
{
    return atEnd() || locate();
}

bool DisassemblerElf::Rel32Cursor::advance()
{
    ++m_at;
    return atEnd() || locate();
}

bool DisassemblerElf::Rel32Cursor::locate()
{
    const uint32_t rva = m_at->rva();
    if (rva < m_spanStart || rva >= m_spanEnd) {
        m_segment = m_parser.m_fileBackedRvas.firstContaining(rva, &m_spanStart, &m_spanEnd);
        if (m_segment == IntervalIndex::npos) {
            m_spanStart = 1;
            m_spanEnd = 0;
            return false;
        }
    }
    return m_parser.SegmentOffset(m_segment, rva, &m_offset);
}

bool DisassemblerElf::Rel32OffsetsKnown() const
{
    Rel32Cursor cursor(*this, m_rel32Locations);
    if (!cursor.start())
        return false;
    while (!cursor.atEnd()) {
        if (!cursor.advance())
            return false;
    }
    return true;
}

bool DisassemblerElf::IsRelocationTarget(uint32_t rva) const
{
    uint32_t offset = 0;
    return RvaToFileOffset(rva, &offset)
        && m_relocationTargets.firstContaining(offset) != IntervalIndex::npos;
}

uint64_t DisassemblerElf::RelocationCount(const SectionHeader& section) const
{
    // Entries are read at the class's own size; any other entry size would
    // make them overlap or reach past the section, so such a table is treated
    // as holding no entries.
    if (section.sh_entsize != m_layout.relocationEntrySize)
        return 0;
    return section.sh_size / section.sh_entsize;
}

void DisassemblerElf::ReadRelocation(
    const SectionHeader& section, uint64_t i, uint64_t* r_offset, uint64_t* r_info) const
{
    const uint8_t* entry = start() + section.sh_offset + i * m_layout.relocationEntrySize;
    if (m_layout.is64) {
        *r_offset = ReadU64(entry);
        *r_info = ReadU64(entry + 8);
    } else {
        *r_offset = ReadU32(entry);
        *r_info = ReadU32(entry + 4);
    }
}

void DisassemblerElf::CollectAbs32Relocations()
{
    m_abs32Locations.clear();
    for (const SectionHeader& section : m_sections) {
        if (section.sh_type != SHT_REL)
            continue;
        const uint64_t count = RelocationCount(section);
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t r_offset = 0, r_info = 0;
            ReadRelocation(section, i, &r_offset, &r_info);
            uint32_t rva = 0;
            if (RelocationToRva(r_offset, r_info, &rva) && IsRelocationTarget(rva))
                m_abs32Locations.push_back(rva);
        }
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
}

bool DisassemblerElf::ScanSectionsForRel32()
{
    m_rel32Locations.clear();
    // Code holds about one reference per 25 to 30 bytes: room for one per 16
    // spares the list its regrowth copies. The sections' total is at most
    // the file (checked when the headers were read), and untouched room
    // costs no memory.
    uint64_t scanned = 0;
    for (const SectionHeader& section : m_sections) {
        if (section.sh_type == SHT_PROGBITS)
            scanned += section.sh_size;
    }
    try {
        m_rel32Locations.reserve(size_t(scanned / 16));
    } catch (const std::bad_alloc&) {
        // Only a hint: the list grows as it goes.
    }
    for (const SectionHeader& section : m_sections) {
        if (section.sh_type == SHT_PROGBITS && !ScanSectionForRel32(section))
            return false;
    }
    // Sections usually come in address order, leaving nothing to sort.
    if (!std::is_sorted(m_rel32Locations.begin(), m_rel32Locations.end(), TypedRVA::lessByRva))
        std::stable_sort(m_rel32Locations.begin(), m_rel32Locations.end(), TypedRVA::lessByRva);
    return true;
}

void DisassemblerElf::AddRel32Location(const TypedRVA& rva)
{
    m_rel32Locations.push_back(rva);
}

bool DisassemblerElf::ScanSectionForX86Rel32(const SectionHeader& section, bool withRipRelative)
{
    const uint64_t sectionStart = section.sh_offset;
    const uint64_t sectionEnd = section.sh_offset + section.sh_size;
    // Most targets fall in the loaded range the previous one fell in.
    uint64_t loadedStart = 1;
    uint64_t loadedEnd = 0;
    auto isLoaded = [&](uint32_t rva) {
        return (rva >= loadedStart && rva < loadedEnd)
            || m_loadedRvas.firstContaining(rva, &loadedStart, &loadedEnd) != IntervalIndex::npos;
    };
    return ScanX86Rel32Operands(
        start(), sectionStart, sectionEnd, withRipRelative, [&](uint64_t operand) {
            const uint32_t operandRva
                = static_cast<uint32_t>(section.sh_addr + (operand - sectionStart));
            TypedRVA typed(operandRva);
            // The target is relative to the end of the four operand bytes.
            typed.set_relative_target(ReadU32(start() + operand) + 4);
            if (!isLoaded(operandRva + typed.relative_target()))
                return X86ScanVerdict::Skip;
            AddRel32Location(typed);
            return X86ScanVerdict::Take;
        });
}

bool DisassemblerElf::Disassemble(DisassembledProgram* program)
{
    if (failureReason() != nullptr)
        return false;
    program->setImageBase(0);
    CollectAbs32Relocations();
    if (!ScanSectionsForRel32())
        return false;
    // The scan read all the code; the walk reads it again in file order and
    // lets it go behind itself, while the encoded program grows.
    ReleaseRegion();
    if (!ParseFile(program))
        return false;
    program->NumberLabels();
    return true;
}

bool DisassemblerElf::EmitByteRun(
    uint64_t startOffset, uint64_t endOffset, DisassembledProgram* program)
{
    if (startOffset >= endOffset)
        return true;
    if (endOffset > regionSize() || endOffset - startOffset > UINT32_MAX)
        return false;
    if (!program->EmitBytesInstruction(
            start() + startOffset, static_cast<uint32_t>(endOffset - startOffset)))
        return false;
    // The bytes are copied into the program; the walk does not come back
    // (save where sections are out of file order: their pages come back).
    ReleaseRegionBefore(endOffset);
    return true;
}

bool DisassemblerElf::ParseFile(DisassembledProgram* program)
{
    std::vector<uint32_t> abs32Offsets;
    if (!RvasToFileOffsets(m_abs32Locations, &abs32Offsets))
        return false;
    if (!Rel32OffsetsKnown())
        return false;
    if (!m_rel32Locations.empty() && m_programHeaders.empty())
        return false;

    std::vector<uint32_t>::const_iterator abs32 = abs32Offsets.begin();
    const auto abs32End = abs32Offsets.end();
    Rel32Cursor rel32(*this, m_rel32Locations);
    if (!rel32.start())
        return false;

    // The walk follows the section table, not the file: a section before
    // the position moves it back, and the bytes after it come out again with
    // the next gap. Tables out of file order (sections added after linking)
    // therefore copy some bytes twice; a hostile table could make it copy
    // the file thousands of times, so beyond a few times its length the
    // image is refused.
    const uint64_t emitLimit = uint64_t(kEmittedBytesPerFileByte) * length();
    uint64_t emitted = 0;
    uint64_t fileOffset = 0;
    for (const SectionHeader& section : m_sections) {
        if (fileOffset < section.sh_offset) {
            emitted += section.sh_offset - fileOffset;
            if (emitted > emitLimit || !EmitByteRun(fileOffset, section.sh_offset, program))
                return false;
        }
        fileOffset = section.sh_offset;
        const uint64_t sectionEnd = section.sh_offset + section.sh_size;
        switch (section.sh_type) {
        case SHT_PROGBITS:
            emitted += section.sh_size;
            if (emitted > emitLimit
                || !ParseProgbitsSection(section, &abs32, abs32End, &rel32, program))
                return false;
            fileOffset = sectionEnd;
            break;
        case SHT_REL:
            emitted += section.sh_size;
            if (emitted > emitLimit || !ParseRelocationSection(section, program))
                return false;
            fileOffset = sectionEnd;
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            while (abs32 != abs32End && Contains(section.sh_offset, section.sh_size, *abs32)) {
                KVLOG(LogDebug) << "Skipping relocation entry for unsupported section: "
                                << section.sh_type;
                ++abs32;
            }
            break;
        default:
            if (abs32 != abs32End && Contains(section.sh_offset, section.sh_size, *abs32))
                KVLOG(LogDebug) << "Relocation address in unrecognized ELF section: "
                                << section.sh_type;
            break;
        }
    }
    if (fileOffset < length() && !EmitByteRun(fileOffset, length(), program))
        return false;
    return abs32 == abs32End;
}

bool DisassemblerElf::ParseProgbitsSection(const SectionHeader& section,
    std::vector<uint32_t>::const_iterator* abs32, std::vector<uint32_t>::const_iterator abs32End,
    Rel32Cursor* rel32, DisassembledProgram* program)
{
    if (!program->EmitOriginInstruction(static_cast<uint32_t>(section.sh_addr)))
        return false;
    const uint64_t sectionEnd = section.sh_offset + section.sh_size;
    uint64_t f = section.sh_offset;
    while (f < sectionEnd) {
        if (*abs32 != abs32End && **abs32 < f)
            return false;
        while (!rel32->atEnd() && rel32->fileOffset() < f) {
            if (!rel32->advance())
                return false;
        }

        uint64_t nextStop = sectionEnd;
        if (*abs32 != abs32End && **abs32 < nextStop)
            nextStop = **abs32;
        if (!rel32->atEnd() && nextStop > uint64_t(rel32->fileOffset()) + 3)
            nextStop = rel32->fileOffset();

        if (nextStop > f) {
            if (!EmitByteRun(f, nextStop, program))
                return false;
            f = nextStop;
        } else if (*abs32 != abs32End && **abs32 == f) {
            if (f + 4 > regionSize())
                return false;
            if (!program->EmitAbs32To(ReadU32(start() + f)))
                return false;
            f += 4;
            ++*abs32;
        } else if (!rel32->atEnd() && rel32->fileOffset() == f) {
            const TypedRVA& typed = rel32->reference();
            if (!EmitRel32Reference(typed, program))
                return false;
            f += Rel32OperandSize(typed);
            if (!rel32->advance())
                return false;
        } else {
            // Unreachable with sorted cursors; refuse rather than spin.
            return false;
        }
    }
    return true;
}

bool DisassemblerElf::EmitRel32Reference(const TypedRVA& typed, DisassembledProgram* program)
{
    return program->EmitRel32To(typed.rva() + typed.relative_target());
}

uint16_t DisassemblerElf::Rel32OperandSize(const TypedRVA&) const
{
    return 4;
}

} // namespace kvpatch
