// The labels of one kind of a disassembled program, by address: found by
// hashing while the disassembler creates them (one lookup per reference),
// walked in address order afterwards. A balanced tree did both at once and
// took a sixth of an application's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kvpatch {

struct Label;

class LabelTable
{
public:
    using Entry = std::pair<uint32_t, Label*>;

    // The label at rva, or null.
    Label* find(uint32_t rva) const;
    // Adds a label for an address that has none. May throw std::bad_alloc;
    // the table is then as it was.
    void insert(uint32_t rva, Label* label);
    // Drops the labels for which `drop` is true.
    template<typename Predicate> void removeIf(Predicate drop)
    {
        sort();
        size_t kept = 0;
        for (const Entry& entry : m_entries) {
            if (!drop(entry.second))
                m_entries[kept++] = entry;
        }
        m_entries.resize(kept);
        rehash();
    }

    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    // In address order.
    const Entry* begin() const;
    const Entry* end() const { return begin() + m_entries.size(); }
    const Entry& operator[](size_t i) const { return begin()[i]; }

private:
    struct Slot
    {
        uint32_t rva;
        uint32_t entry; // position in m_entries + 1; 0 is an empty slot
    };

    size_t slotOf(uint32_t rva) const;
    void rehash();
    void sort() const;

    // Insertion order until the first ordered walk sorts them.
    mutable std::vector<Entry> m_entries;
    mutable bool m_sorted = true;
    std::vector<Slot> m_slots;
};

} // namespace kvpatch
