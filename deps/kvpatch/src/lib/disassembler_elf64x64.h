#pragma once

#include "disassembler_elf.h"

namespace kvpatch {

// x86-64 ELF executables and shared objects (FileType 5, machine 62). No
// relocation is taken as an absolute address, so these programs have no
// abs32 references and their relocation sections stay literal bytes.
class DisassemblerElf64X64 : public DisassemblerElf64
{
public:
    DisassemblerElf64X64(const void* start, size_t length);

    FileType kind() const override;
    uint16_t ElfMachine() const override { return 62; }
    bool RelocationToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool ParseRelocationSection(
        const SectionHeader& section, DisassembledProgram* program) override;
    bool ScanSectionForRel32(const SectionHeader& section) override;
};

} // namespace kvpatch
