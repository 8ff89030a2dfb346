#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvpatch {

// Answers "which is the first of these intervals (in list order) that holds
// x" in logarithmic time. The parsers ask it for every reference they find,
// against header tables of up to 65535 entries that a hostile file may make
// overlap in any way, so a linear walk per question could take hours.
class IntervalIndex
{
public:
    struct Interval
    {
        uint64_t start = 0;
        uint64_t end = 0; // exclusive; empty when end <= start
    };

    static constexpr size_t npos = static_cast<size_t>(-1);

    void build(const std::vector<Interval>& intervals);
    // Position in the built list of the first interval with start <= x < end,
    // or npos.
    size_t firstContaining(uint64_t x) const;
    // As firstContaining, and [*start, *end) is a range around x over which
    // the answer stays the same (set only when the answer is not npos), so
    // that a caller asking about nearby values can skip the search.
    size_t firstContaining(uint64_t x, uint64_t* start, uint64_t* end) const;

private:
    struct Span
    {
        uint64_t start;
        uint64_t end;
        size_t first;
    };
    std::vector<Span> m_spans; // disjoint, ascending
};

} // namespace kvpatch
