#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "disassembler.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kvpatch;

namespace {

// A parser that accepts anything starting with "KV" and claims the first
// N bytes, to exercise the base class.
class PrefixDisassembler : public Disassembler
{
public:
    PrefixDisassembler(const void* start, size_t length, uint32_t claimed)
        : Disassembler(start, length)
        , m_claimed(claimed)
    {
    }
    bool ParseHeader() override
    {
        if (length() < 2 || start()[0] != 'K' || start()[1] != 'V')
            return SetFailure("no prefix");
        ClampLength(m_claimed);
        return SetSuccess();
    }
    bool Disassemble(DisassembledProgram*) override { return failureReason() == nullptr; }

private:
    uint32_t m_claimed;
};

} // namespace

TEST(Disassembler, StartsUninitialisedAndOnlyShrinks)
{
    const char bytes[] = "KV-image";
    PrefixDisassembler parser(bytes, 8, 4);
    EXPECT_STREQ(parser.failureReason(), "uninitialized");
    EXPECT_EQ(parser.kind(), UNKNOWN);
    EXPECT_EQ(parser.length(), 8u);
    EXPECT_FALSE(parser.Disassemble(nullptr));
    ASSERT_TRUE(parser.ParseHeader());
    EXPECT_EQ(parser.failureReason(), nullptr);
    EXPECT_EQ(parser.length(), 4u);
    // The end stays at the region's end.
    EXPECT_EQ(parser.end(), reinterpret_cast<const uint8_t*>(bytes) + 8);
    EXPECT_EQ(*parser.OffsetToPointer(3), 'i');

    PrefixDisassembler greedy(bytes, 8, 100);
    ASSERT_TRUE(greedy.ParseHeader());
    EXPECT_EQ(greedy.length(), 8u);

    PrefixDisassembler refused("XX", 2, 2);
    EXPECT_FALSE(refused.ParseHeader());
    EXPECT_STREQ(refused.failureReason(), "no prefix");
}

TEST(Detection, EmptyAndTinyRegionsAreNotExecutables)
{
    const std::vector<uint8_t> tiny = {'M', 'Z', 0x7F, 'E', 'L', 'F'};
    for (size_t length : {size_t(0), size_t(1), size_t(2), tiny.size()}) {
        FileType type = WIN_32_X86;
        size_t detected = 99;
        EXPECT_EQ(DetectFileType(tiny.data(), length, &type, &detected), C_INPUT_NOT_RECOGNIZED);
        EXPECT_EQ(type, UNKNOWN);
        EXPECT_EQ(detected, 0u);
        DisassembledProgram* program = reinterpret_cast<DisassembledProgram*>(1);
        EXPECT_EQ(ParseExecutable(tiny.data(), length, &program), C_INPUT_NOT_RECOGNIZED);
        EXPECT_EQ(program, nullptr);
        EXPECT_EQ(FindDisassembler(tiny.data(), length), nullptr);
    }
    DeleteDisassembledProgram(nullptr);
}
