#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The bytes among the eight at `bytes` that may start a candidate: the high
// bit of each such byte is set in the result, in memory order from the
// lowest byte on little-endian machines. E8 or E9 always may; 0F only before
// 8x, and with rip-relative forms FF only before x5 and 48 or 49 only before
// 89 to 8F (looser than the full recognition, never stricter). The last
// byte's successor lies outside the word, so there the first byte alone
// decides. Each test finds the zero bytes of a whole word exactly (no
// borrow runs from one byte into the next).
inline uint64_t X86CandidateStarts(const uint8_t* bytes, bool withRipRelative)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t kLastByte = 0x80ull << 56;
    auto zeroBytes = [](uint64_t v) { return ~(((v & kLow7) + kLow7) | v | kLow7); };
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    const uint64_t next = word >> 8;
    const uint64_t evenBytes = word & (0xFE * kOnes);
    const uint64_t twoByte = zeroBytes(word ^ (0x0F * kOnes));
    uint64_t starts = zeroBytes(evenBytes ^ (0xE8 * kOnes))
        | (twoByte & (zeroBytes((next & (0xF0 * kOnes)) ^ (0x80 * kOnes)) | kLastByte));
    if (withRipRelative) {
        const uint64_t indirect = zeroBytes(word ^ (0xFF * kOnes));
        const uint64_t rex = zeroBytes(evenBytes ^ (0x48 * kOnes));
        starts |= indirect & (zeroBytes((next & (0xCF * kOnes)) ^ (0x05 * kOnes)) | kLastByte);
        starts |= rex & (zeroBytes((next & (0xF9 * kOnes)) ^ (0x89 * kOnes)) | kLastByte);
    }
    return starts;
}

#if defined(__SSE2__)
// X86CandidateStarts over sixteen bytes at once, one bit per byte (bit i for
// bytes[i]); reads seventeen bytes, so every byte's successor is known.
inline uint32_t X86CandidateStarts16(const uint8_t* bytes, bool withRipRelative)
{
    const __m128i word = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 1));
    auto all = [](int value) { return _mm_set1_epi8(static_cast<char>(value)); };
    auto is = [](__m128i v, __m128i mask, __m128i value) {
        return _mm_cmpeq_epi8(_mm_and_si128(v, mask), value);
    };
    const __m128i evenBytes = _mm_and_si128(word, all(0xFE));
    __m128i starts = _mm_or_si128(_mm_cmpeq_epi8(evenBytes, all(0xE8)),
        _mm_and_si128(_mm_cmpeq_epi8(word, all(0x0F)), is(next, all(0xF0), all(0x80))));
    if (withRipRelative) {
        starts = _mm_or_si128(
            starts, _mm_and_si128(_mm_cmpeq_epi8(word, all(0xFF)), is(next, all(0xCF), all(0x05))));
        starts = _mm_or_si128(starts,
            _mm_and_si128(_mm_cmpeq_epi8(evenBytes, all(0x48)), is(next, all(0xF9), all(0x89))));
    }
    return static_cast<uint32_t>(_mm_movemask_epi8(starts));
}
#endif

// How many of the bytes at `bytes` (`available` of them) certainly start no
// candidate: up to the first that may, or all those one test looked at,
// with `none` set; 0 when too few remain for the tests.
inline uint64_t SkipX86NonCandidates(
    const uint8_t* bytes, uint64_t available, bool withRipRelative, bool* none)
{
    *none = false;
#if defined(__SSE2__)
    if (available >= 17) {
        const uint32_t starts = X86CandidateStarts16(bytes, withRipRelative);
        *none = starts == 0;
        return starts == 0 ? 16 : uint64_t(__builtin_ctz(starts));
    }
#endif
    if (available < 8)
        return 0;
    const uint64_t starts = X86CandidateStarts(bytes, withRipRelative);
    *none = starts == 0;
    if (starts == 0)
        return 8;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return uint64_t(__builtin_ctzll(starts) >> 3);
#else
    return 0;
#endif
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
        // full recognition, many at a time where possible, straight to the
        // next byte that may start one.
        bool none = false;
        p += SkipX86NonCandidates(image + p, end - p, withRipRelative, &none);
        if (none)
            continue;
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
