#pragma once

#include <cstddef>
#include <cstdint>

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
// counts only when it ends inside the code.
X86Rel32Operand FindX86Rel32Operand(const uint8_t* bytes, size_t available, bool withRipRelative);

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
