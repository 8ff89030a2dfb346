#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvpatch {

// The x86 instruction forms whose 32-bit operand may be a displacement to a
// place in the image.
enum class X86OperandForm
{
    None,
    // E8/E9 call or jmp, 0F 8x conditional jump (not 0F 8A/8B: jp/jnp are
    // too often false positives in data).
    Near,
    // FF 15/FF 25 and REX.W lea/mov with a rip-relative operand (x86-64 only).
    RipRelative,
};

struct X86Rel32Operand
{
    X86OperandForm form = X86OperandForm::None;
    // Distance of the operand from the instruction's first byte.
    size_t operandOffset = 0;
};

// Recognises a branch or rip-relative operand at the start of `bytes`, of
// which `available` bytes belong to the code being scanned; an instruction
// counts only when it ends inside the code. Inline: scans call it once per
// byte of code.
inline X86Rel32Operand FindX86Rel32Operand(
    const uint8_t* bytes, size_t available, bool withRipRelative)
{
    X86Rel32Operand found;
    if (available == 0)
        return found;
    const uint8_t b0 = bytes[0];
    if ((b0 & 0xFE) == 0xE8 && available >= 5) {
        found.form = X86OperandForm::Near;
        found.operandOffset = 1;
        return found;
    }
    if (b0 == 0x0F && available >= 6) {
        const uint8_t b1 = bytes[1];
        if (b1 >= 0x80 && b1 <= 0x8F && b1 != 0x8A && b1 != 0x8B) {
            found.form = X86OperandForm::Near;
            found.operandOffset = 2;
        }
        return found;
    }
    if (!withRipRelative)
        return found;
    if (b0 == 0xFF && available >= 6 && (bytes[1] == 0x15 || bytes[1] == 0x25)) {
        found.form = X86OperandForm::RipRelative;
        found.operandOffset = 2;
        return found;
    }
    if ((b0 & 0xFE) == 0x48 && available >= 7 && (bytes[1] == 0x8D || bytes[1] == 0x8B)
        && (bytes[2] & 0xC7) == 0x05) {
        found.form = X86OperandForm::RipRelative;
        found.operandOffset = 3;
    }
    return found;
}

// False only when none of the eight bytes at `bytes` can start a candidate
// (E8, E9 or 0F; with rip-relative forms also FF, 48 or 49), so that a scan
// can pass over all eight at once. Each test looks for a zero byte in a whole
// word.
inline bool X86MayStartInEight(const uint8_t* bytes, bool withRipRelative)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    auto hasZeroByte = [](uint64_t v) { return ((v - kOnes) & ~v & kHigh) != 0; };
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    const uint64_t evenBytes = word & (0xFE * kOnes);
    if (hasZeroByte(evenBytes ^ (0xE8 * kOnes)) || hasZeroByte(word ^ (0x0F * kOnes)))
        return true;
    return withRipRelative
        && (hasZeroByte(word ^ (0xFF * kOnes)) || hasZeroByte(evenBytes ^ (0x48 * kOnes)));
}

// What a scan does with a candidate operand.
enum class X86ScanVerdict
{
    Skip, // not a reference: go on at the next byte
    Take, // a reference: go on after its four bytes
    Abort, // stop the scan and report failure
};

// Walks image[begin, end) for candidate operands and asks `judge` about each,
// passing the operand's offset in the image. False when `judge` aborted.
template<typename Judge>
bool ScanX86Rel32Operands(
    const uint8_t* image, uint64_t begin, uint64_t end, bool withRipRelative, Judge judge)
{
    uint64_t p = begin;
    while (p < end) {
        // Most bytes start no candidate; they are passed over without the
        // full recognition, eight at a time where possible.
        if (end - p >= 8 && !X86MayStartInEight(image + p, withRipRelative)) {
            p += 8;
            continue;
        }
        const uint8_t first = image[p];
        if ((first & 0xFE) != 0xE8 && first != 0x0F
            && !(withRipRelative && (first == 0xFF || (first & 0xFE) == 0x48))) {
            ++p;
            continue;
        }
        const X86Rel32Operand candidate = FindX86Rel32Operand(image + p, end - p, withRipRelative);
        if (candidate.form == X86OperandForm::None) {
            ++p;
            continue;
        }
        const uint64_t operand = p + candidate.operandOffset;
        switch (judge(operand)) {
        case X86ScanVerdict::Skip:
            ++p;
            break;
        case X86ScanVerdict::Take:
            p = operand + 4;
            break;
        case X86ScanVerdict::Abort:
            return false;
        }
    }
    return true;
}

} // namespace kvpatch
