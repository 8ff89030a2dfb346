#include "disassembler_elf64x64.h"

namespace kvpatch {

DisassemblerElf64X64::DisassemblerElf64X64(const void* start, size_t length)
    : DisassemblerElf64(start, length)
{
}

FileType DisassemblerElf64X64::kind() const
{
    return FileType::ELF_64_X64;
}

bool DisassemblerElf64X64::RelocationToRva(uint64_t, uint64_t, uint32_t*) const
{
    return false;
}

bool DisassemblerElf64X64::ParseRelocationSection(
    const SectionHeader& section, DisassembledProgram* program)
{
    return EmitByteRun(section.sh_offset, section.sh_offset + section.sh_size, program);
}

bool DisassemblerElf64X64::ScanSectionForRel32(const SectionHeader& section)
{
    return ScanSectionForX86Rel32(section, true);
}

} // namespace kvpatch
