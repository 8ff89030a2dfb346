#include "armbranch.h"

#include <gtest/gtest.h>

#include <random>

using namespace kvpatch;

namespace {

struct Branch
{
    uint32_t kind;
    uint32_t instruction;
    uint32_t rva;
};

// The bits of the instruction that the image holds: the 16-bit kinds keep
// only their halfword.
uint32_t imageBits(uint32_t kind, uint32_t value)
{
    return ArmBranchOperandSize(kind) == 2 ? (value & 0xFFFFu) : value;
}

void expectRoundTrip(const Branch& b)
{
    uint16_t op = 0;
    uint32_t target = 0;
    ASSERT_TRUE(ExtractArmTarget(b.kind, b.instruction, b.rva, &op, &target));
    EXPECT_EQ(op & 0xF000u, 0x1000u + b.kind * 0x1000u);
    uint32_t rebuilt = 0;
    ASSERT_TRUE(BuildArmInstruction(b.kind, op, target, &rebuilt));
    EXPECT_EQ(imageBits(b.kind, rebuilt), b.instruction)
        << "kind " << b.kind << " instruction " << std::hex << b.instruction << " rva " << b.rva;
}

// Random but well-formed branches of every kind, as a disassembler would
// find them.
Branch randomBranch(std::mt19937& rng, uint32_t kind)
{
    auto bits = [&rng](unsigned n) { return static_cast<uint32_t>(rng()) & ((1u << n) - 1u); };
    const uint32_t rva = bits(20) & ~1u;
    switch (kind) {
    case THUMB_BCOND8:
        return {kind, 0xD000u | (bits(4) % 14u) << 8 | bits(8), rva};
    case THUMB_B11:
        return {kind, 0xE000u | bits(11), rva};
    case ARM_B24:
        return {kind, (bits(4) % 15u) << 28 | (0xAu + bits(1)) << 24 | bits(24), rva & ~3u};
    case THUMB2_B25: {
        // B.W (bit 12), BL (bits 14 and 12) and BLX (bit 14 alone).
        static const uint32_t forms[] = {0x9000u, 0xD000u, 0xC000u};
        const uint32_t form = forms[rng() % 3];
        uint32_t low = bits(11);
        if (form == 0xC000u)
            low &= ~1u; // BLX targets are word-aligned
        const uint32_t first = 0xF000u | bits(1) << 10 | bits(10);
        const uint32_t second = form | bits(1) << 13 | bits(1) << 11 | low;
        return {kind, first << 16 | second, rva};
    }
    default: {
        const uint32_t first = 0xF000u | bits(1) << 10 | (bits(4) % 14u) << 6 | bits(6);
        const uint32_t second = 0x8000u | bits(1) << 13 | bits(1) << 11 | bits(11);
        return {kind, first << 16 | second, rva};
    }
    }
}

} // namespace

TEST(ArmBranch, EveryKindRoundTripsThroughItsCompressedOp)
{
    std::mt19937 rng(7);
    for (uint32_t kind = THUMB_BCOND8; kind <= THUMB2_BCOND21; ++kind) {
        for (int n = 0; n < 5000; ++n)
            expectRoundTrip(randomBranch(rng, kind));
    }
}

TEST(ArmBranch, ExtremeDisplacementsRoundTrip)
{
    expectRoundTrip({THUMB_BCOND8, 0xD07Fu, 0x100});
    expectRoundTrip({THUMB_BCOND8, 0xD080u, 0x100});
    expectRoundTrip({THUMB_B11, 0xE3FFu, 0x100});
    expectRoundTrip({THUMB_B11, 0xE400u, 0x100});
    expectRoundTrip({ARM_B24, 0xEB7FFFFFu, 0x1000});
    expectRoundTrip({ARM_B24, 0xEA800000u, 0x1000});
    expectRoundTrip({THUMB2_B25, 0xF3FFD7FFu, 0x1000});
    expectRoundTrip({THUMB2_B25, 0xF400D000u, 0x1000});
    expectRoundTrip({THUMB2_BCOND21, 0xF43FAFFFu, 0x1000});
    expectRoundTrip({THUMB2_BCOND21, 0xF0008000u, 0x1000});
}

TEST(ArmBranch, ThumbConditionalFieldIsSignExtended)
{
    uint16_t op = 0;
    uint32_t target = 0;
    ASSERT_TRUE(ExtractArmTarget(THUMB_BCOND8, 0xD080u, 0x40, &op, &target));
    EXPECT_EQ(static_cast<int32_t>(target), -252);
    EXPECT_EQ(op, 0x10D0u);
}

TEST(ArmBranch, KnownBranchesDecodeToTheirTargets)
{
    uint16_t op = 0;
    uint32_t target = 0;
    // BL with a zero field branches to its own address plus 8.
    ASSERT_TRUE(ExtractArmTarget(ARM_B24, 0xEB000000u, 0x8000, &op, &target));
    EXPECT_EQ(target, 8u);
    EXPECT_EQ(op, 0x30EBu);
    // B with field -2 branches to itself.
    ASSERT_TRUE(ExtractArmTarget(ARM_B24, 0xEAFFFFFEu, 0x8000, &op, &target));
    EXPECT_EQ(target, 0u);
    // Thumb-2 BL to +0x1000: imm11 0x800, imm10 1.
    ASSERT_TRUE(ExtractArmTarget(THUMB2_B25, 0xF001F800u, 0x8000, &op, &target));
    EXPECT_EQ(target, 0x1004u);
}

TEST(ArmBranch, BlxFromHalfwordAlignedAddressUsesTheShorterBase)
{
    const uint32_t blx = 0xF000E800u; // BLX, bit 14 set and bit 12 clear
    uint16_t alignedOp = 0, unalignedOp = 0;
    uint32_t alignedTarget = 0, unalignedTarget = 0;
    ASSERT_TRUE(ExtractArmTarget(THUMB2_B25, blx, 0x1000, &alignedOp, &alignedTarget));
    ASSERT_TRUE(ExtractArmTarget(THUMB2_B25, blx, 0x1002, &unalignedOp, &unalignedTarget));
    EXPECT_EQ((alignedOp >> 8) & 15u, 4u);
    EXPECT_EQ((unalignedOp >> 8) & 15u, 2u);
    EXPECT_EQ(alignedTarget - unalignedTarget, 2u);

    uint32_t rebuilt = 0;
    ASSERT_TRUE(BuildArmInstruction(THUMB2_B25, unalignedOp, unalignedTarget, &rebuilt));
    EXPECT_EQ(rebuilt, blx);
}

TEST(ArmBranch, DisplacementIsCutToTheField)
{
    uint32_t instruction = 0;
    ASSERT_TRUE(BuildArmInstruction(THUMB_BCOND8, 0x10D0u, 0x10000u + 4u, &instruction));
    EXPECT_EQ(instruction & 0xFFu, 0u);
}

TEST(ArmBranch, UnknownKindFailsWithoutWriting)
{
    uint16_t op = 0xABCD;
    uint32_t target = 0x12345678u;
    EXPECT_FALSE(ExtractArmTarget(5, 0xD000u, 0, &op, &target));
    EXPECT_EQ(op, 0xABCDu);
    EXPECT_EQ(target, 0x12345678u);
    uint32_t instruction = 0x87654321u;
    EXPECT_FALSE(BuildArmInstruction(5, 0x6000u, 0, &instruction));
    EXPECT_EQ(instruction, 0x87654321u);
    EXPECT_EQ(ArmBranchOperandSize(5), 0u);
}
