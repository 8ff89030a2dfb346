// The x86 operand scan passes over bytes that start no candidate in whole
// words; it must see exactly the candidates that a byte-by-byte walk sees.
#include "x86rel32operand.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace kvpatch;

namespace {

// Operand offsets a byte-by-byte walk finds, taking every third candidate.
std::vector<uint64_t> walk(const std::vector<uint8_t>& code, uint64_t begin, bool rip)
{
    std::vector<uint64_t> found;
    int seen = 0;
    uint64_t p = begin;
    while (p < code.size()) {
        const X86Rel32Operand candidate = FindX86Rel32Operand(&code[p], code.size() - p, rip);
        if (candidate.form == X86OperandForm::None) {
            ++p;
            continue;
        }
        const uint64_t operand = p + candidate.operandOffset;
        found.push_back(operand);
        p = ++seen % 3 == 0 ? operand + 4 : p + 1;
    }
    return found;
}

std::vector<uint64_t> scan(const std::vector<uint8_t>& code, uint64_t begin, bool rip)
{
    std::vector<uint64_t> found;
    int seen = 0;
    EXPECT_TRUE(ScanX86Rel32Operands(code.data(), begin, code.size(), rip, [&](uint64_t operand) {
        found.push_back(operand);
        return ++seen % 3 == 0 ? X86ScanVerdict::Take : X86ScanVerdict::Skip;
    }));
    return found;
}

} // namespace

TEST(X86Scan, SeesTheCandidatesOfAByteByByteWalk)
{
    // Bytes drawn mostly from those that start or continue candidates.
    const uint8_t common[] = {0xE8, 0xE9, 0x0F, 0x80, 0x85, 0x8A, 0xFF, 0x15, 0x25, 0x48, 0x49,
        0x8D, 0x8B, 0x05, 0x00, 0x90, 0xC3, 0xE7, 0xEA, 0x4A, 0x0E, 0x10};
    std::mt19937 random(3);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> code(1 + random() % 300);
        for (uint8_t& b : code)
            b = random() % 4 ? common[random() % sizeof(common)] : uint8_t(random());
        const uint64_t begin = random() % code.size();
        for (bool rip : {false, true})
            EXPECT_EQ(scan(code, begin, rip), walk(code, begin, rip)) << round << " " << rip;
    }
}
