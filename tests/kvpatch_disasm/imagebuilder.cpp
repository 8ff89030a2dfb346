#include "imagebuilder.h"

#include <cstring>

void ByteImage::put8(size_t offset, uint8_t value)
{
    if (offset + 1 > bytes.size())
        resize(offset + 1);
    bytes[offset] = value;
}

void ByteImage::put16(size_t offset, uint16_t value)
{
    put8(offset, static_cast<uint8_t>(value));
    put8(offset + 1, static_cast<uint8_t>(value >> 8));
}

void ByteImage::put32(size_t offset, uint32_t value)
{
    put16(offset, static_cast<uint16_t>(value));
    put16(offset + 2, static_cast<uint16_t>(value >> 16));
}

void ByteImage::put64(size_t offset, uint64_t value)
{
    put32(offset, static_cast<uint32_t>(value));
    put32(offset + 4, static_cast<uint32_t>(value >> 32));
}

void ByteImage::putBytes(size_t offset, const std::vector<uint8_t>& data)
{
    if (offset + data.size() > bytes.size())
        resize(offset + data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + offset);
}

uint32_t ByteImage::get32(size_t offset) const
{
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16)
        | (uint32_t(bytes[offset + 3]) << 24);
}

namespace {

uint32_t AlignUp(uint32_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

void PutName(ByteImage& image, size_t offset, const char* name)
{
    for (size_t i = 0; name[i] != 0; ++i)
        image.put8(offset + i, static_cast<uint8_t>(name[i]));
}

} // namespace

std::vector<uint8_t> BuildPeRelocTable(const std::vector<uint32_t>& rvas, uint32_t entryType)
{
    ByteImage table;
    size_t i = 0;
    while (i < rvas.size()) {
        const uint32_t page = rvas[i] & ~0xFFFu;
        std::vector<uint16_t> entries;
        while (i < rvas.size() && (rvas[i] & ~0xFFFu) == page)
            entries.push_back(static_cast<uint16_t>((rvas[i++] & 0xFFF) | (entryType << 12)));
        if (entries.size() % 2 != 0)
            entries.push_back(0);
        const size_t block = table.bytes.size();
        table.put32(block, page);
        table.put32(block + 4, static_cast<uint32_t>(8 + 2 * entries.size()));
        for (size_t e = 0; e < entries.size(); ++e)
            table.put16(block + 8 + 2 * e, entries[e]);
    }
    return table.bytes;
}

PeImage BuildPeImage(const PeImageSpec& spec)
{
    PeImage pe;
    ByteImage& image = pe.image;
    pe.imageBase = spec.pe32Plus ? 0x140000000ull : 0x400000u;
    image.resize(0x200);
    image.put8(0, 'M');
    image.put8(1, 'Z');
    image.put32(60, 0x40);
    PutName(image, 0x40, "PE");
    const uint16_t sizeOfOptionalHeader = spec.pe32Plus ? 240 : 224;
    const bool withRelocs = !spec.relocations.empty();
    image.put16(0x44, spec.pe32Plus ? 0x8664 : 0x14C);
    image.put16(0x46, withRelocs ? 2 : 1);
    image.put16(0x54, sizeOfOptionalHeader);

    const uint32_t textRaw = AlignUp(static_cast<uint32_t>(spec.text.size()), 0x200);
    const std::vector<uint8_t> relocTable
        = BuildPeRelocTable(spec.relocations, spec.pe32Plus ? 10 : 3);
    pe.relocOffset = pe.textOffset + textRaw;
    pe.relocRva = pe.textRva + AlignUp(textRaw, 0x1000);
    pe.relocSize = static_cast<uint32_t>(relocTable.size());
    const uint32_t relocRaw = AlignUp(pe.relocSize, 0x200);
    const uint32_t sizeOfImage = pe.relocRva + AlignUp(relocRaw == 0 ? 1 : relocRaw, 0x1000);

    const size_t opt = pe.optionalHeaderOffset;
    image.put16(opt, spec.pe32Plus ? 0x20B : 0x10B);
    image.put32(opt + 4, textRaw);
    image.put32(opt + 20, pe.textRva);
    if (spec.pe32Plus) {
        image.put64(opt + 24, pe.imageBase);
        image.put32(opt + 108, spec.numberOfDataDirectories);
    } else {
        image.put32(opt + 24, pe.relocRva);
        image.put32(opt + 28, static_cast<uint32_t>(pe.imageBase));
        image.put32(opt + 92, spec.numberOfDataDirectories);
    }
    image.put32(opt + 32, 0x1000);
    image.put32(opt + 36, 0x200);
    image.put32(opt + 56, sizeOfImage);
    image.put32(opt + 60, 0x200);
    const size_t directories = opt + (spec.pe32Plus ? 112 : 96);
    if (withRelocs) {
        image.put32(directories + 8 * 5, pe.relocRva);
        image.put32(directories + 8 * 5 + 4, pe.relocSize);
    }

    pe.sectionTableOffset = static_cast<uint32_t>(opt + sizeOfOptionalHeader);
    const size_t text = pe.sectionTableOffset;
    PutName(image, text, ".text");
    image.put32(text + 8, static_cast<uint32_t>(spec.text.size()));
    image.put32(text + 12, pe.textRva);
    image.put32(text + 16, textRaw);
    image.put32(text + 20, pe.textOffset);
    image.put32(text + 36, 0x60000020);
    if (withRelocs) {
        const size_t reloc = text + 40;
        PutName(image, reloc, ".reloc");
        image.put32(reloc + 8, pe.relocSize);
        image.put32(reloc + 12, pe.relocRva);
        image.put32(reloc + 16, relocRaw);
        image.put32(reloc + 20, pe.relocOffset);
        image.put32(reloc + 36, 0x42000040);
    }
    image.resize(pe.textOffset + textRaw + relocRaw);
    image.putBytes(pe.textOffset, spec.text);
    image.putBytes(pe.relocOffset, relocTable);
    pe.endOfSections = image.bytes.size();
    image.putBytes(image.bytes.size(), spec.trailing);
    return pe;
}

ElfImage BuildElfImage(const ElfImageSpec& spec)
{
    ElfImage elf;
    ByteImage& image = elf.image;
    const bool is64 = spec.elf64;
    const uint32_t headerSize = is64 ? 64 : 52;
    const uint32_t phSize = is64 ? 56 : 32;
    const uint32_t shSize = is64 ? 64 : 40;
    const uint32_t relEntry = is64 ? 16 : 8;

    elf.textOffset = 0x100;
    elf.dataOffset = AlignUp(elf.textOffset + static_cast<uint32_t>(spec.text.size()), 16);
    elf.relOffset = AlignUp(elf.dataOffset + static_cast<uint32_t>(spec.data.size()), 16);
    const uint32_t relSize = static_cast<uint32_t>(spec.relocations.size()) * relEntry;
    elf.sectionHeaderOffset = AlignUp(elf.relOffset + relSize, 16);
    elf.sectionCount = 4;
    const uint32_t fileSize = elf.sectionHeaderOffset + elf.sectionCount * shSize;

    image.resize(fileSize);
    image.put8(0, 0x7F);
    PutName(image, 1, "ELF");
    image.put8(4, is64 ? 2 : 1);
    image.put8(5, 1);
    image.put8(6, 1);
    image.put16(16, spec.type);
    image.put16(18, spec.machine);
    image.put32(20, 1);
    if (is64) {
        image.put64(32, headerSize);
        image.put64(40, elf.sectionHeaderOffset);
        image.put16(52, static_cast<uint16_t>(headerSize));
        image.put16(54, static_cast<uint16_t>(phSize));
        image.put16(56, 1);
        image.put16(58, static_cast<uint16_t>(shSize));
        image.put16(60, elf.sectionCount);
    } else {
        image.put32(28, headerSize);
        image.put32(32, elf.sectionHeaderOffset);
        image.put16(40, static_cast<uint16_t>(headerSize));
        image.put16(42, static_cast<uint16_t>(phSize));
        image.put16(44, 1);
        image.put16(46, static_cast<uint16_t>(shSize));
        image.put16(48, elf.sectionCount);
    }
    // One PT_LOAD mapping the file at vaddr = offset.
    const size_t ph = headerSize;
    image.put32(ph, 1);
    if (is64) {
        image.put64(ph + 32, fileSize);
        image.put64(ph + 40, fileSize);
    } else {
        image.put32(ph + 16, fileSize);
        image.put32(ph + 20, fileSize);
    }

    image.putBytes(elf.textOffset, spec.text);
    image.putBytes(elf.dataOffset, spec.data);
    for (size_t i = 0; i < spec.relocations.size(); ++i) {
        const size_t entry = elf.relOffset + i * relEntry;
        if (is64) {
            image.put64(entry, spec.relocations[i].first);
            image.put64(entry + 8, spec.relocations[i].second);
        } else {
            image.put32(entry, spec.relocations[i].first);
            image.put32(entry + 4, spec.relocations[i].second);
        }
    }

    struct Header
    {
        uint32_t type;
        uint32_t offset;
        uint32_t size;
        uint32_t entsize;
    };
    const Header headers[4] = {
        {0, 0, 0, 0},
        {1, elf.textOffset, static_cast<uint32_t>(spec.text.size()), 0},
        {1, elf.dataOffset, static_cast<uint32_t>(spec.data.size()), 0},
        {9, elf.relOffset, relSize, relEntry},
    };
    for (uint32_t i = 0; i < 4; ++i) {
        const size_t sh = elf.sectionHeaderOffset + i * shSize;
        image.put32(sh + 4, headers[i].type);
        if (is64) {
            image.put64(sh + 16, headers[i].offset);
            image.put64(sh + 24, headers[i].offset);
            image.put64(sh + 32, headers[i].size);
            image.put64(sh + 56, headers[i].entsize);
        } else {
            image.put32(sh + 12, headers[i].offset);
            image.put32(sh + 16, headers[i].offset);
            image.put32(sh + 20, headers[i].size);
            image.put32(sh + 36, headers[i].entsize);
        }
    }
    return elf;
}

MachoImage BuildMachoImage(const MachoImageSpec& spec)
{
    MachoImage macho;
    ByteImage& image = macho.image;
    const bool is64 = spec.is64;
    const uint32_t headerSize = is64 ? 32 : 28;
    const uint32_t segmentSize = is64 ? 72 : 56;
    const uint32_t sectionSize = is64 ? 80 : 68;
    const uint64_t vmaddr = spec.vmaddr != 0 ? spec.vmaddr : (is64 ? 0x100000000ull : 0x1000);

    uint32_t commands = 0;
    uint32_t commandBytes = 0;
    size_t command = headerSize;
    image.resize(headerSize);
    if (spec.zeroPage) {
        image.put32(command, is64 ? 25 : 1);
        image.put32(command + 4, segmentSize);
        PutName(image, command + 8, "__PAGEZERO");
        if (is64)
            image.put64(command + 32, 0x100000000ull);
        else
            image.put32(command + 28, 0x1000);
        command += segmentSize;
        commandBytes += segmentSize;
        ++commands;
    }
    macho.segmentCommandOffset = static_cast<uint32_t>(command);
    macho.sectionHeaderOffset = static_cast<uint32_t>(command + segmentSize);
    macho.codeOffset = AlignUp(static_cast<uint32_t>(command + segmentSize + sectionSize), 16);
    const uint32_t fileSize = macho.codeOffset + static_cast<uint32_t>(spec.code.size());
    macho.codeVmaddr = vmaddr + macho.codeOffset;
    image.put32(command, is64 ? 25 : 1);
    image.put32(command + 4, segmentSize + sectionSize);
    PutName(image, command + 8, "__TEXT");
    const size_t section = macho.sectionHeaderOffset;
    PutName(image, section, "__text");
    PutName(image, section + 16, "__TEXT");
    if (is64) {
        image.put64(command + 24, vmaddr);
        image.put64(command + 32, AlignUp(fileSize, 0x1000));
        image.put64(command + 40, 0);
        image.put64(command + 48, fileSize);
        image.put32(command + 64, 1);
        image.put64(section + 32, macho.codeVmaddr);
        image.put64(section + 40, spec.code.size());
        image.put32(section + 48, macho.codeOffset);
        image.put32(section + 64, spec.sectionFlags);
    } else {
        image.put32(command + 24, static_cast<uint32_t>(vmaddr));
        image.put32(command + 28, AlignUp(fileSize, 0x1000));
        image.put32(command + 32, 0);
        image.put32(command + 36, fileSize);
        image.put32(command + 48, 1);
        image.put32(section + 32, static_cast<uint32_t>(macho.codeVmaddr));
        image.put32(section + 36, static_cast<uint32_t>(spec.code.size()));
        image.put32(section + 40, macho.codeOffset);
        image.put32(section + 56, spec.sectionFlags);
    }
    commandBytes += segmentSize + sectionSize;
    ++commands;

    image.put32(0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
    image.put32(4, is64 ? 0x1000007 : 7);
    image.put32(8, 3);
    image.put32(12, spec.fileType);
    image.put32(16, commands);
    image.put32(20, commandBytes);
    image.resize(fileSize);
    image.putBytes(macho.codeOffset, spec.code);
    return macho;
}

std::vector<uint8_t> BuildMachoWithSections(
    const std::vector<std::pair<uint32_t, uint32_t>>& sections, const std::vector<uint8_t>& code,
    uint32_t* codeStart)
{
    constexpr uint32_t kCommand = 32;
    const uint32_t count = static_cast<uint32_t>(sections.size());
    const uint32_t commandSize = 72 + 80 * count;
    *codeStart = AlignUp(kCommand + commandSize, 16);
    const uint32_t fileSize = *codeStart + static_cast<uint32_t>(code.size());
    ByteImage image;
    image.put32(0, 0xFEEDFACF);
    image.put32(4, 0x1000007);
    image.put32(12, 2);
    image.put32(16, 1);
    image.put32(20, commandSize);
    image.put32(kCommand, 25);
    image.put32(kCommand + 4, commandSize);
    image.put64(kCommand + 32, fileSize);
    image.put64(kCommand + 48, fileSize);
    image.put32(kCommand + 64, count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t header = kCommand + 72 + 80 * i;
        const uint32_t offset = *codeStart + sections[i].first;
        image.put64(header + 32, offset);
        image.put64(header + 40, sections[i].second);
        image.put32(header + 48, offset);
        image.put32(header + 64, 0x80000400);
    }
    image.putBytes(*codeStart, code);
    return image.bytes;
}
