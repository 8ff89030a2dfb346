#include "sharedcontent.h"

#include "allocation.h"

#include <cstring>
#include <memory>

namespace kvpatchmaker {

namespace {

// Polynomial hash of a block, rolled one byte at a time over the new data.
const uint64_t kFactor = 0x100000001b3ull;

uint64_t hashBlock(const uint8_t* block)
{
    uint64_t hash = 0;
    for (size_t i = 0; i < kSharedBlock; ++i)
        hash = hash * kFactor + block[i];
    return hash;
}

struct FreeDeleter
{
    void operator()(void* block) const { kvpatch::FreeAllocation(block); }
};

// Open addressing over the old file's aligned blocks, each stored once (as
// its number plus one; 0 marks a free slot): repeated blocks such as runs of
// zeros would otherwise make long probe chains.
class BlockTable
{
public:
    BlockTable(const uint8_t* old, size_t blocks)
        : m_old(old)
    {
        while (m_bits < 62 && (size_t(1) << m_bits) < 2 * blocks + 2)
            ++m_bits;
        m_slots.reset(static_cast<uint32_t*>(
            kvpatch::TryAllocateArray(size_t(1) << m_bits, sizeof(uint32_t))));
        if (!m_slots)
            return;
        std::memset(m_slots.get(), 0, (size_t(1) << m_bits) * sizeof(uint32_t));
        for (size_t block = 0; block < blocks; ++block) {
            const uint8_t* data = m_old + block * kSharedBlock;
            uint32_t* slot = find(data, hashBlock(data));
            if (*slot == 0)
                *slot = uint32_t(block + 1);
        }
    }

    bool valid() const { return m_slots != nullptr; }

    bool contains(const uint8_t* data, uint64_t hash) const { return *find(data, hash) != 0; }

private:
    // The slot holding a block equal to `data`, or the free slot where it
    // would go.
    uint32_t* find(const uint8_t* data, uint64_t hash) const
    {
        const size_t mask = (size_t(1) << m_bits) - 1;
        size_t index = size_t((hash * 0x9E3779B97F4A7C15ull) >> (64 - m_bits)) & mask;
        while (m_slots[index] != 0
            && std::memcmp(m_old + (m_slots[index] - 1) * size_t(kSharedBlock), data, kSharedBlock)
                != 0)
            index = (index + 1) & mask;
        return &m_slots[index];
    }

    const uint8_t* m_old;
    unsigned m_bits = 1;
    std::unique_ptr<uint32_t[], FreeDeleter> m_slots;
};

} // namespace

double SharedFraction(
    const uint8_t* oldData, size_t oldLength, const uint8_t* newData, size_t newLength)
{
    const size_t blocks = oldLength / kSharedBlock;
    if (newLength < kSharedBlock || blocks == 0)
        return newLength == 0 ? 1 : 0;
    // Block numbers are stored in 32 bits.
    if (blocks >= UINT32_MAX)
        return 1;
    const BlockTable table(oldData, blocks);
    if (!table.valid())
        return 1;

    uint64_t outgoing = 1;
    for (size_t i = 0; i < kSharedBlock; ++i)
        outgoing *= kFactor;
    size_t covered = 0;
    size_t at = 0;
    uint64_t hash = hashBlock(newData);
    for (;;) {
        if (table.contains(newData + at, hash)) {
            covered += kSharedBlock;
            at += kSharedBlock;
            if (at + kSharedBlock > newLength)
                break;
            hash = hashBlock(newData + at);
        } else {
            if (at + kSharedBlock >= newLength)
                break;
            hash = hash * kFactor + newData[at + kSharedBlock] - outgoing * newData[at];
            ++at;
        }
    }
    return double(covered) / double(newLength);
}

} // namespace kvpatchmaker
