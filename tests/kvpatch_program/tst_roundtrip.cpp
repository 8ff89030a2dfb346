// The element path of patch application on synthetic programs: number,
// trim, encode, write, read back and assemble must give the image's bytes.
#include "programbuilder.h"

#include "allocation.h"
#include "armbranch.h"

#include <random>

using namespace kvpatch;
using namespace kvtest;

namespace {

void putU32(Bytes& image, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image[at + i] = uint8_t(value >> (8 * i));
}

Bytes roundTrip(DisassembledProgram& program)
{
    EXPECT_EQ(TrimLabels(&program), C_OK);
    EncodedProgram* encoded = nullptr;
    EXPECT_EQ(Encode(&program, &encoded), C_OK);
    EncodedPtr owned(encoded);
    if (!encoded)
        return {};
    EncodedPtr read = deserialize(serialize(encoded));
    EXPECT_TRUE(read);
    Bytes out;
    if (read) {
        EXPECT_TRUE(assemble(read.get(), &out));
    }
    return out;
}

} // namespace

TEST(RoundTrip, X86ReferencesAndLiteralsReassembleExactly)
{
    std::mt19937 rng(11);
    const uint32_t origin = 0x1000;
    const uint32_t imageBase = 0x08048000;
    Bytes image(64 * 1024);
    for (auto& b : image)
        b = uint8_t(rng());

    DisassembledProgram program(EXE_ELF_32_X86);
    program.setImageBase(imageBase);
    ASSERT_TRUE(program.EmitOriginInstruction(origin));
    size_t at = 0;
    while (at + 4 <= image.size()) {
        const uint32_t choice = rng() % 8;
        const uint32_t target = origin + (rng() % 512) * 16; // shared targets
        if (choice == 0) {
            putU32(image, at, target - (origin + uint32_t(at) + 4));
            ASSERT_TRUE(program.EmitRel32(program.LabelForRel32(target)));
            at += 4;
        } else if (choice == 1) {
            putU32(image, at, target + imageBase);
            ASSERT_TRUE(program.EmitAbs32(program.LabelForAbs32(target)));
            at += 4;
        } else if (choice == 2) {
            ASSERT_TRUE(program.EmitByteInstruction(image[at]));
            at += 1;
        } else {
            const uint32_t length = std::min<uint32_t>(1 + rng() % 40, uint32_t(image.size() - at));
            ASSERT_TRUE(program.EmitBytesInstruction(&image[at], length));
            at += length;
        }
    }
    ASSERT_TRUE(program.EmitBytesInstruction(&image[at], uint32_t(image.size() - at)));
    program.NumberLabels();

    EXPECT_EQ(roundTrip(program), image);
}

TEST(RoundTrip, ArmBranchesSurviveTrimmingOfRareLabels)
{
    std::mt19937 rng(5);
    Bytes image(32 * 1024);
    for (auto& b : image)
        b = uint8_t(rng());

    DisassembledProgram program(ELF_32_ARM);
    ASSERT_TRUE(program.EmitOriginInstruction(0));
    // Frequent targets keep their labels, one-off targets are trimmed back
    // into literal bytes; both must come out as they went in.
    const uint32_t common[] = {0x100, 0x2000, 0x4000};
    size_t at = 0;
    size_t trimmedAway = 0;
    while (at + 4 <= image.size()) {
        if (rng() % 3) {
            const uint32_t length
                = std::min<uint32_t>(4 * (1 + rng() % 8), uint32_t(image.size() - at));
            ASSERT_TRUE(program.EmitBytesInstruction(&image[at], length));
            at += length;
            continue;
        }
        const bool rare = rng() % 4 == 0;
        const uint32_t target = rare ? 0x10000 + uint32_t(at) * 4 : common[rng() % 3];
        trimmedAway += rare;
        const uint32_t kind = rng() % 5;
        const uint32_t rva = uint32_t(at);
        uint32_t templ = 0;
        switch (kind) {
        case THUMB_BCOND8:
            templ = 0xD100;
            break;
        case THUMB_B11:
            templ = 0xE000;
            break;
        case ARM_B24:
            templ = 0xEB000000u;
            break;
        case THUMB2_B25:
            templ = 0xF000D000u;
            break;
        default:
            templ = 0xF0408000u;
            break;
        }
        uint16_t op = 0;
        uint32_t ignored = 0;
        ASSERT_TRUE(ExtractArmTarget(kind, templ, rva, &op, &ignored));
        uint32_t instruction = 0;
        ASSERT_TRUE(BuildArmInstruction(kind, op, target - rva, &instruction));
        const uint16_t size = ArmBranchOperandSize(kind);
        if (size == 2) {
            image[at] = uint8_t(instruction);
            image[at + 1] = uint8_t(instruction >> 8);
        } else if (kind == ARM_B24) {
            putU32(image, at, instruction);
        } else {
            putU32(image, at, (instruction >> 16) | (instruction << 16));
        }
        ASSERT_TRUE(program.EmitRel32ARM(op, program.LabelForRel32(target), &image[at], size));
        at += size;
    }
    ASSERT_TRUE(program.EmitBytesInstruction(&image[at], uint32_t(image.size() - at)));
    program.NumberLabels();
    ASSERT_GT(trimmedAway, 10u);

    EXPECT_EQ(roundTrip(program), image);
    EXPECT_EQ(program.rel32Labels().size(), 3u);
}

namespace {

// Lowers the engine's allocation limit for one scope.
class ScopedAllocationLimit
{
public:
    explicit ScopedAllocationLimit(size_t bytes)
        : m_previous(kvpatch::AllocationLimit())
    {
        SetAllocationLimit(bytes);
    }
    ~ScopedAllocationLimit() { SetAllocationLimit(m_previous); }

private:
    size_t m_previous;
};

} // namespace

TEST(RoundTrip, AllocationFailuresBecomeStatusCodes)
{
    Bytes image(100000, 0x90);
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.EmitOriginInstruction(0));
    for (uint32_t i = 0; i < 1000; ++i)
        ASSERT_TRUE(program.EmitRel32(program.LabelForRel32(i * 8)));
    ASSERT_TRUE(program.EmitBytesInstruction(image.data(), uint32_t(image.size())));
    program.NumberLabels();

    EncodedProgram* encoded = nullptr;
    {
        ScopedAllocationLimit limit(1024);
        EXPECT_EQ(Encode(&program, &encoded), C_GENERAL_ERROR);
        EXPECT_EQ(encoded, nullptr);
    }
    ASSERT_EQ(Encode(&program, &encoded), C_OK);
    EncodedPtr owned(encoded);
    const Bytes serialized = serialize(encoded);
    {
        ScopedAllocationLimit limit(1024);
        Status status = C_OK;
        EXPECT_FALSE(deserialize(serialized, &status));
        EXPECT_EQ(status, C_DESERIALIZATION_FAILED);
    }
    EncodedPtr read = deserialize(serialized);
    ASSERT_TRUE(read);
    {
        ScopedAllocationLimit limit(64 * 1024);
        Bytes out;
        EXPECT_FALSE(assemble(read.get(), &out));
    }
}
