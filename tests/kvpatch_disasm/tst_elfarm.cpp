// ELF ARM images written by the test: the branch scan's edges and the three
// shapes of relocation table.
#include "corpus.h"
#include "detectexecutable.h"
#include "disassembler_elf32arm.h"
#include "imagebuilder.h"
#include "roundtrip.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kvpatch;

namespace {

constexpr uint32_t R_ARM_RELATIVE = 23;
constexpr uint32_t R_ARM_ABS32_SYM = 2 | (1 << 8);
constexpr uint16_t kThumbNop = 0xBF00;

std::vector<uint8_t> Halfwords(const std::vector<uint16_t>& values)
{
    std::vector<uint8_t> bytes;
    for (uint16_t v : values) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    return bytes;
}

// Text of Thumb nops at 0x100; data at 0x110 with four pointers into it.
ElfImageSpec ArmSpec(std::vector<uint8_t> text)
{
    ElfImageSpec spec;
    spec.machine = 40;
    spec.text = std::move(text);
    spec.data.assign(16, 0);
    for (uint32_t i = 0; i < 4; ++i) {
        const uint32_t target = 0x100 + 2 * i;
        std::memcpy(&spec.data[4 * i], &target, 4);
    }
    return spec;
}

std::vector<uint32_t> ScanRvas(const std::vector<uint8_t>& image)
{
    DisassemblerElf32ARM parser(image.data(), image.size());
    EXPECT_TRUE(parser.ParseHeader()) << parser.failureReason();
    DisassembledProgram program(ELF_32_ARM);
    EXPECT_TRUE(parser.Disassemble(&program));
    std::vector<uint32_t> rvas;
    for (const auto& typed : parser.rel32Locations())
        rvas.push_back(typed.rva());
    return rvas;
}

} // namespace

TEST(ElfArmDisassembler, SixteenBitBranchInTheLastTwoBytesIsNotScanned)
{
    // "b ." (E7FE) at 0x10C, the section's last halfword: not scanned.
    const ElfImage last = BuildElfImage(ArmSpec(
        Halfwords({kThumbNop, kThumbNop, kThumbNop, kThumbNop, kThumbNop, kThumbNop, 0xE7FE})));
    EXPECT_TRUE(ScanRvas(last.image.bytes).empty());
    // The same branch with one halfword after it is found.
    const ElfImage inner = BuildElfImage(ArmSpec(
        Halfwords({kThumbNop, kThumbNop, kThumbNop, kThumbNop, kThumbNop, 0xE7FE, kThumbNop})));
    EXPECT_EQ(ScanRvas(inner.image.bytes), std::vector<uint32_t>({0x10A}));
}

TEST(ElfArmDisassembler, MatchingTableBecomesOneMarkFollowedByTheRest)
{
    ElfImageSpec spec = ArmSpec(Halfwords(std::vector<uint16_t>(8, kThumbNop)));
    for (uint32_t i = 0; i < 4; ++i)
        spec.relocations.push_back({0x110 + 4 * i, R_ARM_RELATIVE});
    spec.relocations.push_back({0x200, R_ARM_ABS32_SYM});
    const ElfImage elf = BuildElfImage(spec);
    ASSERT_EQ(elf.dataOffset, 0x110u);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    auto kinds = CountInstructionKinds(*program);
    EXPECT_EQ(kinds[INSTR_ELF_ARM_RELOCS], 1u);
    EXPECT_EQ(kinds[INSTR_ABS32], 4u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfArmDisassembler, LeadingForeignEntriesAreCopiedBeforeTheMark)
{
    ElfImageSpec spec = ArmSpec(Halfwords(std::vector<uint16_t>(8, kThumbNop)));
    spec.relocations.push_back({0x200, R_ARM_ABS32_SYM});
    spec.relocations.push_back({0x204, R_ARM_ABS32_SYM});
    for (uint32_t i = 0; i < 4; ++i)
        spec.relocations.push_back({0x110 + 4 * i, R_ARM_RELATIVE});
    const ElfImage elf = BuildElfImage(spec);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_ELF_ARM_RELOCS], 1u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    EXPECT_TRUE(trip.bytes == elf.image.bytes);
}

TEST(ElfArmDisassembler, MismatchInsideTheTableDropsTheComparedEntries)
{
    // Entries: relative, relative, a symbol relocation, relative. The walk
    // matches the first two, stops at the third, and emits only what
    // follows it: the three compared entries are missing from the program
    // (the patch's final diff restores them). Nothing else differs.
    ElfImageSpec spec = ArmSpec(Halfwords(std::vector<uint16_t>(8, kThumbNop)));
    spec.relocations = {{0x110, R_ARM_RELATIVE}, {0x114, R_ARM_RELATIVE}, {0x118, R_ARM_ABS32_SYM},
        {0x11C, R_ARM_RELATIVE}};
    const ElfImage elf = BuildElfImage(spec);
    const ProgramPtr program = Parse(elf.image.bytes);
    ASSERT_TRUE(program);
    EXPECT_EQ(CountInstructionKinds(*program)[INSTR_ELF_ARM_RELOCS], 0u);
    const RoundTrip trip = RunRoundTrip(elf.image.bytes);
    ASSERT_EQ(trip.assemble, C_OK);
    std::vector<uint8_t> expected = elf.image.bytes;
    expected.erase(expected.begin() + elf.relOffset, expected.begin() + elf.relOffset + 3 * 8);
    EXPECT_TRUE(trip.bytes == expected);
}

TEST(ElfArmDisassembler, EveryTruncationIsHandled)
{
    ElfImageSpec spec = ArmSpec(
        Halfwords({0xD0FE, 0xE7FE, 0xF000, 0xF800, 0xF000, 0x8000, kThumbNop, kThumbNop}));
    for (uint32_t i = 0; i < 4; ++i)
        spec.relocations.push_back({0x110 + 4 * i, R_ARM_RELATIVE});
    CheckEveryPrefix(BuildElfImage(spec).image.bytes, 1);
    for (const char* name : {"elf32_arm_pie", "elf32_thumb_pie"}) {
        const std::vector<uint8_t> image = Corpus::instance().load(name);
        if (!image.empty())
            CheckEveryPrefix(image);
    }
}
