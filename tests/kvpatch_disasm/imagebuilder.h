#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Small, well-formed images written byte by byte, for the cases that a
// toolchain does not produce (malformed headers, edge cases of the scans,
// 32-bit Mach-O).
class ByteImage
{
public:
    std::vector<uint8_t> bytes;

    void resize(size_t size) { bytes.resize(size, 0); }
    void put8(size_t offset, uint8_t value);
    void put16(size_t offset, uint16_t value);
    void put32(size_t offset, uint32_t value);
    void put64(size_t offset, uint64_t value);
    void putBytes(size_t offset, const std::vector<uint8_t>& data);
    uint32_t get32(size_t offset) const;
};

// A PE32 or PE32+ image with a .text section at file offset 0x200 (rva
// 0x1000) and, when relocations are given, a .reloc section after it.
struct PeImageSpec
{
    bool pe32Plus = false;
    std::vector<uint8_t> text;
    // Rvas of absolute addresses; one base-relocation block per page.
    std::vector<uint32_t> relocations;
    std::vector<uint8_t> trailing;
    uint32_t numberOfDataDirectories = 16;
};

struct PeImage
{
    ByteImage image;
    uint32_t textOffset = 0x200;
    uint32_t textRva = 0x1000;
    uint32_t relocOffset = 0;
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
    uint32_t sectionTableOffset = 0;
    uint32_t optionalHeaderOffset = 0x58;
    size_t endOfSections = 0;
    uint64_t imageBase = 0;
};

PeImage BuildPeImage(const PeImageSpec& spec);
// The base-relocation table as a linker writes it (one block per page, an
// odd block padded with a zero entry).
std::vector<uint8_t> BuildPeRelocTable(const std::vector<uint32_t>& rvas, uint32_t entryType);

// An ELF32 or ELF64 image: one loadable segment that maps the whole file at
// vaddr = offset, a .text section, an optional data section and an optional
// relocation section (ELF32 REL entries).
struct ElfImageSpec
{
    bool elf64 = false;
    uint16_t machine = 3;
    uint16_t type = 3;
    std::vector<uint8_t> text;
    std::vector<uint8_t> data;
    // {r_offset, r_info} pairs.
    std::vector<std::pair<uint32_t, uint32_t>> relocations;
};

struct ElfImage
{
    ByteImage image;
    uint32_t textOffset = 0;
    uint32_t dataOffset = 0;
    uint32_t relOffset = 0;
    uint32_t sectionHeaderOffset = 0;
    uint16_t sectionCount = 0;
};

ElfImage BuildElfImage(const ElfImageSpec& spec);

// A Mach-O image: header, load commands, then the code of one section.
struct MachoImageSpec
{
    bool is64 = false;
    uint32_t fileType = 2;
    std::vector<uint8_t> code;
    uint32_t sectionFlags = 0x80000400;
    // A section-less zero-page segment at vmaddr 0 before the code segment.
    bool zeroPage = true;
    uint64_t vmaddr = 0;
};

struct MachoImage
{
    ByteImage image;
    uint32_t codeOffset = 0;
    uint32_t segmentCommandOffset = 0;
    uint32_t sectionHeaderOffset = 0;
    uint64_t codeVmaddr = 0;
};

MachoImage BuildMachoImage(const MachoImageSpec& spec);

// A 64-bit Mach-O image with one segment over the whole file at vmaddr 0,
// `code` after the load commands at `*codeStart` (16-aligned), and code
// sections given as {offset from the code's start, size}, in that order.
std::vector<uint8_t> BuildMachoWithSections(
    const std::vector<std::pair<uint32_t, uint32_t>>& sections, const std::vector<uint8_t>& code,
    uint32_t* codeStart);
