#include "labeltable.h"

#include "radixsort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace kvpatch {

namespace {

uint32_t hashOf(uint32_t rva)
{
    // Multiplicative hashing spreads nearby addresses over the table. The
    // slot is taken from the low bits, which of a product alone keep the
    // address's trailing zeros: branch targets are mostly aligned, and
    // would crowd into a sixteenth of the slots. The high bits are folded
    // in.
    const uint32_t product = rva * 2654435761u;
    return product ^ (product >> 16);
}

} // namespace

size_t LabelTable::slotOf(uint32_t rva) const
{
    const size_t mask = m_slots.size() - 1;
    size_t slot = hashOf(rva) & mask;
    while (m_slots[slot].entry != 0 && m_slots[slot].rva != rva)
        slot = (slot + 1) & mask;
    return slot;
}

Label* LabelTable::find(uint32_t rva) const
{
    if (m_slots.empty())
        return nullptr;
    const Slot& slot = m_slots[slotOf(rva)];
    return slot.entry ? m_entries[slot.entry - 1].second : nullptr;
}

void LabelTable::insert(uint32_t rva, Label* label)
{
    // Kept at most half full so that probes stay short.
    if (2 * (m_entries.size() + 1) > m_slots.size()) {
        std::vector<Slot> grown(m_slots.empty() ? 1024 : 2 * m_slots.size());
        m_entries.reserve(grown.size() / 2);
        m_slots.swap(grown);
        rehash();
    } else if (m_entries.capacity() == m_entries.size()) {
        m_entries.reserve(m_slots.size() / 2);
    }
    // Neither can throw now: the table stays whole.
    const bool wasSorted = m_sorted;
    m_sorted = wasSorted && (m_entries.empty() || m_entries.back().first < rva);
    m_entries.emplace_back(rva, label);
    Slot& slot = m_slots[slotOf(rva)];
    slot.rva = rva;
    slot.entry = uint32_t(m_entries.size());
}

void LabelTable::rehash()
{
    if (m_slots.empty())
        return;
    std::memset(m_slots.data(), 0, m_slots.size() * sizeof(Slot));
    for (size_t i = 0; i < m_entries.size(); ++i) {
        Slot& slot = m_slots[slotOf(m_entries[i].first)];
        slot.rva = m_entries[i].first;
        slot.entry = uint32_t(i + 1);
    }
}

const LabelTable::Entry* LabelTable::begin() const
{
    if (!m_sorted) {
        sort();
        // Positions moved: the hash slots follow.
        const_cast<LabelTable*>(this)->rehash();
    }
    return m_entries.data();
}

void LabelTable::sort() const
{
    if (m_sorted)
        return;
    // A comparison sort of a few hundred thousand labels costs more than
    // building them did. Addresses are unique. Without memory for the radix
    // sort, the table is sorted in place.
    if (!RadixSortBy32(
            m_entries.data(), m_entries.size(), [](const Entry& entry) { return entry.first; }))
        std::sort(m_entries.begin(), m_entries.end());
    m_sorted = true;
}

} // namespace kvpatch
