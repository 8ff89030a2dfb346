#include "intervalindex.h"

#include <algorithm>
#include <set>

namespace kvpatch {

void IntervalIndex::build(const std::vector<Interval>& intervals)
{
    // Sweep over the interval ends; between two consecutive boundaries the
    // set of covering intervals is constant, and its smallest position is
    // the answer for that span.
    struct Event
    {
        uint64_t at;
        bool opens;
        size_t position;
    };
    std::vector<Event> events;
    events.reserve(2 * intervals.size());
    for (size_t i = 0; i < intervals.size(); ++i) {
        if (intervals[i].end <= intervals[i].start)
            continue;
        events.push_back({intervals[i].start, true, i});
        events.push_back({intervals[i].end, false, i});
    }
    std::sort(
        events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });

    m_spans.clear();
    std::set<size_t> open;
    for (size_t e = 0; e < events.size();) {
        const uint64_t at = events[e].at;
        for (; e < events.size() && events[e].at == at; ++e) {
            if (events[e].opens)
                open.insert(events[e].position);
            else
                open.erase(events[e].position);
        }
        if (open.empty() || e == events.size())
            continue;
        const size_t first = *open.begin();
        const uint64_t next = events[e].at;
        if (!m_spans.empty() && m_spans.back().end == at && m_spans.back().first == first)
            m_spans.back().end = next;
        else
            m_spans.push_back({at, next, first});
    }
}

size_t IntervalIndex::firstContaining(uint64_t x) const
{
    uint64_t start = 0;
    uint64_t end = 0;
    return firstContaining(x, &start, &end);
}

size_t IntervalIndex::firstContaining(uint64_t x, uint64_t* start, uint64_t* end) const
{
    auto after = std::upper_bound(m_spans.begin(), m_spans.end(), x,
        [](uint64_t value, const Span& span) { return value < span.start; });
    if (after == m_spans.begin())
        return npos;
    const Span& span = *(after - 1);
    if (x >= span.end)
        return npos;
    *start = span.start;
    *end = span.end;
    return span.first;
}

} // namespace kvpatch
