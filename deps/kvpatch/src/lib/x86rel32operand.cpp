#include "x86rel32operand.h"

namespace kvpatch {

X86Rel32Operand FindX86Rel32Operand(const uint8_t* bytes, size_t available, bool withRipRelative)
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

} // namespace kvpatch
