#include "disassembler_elf32x86.h"

#include "disassembledprogram.h"

namespace kvpatch {

namespace {

constexpr uint64_t R_386_RELATIVE = 8;

} // namespace

DisassemblerElf32X86::DisassemblerElf32X86(const void* start, size_t length)
    : DisassemblerElf32(start, length)
{
}

FileType DisassemblerElf32X86::kind() const
{
    return FileType::EXE_ELF_32_X86;
}

bool DisassemblerElf32X86::RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const
{
    if (r_info != R_386_RELATIVE)
        return false;
    *rva = static_cast<uint32_t>(r_offset);
    return true;
}

bool DisassemblerElf32X86::ParseRelocationSection(
    const SectionHeader& section, DisassembledProgram* program)
{
    // The table is rebuilt by assembly only when it starts with exactly the
    // relative relocations of the abs32 locations, in their order.
    const uint64_t sectionEnd = section.sh_offset + section.sh_size;
    const uint64_t count = RelocationCount(section);
    const size_t n = m_abs32Locations.size();
    bool rebuildable = n > 0 && n <= count;
    for (size_t i = 0; rebuildable && i < n; ++i) {
        uint64_t r_offset = 0, r_info = 0;
        ReadRelocation(section, i, &r_offset, &r_info);
        rebuildable = r_offset == m_abs32Locations[i] && r_info == R_386_RELATIVE;
    }
    if (!rebuildable)
        return EmitByteRun(section.sh_offset, sectionEnd, program);
    if (!program->EmitElfRelocationInstruction())
        return false;
    return EmitByteRun(section.sh_offset + 8 * uint64_t(n), sectionEnd, program);
}

bool DisassemblerElf32X86::ScanSectionForRel32(const SectionHeader& section)
{
    return ScanSectionForX86Rel32(section, false);
}

} // namespace kvpatch
