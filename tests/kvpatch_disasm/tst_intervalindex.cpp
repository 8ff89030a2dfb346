// The header-table lookup: first interval in list order, whatever the
// overlaps.
#include "intervalindex.h"

#include <gtest/gtest.h>

using kvpatch::IntervalIndex;

namespace {

// The answer by definition: walk the list.
size_t FirstByWalking(const std::vector<IntervalIndex::Interval>& list, uint64_t x)
{
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].start <= x && x < list[i].end)
            return i;
    }
    return IntervalIndex::npos;
}

} // namespace

TEST(IntervalIndex, EmptyListHoldsNothing)
{
    IntervalIndex index;
    index.build({});
    EXPECT_EQ(index.firstContaining(0), IntervalIndex::npos);
    EXPECT_EQ(index.firstContaining(UINT64_MAX), IntervalIndex::npos);
}

TEST(IntervalIndex, EarlierIntervalWinsWhereTheyOverlap)
{
    IntervalIndex index;
    index.build({{100, 200}, {50, 150}, {150, 300}, {10, 10}, {400, 500}});
    EXPECT_EQ(index.firstContaining(49), IntervalIndex::npos);
    EXPECT_EQ(index.firstContaining(50), 1u);
    EXPECT_EQ(index.firstContaining(100), 0u);
    EXPECT_EQ(index.firstContaining(199), 0u);
    EXPECT_EQ(index.firstContaining(200), 2u);
    EXPECT_EQ(index.firstContaining(300), IntervalIndex::npos);
    EXPECT_EQ(index.firstContaining(10), IntervalIndex::npos); // empty interval
    EXPECT_EQ(index.firstContaining(499), 4u);
}

TEST(IntervalIndex, AgreesWithAWalkOnPseudoRandomTables)
{
    uint32_t state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % 1000;
    };
    for (int round = 0; round < 50; ++round) {
        std::vector<IntervalIndex::Interval> list;
        for (int i = 0; i < 20; ++i) {
            const uint64_t start = next();
            list.push_back({start, start + next() % 200});
        }
        IntervalIndex index;
        index.build(list);
        for (uint64_t x = 0; x < 1300; ++x)
            ASSERT_EQ(index.firstContaining(x), FirstByWalking(list, x)) << "x=" << x;
    }
}
