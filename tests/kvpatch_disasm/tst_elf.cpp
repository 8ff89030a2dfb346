// ELF x86 and x86-64 images written by the test: relocation tables, the
// scans and malformed headers.
#include "corpus.h"
#include "detectexecutable.h"
#include "disassembler_elf32x86.h"
#include "disassembler_elf64x64.h"
#include "imagebuilder.h"
#include "roundtrip.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kvpatch;

namespace {

constexpr uint32_t R_386_RELATIVE = 8;
constexpr uint32_t R_386_32 = 1 | (1 << 8);

// .text at 0x100: call to 0x140 at 0x100, jp at 0x110 (never a reference),
// jne to 0x140 at 0x120; for x86-64 also a rip-relative lea at 0x130.
std::vector<uint8_t> SampleText(bool withLea)
{
    ByteImage text;
    text.resize(0x50);
    std::fill(text.bytes.begin(), text.bytes.end(), 0x90);
    text.put8(0x00, 0xE8);
    text.put32(0x01, 0x140 - (0x100 + 5));
    text.put8(0x10, 0x0F);
    text.put8(0x11, 0x8A);
    text.put32(0x12, 0x140 - (0x110 + 6));
    text.put8(0x20, 0x0F);
    text.put8(0x21, 0x85);
    text.put32(0x22, 0x140 - (0x120 + 6));
    if (withLea) {
        text.put8(0x30, 0x48);
        text.put8(0x31, 0x8D);
        text.put8(0x32, 0x05);
        text.put32(0x33, 0x100 - (0x133 + 4));
    }
    text.put8(0x40, 0xC3);
    return text.bytes;
}

// Four pointers in the data section, each named by a relative relocation.
ElfImageSpec SampleSpec(bool elf64 = false)
{
    ElfImageSpec spec;
    spec.elf64 = elf64;
    spec.machine = elf64 ? 62 : 3;
    spec.text = SampleText(elf64);
    spec.data.assign(16, 0);
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t target = 0x100 + 0x10 * i;
        std::memcpy(&spec.data[4 * i], &target, 4);
    }
    return spec;
}

ElfImage SampleElf(bool elf64 = false)
{
    ElfImageSpec spec = SampleSpec(elf64);
    // The data section lands at 0x150 (after 0x50 bytes of text).
    for (uint32_t i = 0; i < 4; ++i)
        spec.relocations.push_back({0x150 + 4 * i, R_386_RELATIVE});
    return BuildElfImage(spec);
}

} // namespace

TEST(ElfDisassembler, RelativeRelocationsBecomeOneTableMark)
{
    const ElfImage elf = SampleElf();
    ASSERT_EQ(elf.dataOffset, 0x150u);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->kind(), EXE_ELF_32_X86);
    auto kinds = CountInstructionKinds(*program);
    EXPECT_EQ(kinds[INSTR_ELF_RELOCS], 1u);
    EXPECT_EQ(kinds[INSTR_ABS32], 4u);
    EXPECT_EQ(kinds[INSTR_REL32], 2u);
    // The relocation entries are not copied literally: no byte run starts
    // inside the relocation section.
    for (size_t i = 0; i < program->instructionCount(); ++i) {
        const Instruction* instruction = program->instructionAt(i);
        if (instruction->kind() == INSTR_BYTE_RUN) {
            const size_t offset = instruction->bytes - elf.image.bytes.data();
            EXPECT_FALSE(offset >= elf.relOffset && offset < elf.relOffset + 32) << offset;
        }
    }
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfDisassembler, TableStartingWithAnotherTypeIsCopiedWhole)
{
    ElfImageSpec spec = SampleSpec();
    spec.relocations.push_back({0x150, R_386_32});
    for (uint32_t i = 1; i < 4; ++i)
        spec.relocations.push_back({0x150 + 4 * i, R_386_RELATIVE});
    const ElfImage elf = BuildElfImage(spec);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    auto kinds = CountInstructionKinds(*program);
    EXPECT_EQ(kinds[INSTR_ELF_RELOCS], 0u);
    EXPECT_EQ(kinds[INSTR_ABS32], 3u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfDisassembler, JpAndJnpAreNeverBranchCandidates)
{
    const ElfImage elf = SampleElf();
    DisassemblerElf32X86 parser(elf.image.bytes.data(), elf.image.bytes.size());
    ASSERT_TRUE(parser.ParseHeader()) << parser.failureReason();
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(parser.Disassemble(&program));
    std::vector<uint32_t> rvas;
    for (const auto& typed : parser.rel32Locations())
        rvas.push_back(typed.rva());
    EXPECT_EQ(rvas, std::vector<uint32_t>({0x101, 0x122}));
}

TEST(ElfDisassembler, X64ImageHasNoAbsoluteReferences)
{
    const ElfImage elf = SampleElf(true);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->kind(), ELF_64_X64);
    auto kinds = CountInstructionKinds(*program);
    EXPECT_EQ(kinds[INSTR_ABS32], 0u);
    EXPECT_EQ(kinds[INSTR_ELF_RELOCS], 0u);
    // call, jne and the rip-relative lea.
    EXPECT_EQ(kinds[INSTR_REL32], 3u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfDisassembler, NoBitsSectionAddsNoBytesOfItsOwn)
{
    ElfImage elf = SampleElf();
    // Turn the data section into no-bits: its range now comes out with the
    // next gap, and its pointers are no longer relocation targets.
    const size_t dataHeader = elf.sectionHeaderOffset + 2 * 40;
    elf.image.put32(dataHeader + 4, 8);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_ABS32], 0u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfDisassembler, MachineSelectsTheParser)
{
    ElfImageSpec spec = SampleSpec();
    spec.machine = 40;
    const ElfImage arm = BuildElfImage(spec);
    EXPECT_STREQ(
        HeaderFailure<DisassemblerElf32X86>(arm.image.bytes), "Not a supported architecture");
    FileType type = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(DetectFileType(arm.image.bytes.data(), arm.image.bytes.size(), &type, &length), C_OK);
    EXPECT_EQ(type, ELF_32_ARM);
}

TEST(ElfDisassembler, MalformedHeadersAreRefusedWithTheirReason)
{
    const std::vector<uint8_t> good = SampleElf().image.bytes;
    const std::vector<uint8_t> good64 = SampleElf(true).image.bytes;
    auto failure32 = [](const std::vector<uint8_t>& image) {
        const char* reason = HeaderFailure<DisassemblerElf32X86>(image);
        return std::string(reason != nullptr ? reason : "accepted");
    };
    auto failure64 = [](const std::vector<uint8_t>& image) {
        const char* reason = HeaderFailure<DisassemblerElf64X64>(image);
        return std::string(reason != nullptr ? reason : "accepted");
    };
    auto edit = [](std::vector<uint8_t> image, size_t offset, uint64_t value, int width) {
        for (int i = 0; i < width; ++i)
            image.at(offset + i) = uint8_t(value >> (8 * i));
        return image;
    };
    const uint32_t shoff = SampleElf().sectionHeaderOffset;

    EXPECT_EQ(failure32(std::vector<uint8_t>(good.begin(), good.begin() + 51)), "Too small");
    EXPECT_EQ(failure64(std::vector<uint8_t>(good64.begin(), good64.begin() + 63)), "Too small");
    EXPECT_EQ(failure32(edit(good, 1, 'e', 1)), "No Magic Number");
    EXPECT_EQ(failure32(edit(good, 16, 1, 2)), "Not an executable file or shared library");
    EXPECT_EQ(failure32(edit(good, 16, 2, 2)), "accepted");
    EXPECT_EQ(failure32(edit(good, 18, 62, 2)), "Not a supported architecture");
    EXPECT_EQ(failure32(edit(good, 20, 2, 4)), "Unknown file version");
    EXPECT_EQ(failure32(edit(good, 46, 64, 2)), "Unexpected section header size");
    EXPECT_EQ(
        failure32(edit(good, 32, good.size(), 4)), "Out of bounds section header table offset");
    EXPECT_EQ(failure32(edit(good, 48, 100, 2)), "Out of bounds section header table");
    EXPECT_EQ(
        failure32(edit(good, 28, good.size(), 4)), "Out of bounds program header table offset");
    EXPECT_EQ(failure32(edit(good, 44, 0x4000, 2)), "Out of bounds program header table");
    // .text data past the end of the file.
    EXPECT_EQ(failure32(edit(good, shoff + 40 + 20, 0x100000, 4)), "Section data outside the file");
    EXPECT_EQ(
        failure64(edit(good64, 40, 1ull << 40, 8)), "Out of bounds section header table offset");
    EXPECT_EQ(failure64(edit(good64, 58, 40, 2)), "Unexpected section header size");
    EXPECT_EQ(failure32(good), "accepted");
    EXPECT_EQ(failure64(good64), "accepted");
}

TEST(ElfDisassembler, RelocationSectionWithoutEntrySizeIsHarmless)
{
    ElfImage elf = SampleElf();
    const size_t relHeader = elf.sectionHeaderOffset + 3 * 40;
    elf.image.put32(relHeader + 36, 0);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_ABS32], 0u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfDisassembler, EveryTruncationIsHandled)
{
    CheckEveryPrefix(SampleElf().image.bytes, 1);
    CheckEveryPrefix(SampleElf(true).image.bytes, 1);
    for (const char* name : {"elf32_x86_pie", "elf32_x86_shared.so", "elf64_x64_pie"}) {
        const std::vector<uint8_t> image = Corpus::instance().load(name);
        if (!image.empty())
            CheckEveryPrefix(image);
    }
}

namespace {

struct ElfSection
{
    uint32_t type;
    uint64_t offset;
    uint64_t size;
};

// Section headers of an ELF64 image.
std::vector<ElfSection> ElfSections(const std::vector<uint8_t>& image, uint64_t* tableOffset)
{
    ByteImage bytes;
    bytes.bytes = image;
    *tableOffset = bytes.get32(40) | (uint64_t(bytes.get32(44)) << 32);
    const uint16_t count = static_cast<uint16_t>(image[60] | (image[61] << 8));
    std::vector<ElfSection> sections;
    for (uint16_t i = 0; i < count; ++i) {
        const size_t header = *tableOffset + 64u * i;
        sections.push_back(
            {bytes.get32(header + 4), bytes.get32(header + 24), bytes.get32(header + 32)});
    }
    return sections;
}

// A real x86-64 library of the machine: the zlib that the engine links.
std::vector<uint8_t> RealLibrary()
{
    for (const char* path :
        {"/usr/lib/x86_64-linux-gnu/libz.so.1", "/lib/x86_64-linux-gnu/libz.so.1"}) {
        std::vector<uint8_t> image = ReadWholeFile(path);
        if (!image.empty())
            return image;
    }
    return {};
}

} // namespace

// Sections added to a library after linking leave its section table out of
// file order. The walk follows the table: a section before the position
// moves it back and the bytes after that section come out again, so the
// program (and thus any patch made against it elsewhere) holds those bytes
// twice.
TEST(ElfDisassembler, SectionTableOutOfFileOrderIsWalkedInTableOrder)
{
    std::vector<uint8_t> image = RealLibrary();
    if (image.empty())
        GTEST_SKIP() << "no x86-64 libz.so.1 on this machine";
    uint64_t table = 0;
    const std::vector<ElfSection> sections = ElfSections(image, &table);
    // Two neighbouring program-bits sections with a gap after the first.
    size_t x = 0;
    while (x + 1 < sections.size()
        && !(sections[x].type == 1 && sections[x + 1].type == 1 && sections[x].size > 0
            && sections[x + 1].offset > sections[x].offset + sections[x].size))
        ++x;
    ASSERT_LT(x + 1, sections.size());
    const ElfSection first = sections[x];
    const ElfSection second = sections[x + 1];
    std::swap_ranges(image.begin() + table + 64 * x, image.begin() + table + 64 * (x + 1),
        image.begin() + table + 64 * (x + 1));

    FileType type = UNKNOWN;
    size_t length = 0;
    ASSERT_EQ(DetectFileType(image.data(), image.size(), &type, &length), C_OK);
    ASSERT_EQ(type, ELF_64_X64);
    // Up to the end of the second section; then the first again and on from
    // there to the end, the second section among those bytes once more.
    std::vector<uint8_t> expected(image.begin(), image.begin() + second.offset + second.size);
    expected.insert(expected.end(), image.begin() + first.offset, image.begin() + length);
    const RoundTrip result = RunRoundTrip(image);
    ASSERT_EQ(result.assemble, C_OK);
    EXPECT_EQ(result.bytes, expected);
}

// A table that sends the walk back to the start again and again would copy
// the file over and over; beyond a few times its length the image is refused.
TEST(ElfDisassembler, WalkThatCopiesTheFileManyTimesIsRefused)
{
    const std::vector<uint8_t> library = RealLibrary();
    if (library.empty())
        GTEST_SKIP() << "no x86-64 libz.so.1 on this machine";
    // A new table at the end: 2000 sections, alternately an empty no-bits
    // section at offset 0 and the library's last 16 bytes as program bits.
    ByteImage image;
    image.bytes = library;
    const uint64_t end = library.size();
    const uint64_t table = (end + 7) / 8 * 8;
    image.resize(table + 64 * 2000);
    for (uint32_t i = 0; i < 2000; ++i) {
        const size_t header = table + 64 * i;
        image.put32(header + 4, i % 2 ? 1 : 8);
        image.put64(header + 24, i % 2 ? end - 16 : 0);
        image.put64(header + 32, i % 2 ? 16 : 0);
    }
    image.put64(40, table);
    image.put16(60, 2000);
    image.put16(62, 0);
    Status status = C_OK;
    EXPECT_FALSE(Parse(image.bytes, &status));
    EXPECT_EQ(status, C_DISASSEMBLY_FAILED);
}
