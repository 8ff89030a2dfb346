#pragma once

#include <cstdint>

namespace kvpatch {

// The five ARM and Thumb branch forms whose displacement is carried as a
// rel32 label. The value is stored in patches (compressed op 0x1000 + kind
// * 0x1000), so the numbering must never change.
enum ArmBranchKind : uint32_t
{
    THUMB_BCOND8 = 0,
    THUMB_B11 = 1,
    ARM_B24 = 2,
    THUMB2_B25 = 3,
    THUMB2_BCOND21 = 4,
};

// Bytes occupied by a branch of KIND in the image (2 or 4); 0 for an
// unknown kind.
uint16_t ArmBranchOperandSize(uint32_t kind);

// Splits the branch INSTRUCTION (16-bit kinds: the halfword; 32-bit Thumb
// kinds: first halfword << 16 | second halfword) found at RVA into the
// displacement from RVA to its target and the compressed op that holds every
// other bit. Returns false, writing nothing, for an unknown KIND.
bool ExtractArmTarget(uint32_t kind, uint32_t instruction, uint32_t rva, uint16_t* compressedOp,
    uint32_t* relativeTarget);

// Rebuilds the instruction of KIND from its compressed op and the
// displacement to its target. A displacement wider than the kind's field is
// cut to the field. Returns false, writing nothing, for an unknown KIND.
bool BuildArmInstruction(
    uint32_t kind, uint16_t compressedOp, uint32_t displacement, uint32_t* instruction);

} // namespace kvpatch
