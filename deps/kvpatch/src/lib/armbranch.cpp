#include "armbranch.h"

namespace kvpatch {

namespace {

inline uint32_t bit(uint32_t value, unsigned n)
{
    return (value >> n) & 1u;
}

} // namespace

uint16_t ArmBranchOperandSize(uint32_t kind)
{
    switch (kind) {
    case THUMB_BCOND8:
    case THUMB_B11:
        return 2;
    case ARM_B24:
    case THUMB2_B25:
    case THUMB2_BCOND21:
        return 4;
    default:
        return 0;
    }
}

bool ExtractArmTarget(
    uint32_t kind, uint32_t i, uint32_t rva, uint16_t* compressedOp, uint32_t* relativeTarget)
{
    uint32_t target = 0;
    uint32_t op = 0;
    switch (kind) {
    case THUMB_BCOND8: {
        const uint32_t twice = i << 1;
        target = (twice & 0x100u) ? (twice | ~0x1FFu) : (twice & 0x1FEu);
        target += 4;
        op = (i >> 8) | 0x1000u;
        break;
    }
    case THUMB_B11: {
        const uint32_t twice = i << 1;
        target = (twice & 0x800u) ? (twice | ~0xFFFu) : (twice & 0xFFEu);
        target += 4;
        op = (i >> 11) | 0x2000u;
        break;
    }
    case ARM_B24: {
        const uint32_t fourTimes = i << 2;
        target = (fourTimes & 0x2000000u) ? (fourTimes | 0xFC000000u) : (fourTimes & 0x3FFFFFCu);
        target += 8;
        op = (i >> 24) | 0x3000u;
        break;
    }
    case THUMB2_B25: {
        const uint32_t s = bit(i, 26);
        // A BLX from a halfword-aligned address targets the word-aligned PC,
        // so its base is 2 bytes nearer; the op remembers which base was used.
        uint32_t adjust = 4;
        if (bit(i, 14) && !bit(i, 12) && (rva & 3u) != 0)
            adjust = 2;
        uint32_t t = ((i >> 4) & 0x3FF000u) | ((i << 1) & 0xFFEu) | (s << 24)
            | ((bit(i, 13) ^ s) << 23) | ((bit(i, 11) ^ s) << 22);
        t ^= 0xC00000u;
        if (s)
            t += 0xFE000000u;
        target = t + adjust;
        op = (bit(i, 14) << 1) | bit(i, 12) | (bit(i, 15) << 2) | (((i >> 27) & 0x1Fu) << 3)
            | (adjust << 8) | 0x4000u;
        break;
    }
    case THUMB2_BCOND21: {
        const uint32_t s = bit(i, 26);
        uint32_t t = (s << 20) | (((i >> 16) & 0x3Fu) << 12) | ((i << 1) & 0xFFEu)
            | (bit(i, 13) << 19) | (bit(i, 11) << 18);
        if (s)
            t -= 0x200000u;
        target = t + 4;
        op = ((i >> 22) & 15u) | 0x5000u;
        break;
    }
    default:
        return false;
    }
    *compressedOp = static_cast<uint16_t>(op);
    *relativeTarget = target;
    return true;
}

bool BuildArmInstruction(uint32_t kind, uint16_t compressedOp, uint32_t d, uint32_t* instruction)
{
    const uint32_t op = compressedOp;
    uint32_t result = 0;
    switch (kind) {
    case THUMB_BCOND8:
        result = ((op << 8) & 0xFFF00u) | (((d + 508u) >> 1) & 0xFFu);
        break;
    case THUMB_B11:
        result = ((op << 11) & 0x7FF800u) | (((d + 4092u) >> 1) & 0x7FFu);
        break;
    case ARM_B24:
        result = (op << 24) | (((d + 0x3FFFFF8u) >> 2) & 0xFFFFFFu);
        break;
    case THUMB2_B25: {
        const uint32_t e = d - ((op >> 8) & 15u);
        result = ((e >> 1) & 0x7FFu) | ((op >> 3) << 27) | (bit(op, 2) << 15) | (bit(op, 1) << 14)
            | (bit(op, 0) << 12) | ((e << 4) & 0x3FF0000u) | ((e << 2) & 0x4000000u)
            | ((1u ^ (bit(e, 22) ^ bit(e, 24))) << 11) | ((1u ^ (bit(e, 23) ^ bit(e, 24))) << 13);
        break;
    }
    case THUMB2_BCOND21: {
        const uint32_t e = d + 0x1FFFFCu;
        result = 0xF0008000u | ((e << 6) & 0x4000000u) | ((op & 15u) << 22) | ((e >> 7) & 0x800u)
            | ((e >> 6) & 0x2000u) | ((e >> 1) & 0x7FFu) | ((e << 4) & 0x3F0000u);
        break;
    }
    default:
        return false;
    }
    *instruction = result;
    return true;
}

} // namespace kvpatch
