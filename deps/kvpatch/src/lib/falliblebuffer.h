// Growable buffer that never throws: an allocation failure puts it into a
// sticky failed state in which every later append fails.
#pragma once

#include "allocation.h"

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace kvpatch {

// Bytes (uint8_t) grow from 256 bytes up to 2^32 - 2; larger elements grow
// from 64 elements up to 2^30 - 1 (fewer where a 32-bit size_t cannot hold
// that many bytes). The capacity value 2^32 - 1 marks the failed state.
template<typename T> class FallibleBuffer
{
    static_assert(std::is_trivially_copyable<T>::value, "elements are copied bytewise");

public:
    static constexpr uint32_t kFailed = 0xFFFFFFFFu;
    static constexpr bool kBytes = sizeof(T) == 1;
    static constexpr uint32_t kMinCapacity = kBytes ? 256 : 64;
    // Growth saturates here; a byte capacity of 2^32 - 1 would read as the
    // failed marker, so the largest usable one is one less.
    static constexpr uint32_t kCapacityCap = kBytes ? 0xFFFFFFFFu : (1u << 30) - 1;
    static constexpr uint32_t kLargestCapacity = kBytes ? 0xFFFFFFFEu : (1u << 30) - 1;

    FallibleBuffer() = default;
    ~FallibleBuffer() { FreeAllocation(m_data); }
    FallibleBuffer(const FallibleBuffer&) = delete;
    FallibleBuffer& operator=(const FallibleBuffer&) = delete;

    T* data() { return m_data; }
    const T* data() const { return m_data; }
    uint32_t size() const { return m_size; }
    uint32_t capacity() const { return m_capacity; }
    bool failed() const { return m_capacity == kFailed; }
    bool empty() const { return m_size == 0; }
    T& operator[](uint32_t i) { return m_data[i]; }
    const T& operator[](uint32_t i) const { return m_data[i]; }

    // Appends n elements, growing by doubling.
    bool append(const T* items, size_t n)
    {
        if (failed() || n > size_t(kCapacityCap) - m_size)
            return false;
        if (n == 0)
            return true;
        const uint64_t needed = uint64_t(m_size) + n;
        if (m_capacity < needed) {
            uint64_t capacity = m_capacity ? m_capacity : kMinCapacity;
            while (capacity < needed)
                capacity = capacity * 2 > kCapacityCap ? kCapacityCap : capacity * 2;
            if (!adopt(capacity))
                return false;
        }
        std::memcpy(m_data + m_size, items, n * sizeof(T));
        m_size += uint32_t(n);
        return true;
    }

    bool push_back(const T& item) { return append(&item, 1); }

    // Makes room for `needed` elements in total, allocating exactly that many
    // (at least the minimum) so that a large result is allocated once.
    bool reserve(size_t needed)
    {
        if (failed())
            return false;
        if (m_capacity >= needed)
            return true;
        return adopt(needed < kMinCapacity ? kMinCapacity : needed);
    }

    // Marks `n` elements after the used part, already written through data()
    // within the reserved capacity, as used.
    bool grow(size_t n)
    {
        if (failed() || n > size_t(m_capacity) - m_size)
            return false;
        m_size += uint32_t(n);
        return true;
    }

    void swap(FallibleBuffer& other)
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }
    // Drops elements from the end.
    void truncate(uint32_t size)
    {
        if (size < m_size)
            m_size = size;
    }

    // Frees the block. A failed buffer has no block left and stays failed.
    void release()
    {
        if (!m_data)
            return;
        FreeAllocation(m_data);
        m_data = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

private:
    bool adopt(uint64_t capacity)
    {
        // Grown in place where the heap can: a large block is remapped
        // rather than copied into fresh pages.
        T* block = nullptr;
        if (capacity <= kLargestCapacity && capacity <= SIZE_MAX / sizeof(T))
            block = static_cast<T*>(TryReallocate(m_data, size_t(capacity) * sizeof(T)));
        if (!block) {
            fail();
            return false;
        }
        m_data = block;
        m_capacity = uint32_t(capacity);
        return true;
    }

    void fail()
    {
        FreeAllocation(m_data);
        m_data = nullptr;
        m_size = 0;
        m_capacity = kFailed;
    }

    T* m_data = nullptr;
    uint32_t m_size = 0;
    uint32_t m_capacity = 0;
};

} // namespace kvpatch
