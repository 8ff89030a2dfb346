// How much of a new file repeats aligned blocks of the old one: the look
// that lets the patch maker skip diffing files that share little.
#include "sharedcontent.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using kvpatchmaker::kSharedBlock;
using kvpatchmaker::SharedFraction;

namespace {

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case
{
    const char* name;
    Bytes old;
    Bytes fresh;
    double low;
    double high;
};

TEST(SharedContentTest, FractionOfNewBytesInOldBlocks)
{
    const Bytes base = RandomBytes(4096, 1);
    Bytes zerosChanged(1 << 20, 0);
    for (size_t at = 1000; at < zerosChanged.size(); at += 100000)
        zerosChanged[at] = 7;
    Bytes shortTail = base;
    shortTail.resize(base.size() - kSharedBlock / 2);
    const Case cases[] = {
        {"empty new", base, {}, 1, 1},
        {"both empty", {}, {}, 1, 1},
        {"empty old", {}, base, 0, 0},
        {"new shorter than a block", base, Bytes(base.begin(), base.begin() + 31), 0, 0},
        {"old shorter than a block", Bytes(base.begin(), base.begin() + 31), base, 0, 0},
        {"identical", base, base, 1, 1},
        {"new shifted by five bytes", base, Concat(RandomBytes(5, 2), base), 0.99, 0.999},
        {"unrelated", base, RandomBytes(4096, 3), 0, 0},
        {"old twice over", base, Concat(base, base), 1, 1},
        {"new ends inside a block", base, shortTail, 0.99, 0.999},
        {"zeros with scattered changes", Bytes(1 << 20, 0), zerosChanged, 0.99, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double fraction
            = SharedFraction(c.old.data(), c.old.size(), c.fresh.data(), c.fresh.size());
        EXPECT_GE(fraction, c.low);
        EXPECT_LE(fraction, c.high);
    }
}

} // namespace
