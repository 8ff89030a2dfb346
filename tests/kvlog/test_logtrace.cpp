#include "log.h"
#include "recordingsink.h"

#include <gtest/gtest.h>

namespace {

TEST(LogTraceFrame, MangledFunctionIsDemangled)
{
    EXPECT_EQ(formatLogTraceFrame(3, "/usr/lib/libfoo.so(_ZN3foo3barEi+0x1a) [0x7f0012345678]"),
        "  #30x7f0012345678 in foo::bar(int) from /usr/lib/libfoo.so");
}

TEST(LogTraceFrame, PlainFunctionGetsEllipsis)
{
    EXPECT_EQ(formatLogTraceFrame(0, "./prog(main+0x10) [0x401000]"),
        "  #00x401000 in main(...) from ./prog");
}

TEST(LogTraceFrame, FrameWithoutSymbol)
{
    EXPECT_EQ(
        formatLogTraceFrame(12, "./prog [0x401000]"), " #120x401000 in <unknown> from ./prog ");
    EXPECT_EQ(formatLogTraceFrame(1, "garbage"), "  #1<unknown> in <unknown> from <unknown>");
}

TEST(LogTraceFrame, ParenthesisWithoutOffsetIsNoFunction)
{
    EXPECT_EQ(
        formatLogTraceFrame(2, "./prog(foo) [0x10]"), "  #20x10 in <unknown> from ./prog(foo) ");
}

TEST(LogTrace, PrintsHeaderThenFramesStraightToSinks)
{
    RecordingSink sink;
    printLogTrace();
    ASSERT_GE(sink.records.size(), 2u);
    EXPECT_EQ(sink.records[0].message, "Printing Trace:");
    EXPECT_EQ(sink.records[0].level, LogDevelop);
    EXPECT_LE(sink.records.size(), 16u);
    for (size_t i = 1; i < sink.records.size(); ++i) {
        const auto& r = sink.records[i];
        EXPECT_EQ(r.message, r.line);
        EXPECT_EQ(r.level, LogDevelop);
        EXPECT_TRUE(r.time.empty());
        EXPECT_TRUE(r.channel.empty());
        EXPECT_NE(r.line.find("#" + std::to_string(i - 1)), std::string::npos) << r.line;
        EXPECT_NE(r.line.find(" in "), std::string::npos);
    }
}

TEST(LogTrace, WithoutSinksHasNoVisibleEffect)
{
    printLogTrace();
}

} // namespace
