// Hands out small objects carved from large blocks and frees them all at
// once: for objects made by the hundred thousand that live exactly as long
// as their owner.
#pragma once

#include <cstdint>
#include <new>

namespace kvpatch {

template<typename T, uint32_t kPerBlock = 4096> class ObjectPool
{
public:
    ObjectPool() = default;
    ~ObjectPool()
    {
        while (m_blocks) {
            Block* next = m_blocks->next;
            delete m_blocks;
            m_blocks = next;
        }
    }
    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;

    // A value-initialised object, or null when memory runs out.
    T* make()
    {
        if (!m_blocks || m_blocks->used == kPerBlock) {
            Block* block = new (std::nothrow) Block;
            if (!block)
                return nullptr;
            block->next = m_blocks;
            m_blocks = block;
        }
        T* item = &m_blocks->items[m_blocks->used++];
        *item = T();
        return item;
    }

private:
    struct Block
    {
        Block* next = nullptr;
        uint32_t used = 0;
        T items[kPerBlock];
    };

    Block* m_blocks = nullptr;
};

} // namespace kvpatch
