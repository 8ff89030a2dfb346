#pragma once

#include "disassembler_elf.h"

namespace kvpatch {

// 32-bit x86 ELF executables and shared objects (FileType 2, machine 3).
class DisassemblerElf32X86 : public DisassemblerElf32
{
public:
    DisassemblerElf32X86(const void* start, size_t length);

    FileType kind() const override;
    uint16_t ElfMachine() const override { return 3; }
    // Only R_386_RELATIVE without a symbol names an absolute address.
    bool RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(
        const SectionHeader& section, DisassembledProgram* program) override;
    bool ScanSectionForRel32(const SectionHeader& section) override;
};

} // namespace kvpatch
