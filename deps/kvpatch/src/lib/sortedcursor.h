// Forward-only cursor over an ascending list of 32-bit values (rvas of
// references), shared by the section walks of the disassemblers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kvpatch {

class SortedCursor
{
public:
    explicit SortedCursor(const std::vector<uint32_t>& values)
        : m_current(values.begin())
        , m_end(values.end())
    {
    }

    // Moves past every value below `value`. A section's walk starts with a
    // binary search instead of stepping over the values of every section
    // before it: with thousands of sections that made the walks quadratic.
    // The position reached is the same either way.
    void SkipBelow(uint32_t value)
    {
        if (!m_started) {
            m_current = std::lower_bound(m_current, m_end, value);
            m_started = true;
            return;
        }
        while (m_current != m_end && *m_current < value)
            ++m_current;
    }

    bool AtEnd() const { return m_current == m_end; }
    // Only valid when !AtEnd().
    uint32_t Value() const { return *m_current; }

private:
    std::vector<uint32_t>::const_iterator m_current;
    std::vector<uint32_t>::const_iterator m_end;
    bool m_started = false;
};

} // namespace kvpatch
