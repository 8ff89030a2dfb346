#include "allocation.h"
#include "crc32.h"
#include "kvdiff.h"
#include "logline.h"
#include "lzmaio.h"
#include "suffixarray.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace kvpatch {

namespace {

const int64_t kMaxInputSize = int64_t(1) << 31;
// A match this long is taken even when the current alignment nearly keeps
// up with it, which bounds the time spent in long runs of equal data.
const int64_t kLongMatch = 10241;
// A search that finds at least kCarryMatch bytes is carried forward while it
// keeps more than kKeepMatch.
const int64_t kCarryMatch = 1024;
const int64_t kKeepMatch = 512;
// New bytes consumed between two reports to the caller.
const int64_t kReportEvery = int64_t(256) << 10;

struct FreeDeleter
{
    void operator()(void* block) const { FreeAllocation(block); }
};
template<typename T> using Block = std::unique_ptr<T[], FreeDeleter>;

// Null when count * sizeof(T) does not fit in size_t (a 32-bit build with an
// old file of 1 GiB or more) or the heap fails.
template<typename T> Block<T> allocate(size_t count)
{
    return Block<T>(static_cast<T*>(TryAllocateArray(count, sizeof(T))));
}

// Number of equal leading bytes of a and b, eight at a time.
int64_t matchLength(const uint8_t* a, int64_t aLength, const uint8_t* b, int64_t bLength)
{
    const int64_t limit = aLength < bLength ? aLength : bLength;
    int64_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return i + (__builtin_ctzll(x ^ y) >> 3);
#else
            break;
#endif
        }
        i += 8;
    }
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// Asks for the line at `address` without waiting for it. The compiler drops
// its own prefetch builtin inside the search loop, so it is spelled out.
inline void prefetch(const void* address)
{
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}

// The suffix array as the search reads it. Below 16 MiB of old data every
// entry fits three bytes, and the array (the largest structure of a diff)
// is kept packed at three quarters of its size; the order is the same, so
// are the matches.
const int64_t kPackedLimit = int64_t(1) << 24;
const size_t kPackedEntry = 3;

struct WideEntries
{
    const int32_t* entries;
    int64_t operator[](int64_t i) const { return entries[i]; }
    const void* address(int64_t i) const { return entries + i; }
};

struct PackedEntries
{
    // One byte of padding after the last entry lets every entry be read as
    // four bytes.
    const uint8_t* bytes;
    int64_t operator[](int64_t i) const
    {
        const uint8_t* at = bytes + size_t(i) * kPackedEntry;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        uint32_t value;
        std::memcpy(&value, at, sizeof(value));
        return value & 0xFFFFFF;
#else
        return int64_t(at[0]) | int64_t(at[1]) << 8 | int64_t(at[2]) << 16;
#endif
    }
    const void* address(int64_t i) const
    {
        return bytes + size_t(i) * kPackedEntry;
    }
};

// Finds the longest match of `target` among the old data's suffixes by
// binary search over the suffix array (entry 0 is the empty suffix). Each
// comparison starts after the prefix that both bounds share with the target
// (every entry between them shares it too), so that a search inside a long
// run of equal bytes does not compare the run again at every step.
template<typename Entries> class MatchFinder
{
public:
    MatchFinder(const uint8_t* old, int64_t oldSize, Entries suffixes)
        : m_old(old)
        , m_oldSize(oldSize)
        , m_suffixes(suffixes)
    {
    }

    int64_t find(const uint8_t* target, int64_t targetSize, int64_t* position) const
    {
        int64_t st = 0;
        int64_t en = m_oldSize;
        int64_t stLength = 0;
        int64_t enLength = 0;
        bool enKnown = false;
        // The comparison takes a suffix that is a proper prefix of the target
        // (one that runs to the end of the old data) as not smaller, out of
        // its sorted place, and the search can then end beside short matches
        // while it passed a longer one; the longest it passed is kept.
        int64_t passed = 0;
        int64_t passedAt = 0;
        while (en - st >= 2) {
            const int64_t x = st + (en - st) / 2;
            const int64_t skip = stLength < enLength ? stLength : enLength;
            prefetchNext(st, x, en, skip);
            const int64_t start = m_suffixes[x];
            const int64_t limit = m_oldSize - start < targetSize ? m_oldSize - start : targetSize;
            const int64_t length = skip
                + matchLength(m_old + start + skip, limit - skip, target + skip, limit - skip);
            if (length > passed) {
                passed = length;
                passedAt = start;
            }
            if (length < limit && m_old[start + length] < target[length]) {
                st = x;
                stLength = length;
            } else {
                en = x;
                enLength = length;
                enKnown = true;
            }
        }
        const int64_t x = lengthAt(st, target, targetSize);
        const int64_t y = enKnown ? enLength : lengthAt(en, target, targetSize);
        if (passed > x && passed > y) {
            *position = passedAt;
            return passed;
        }
        if (x > y) {
            *position = m_suffixes[st];
            return x;
        }
        *position = m_suffixes[en];
        return y;
    }

private:
    // Each step of the search waits for two loads that miss the cache on a
    // large input: the suffix array entry and the old bytes it points at.
    // Both possible next steps are known before this one compares, so their
    // entries (two steps ahead) and their old bytes (one step ahead) are
    // fetched meanwhile; the search itself is unchanged.
    void prefetchNext(int64_t st, int64_t x, int64_t en, int64_t skip) const
    {
        const int64_t a = st + (x - st) / 2;
        const int64_t b = x + (en - x) / 2;
        if (x - st >= 2) {
            prefetch(m_suffixes.address(st + (a - st) / 2));
            prefetch(m_suffixes.address(a + (x - a) / 2));
            prefetchOld(m_suffixes[a] + skip);
        }
        if (en - x >= 2) {
            prefetch(m_suffixes.address(x + (b - x) / 2));
            prefetch(m_suffixes.address(b + (en - b) / 2));
            prefetchOld(m_suffixes[b] + skip);
        }
    }

    void prefetchOld(int64_t at) const { prefetch(m_old + (at < m_oldSize ? at : 0)); }

    int64_t lengthAt(int64_t entry, const uint8_t* target, int64_t targetSize) const
    {
        if (entry > m_oldSize)
            return 0;
        const int64_t start = m_suffixes[entry];
        return matchLength(m_old + start, m_oldSize - start, target, targetSize);
    }

    const uint8_t* m_old;
    int64_t m_oldSize;
    Entries m_suffixes;
};

// The three sections as they are being produced.
struct DiffBody
{
    SinkStream control;
    Block<uint8_t> diff;
    int64_t diffLength = 0;
    Block<uint8_t> extra;
    int64_t extraLength = 0;
};

template<typename Entries> class DiffBuilder
{
public:
    DiffBuilder(const uint8_t* old, int64_t oldSize, const uint8_t* data, int64_t newSize,
        Entries suffixes, DiffBody* body, const std::function<void(size_t)>& newRead)
        : O(old)
        , m(oldSize)
        , N(data)
        , n(newSize)
        , m_finder(old, oldSize, suffixes)
        , m_body(body)
        , m_newRead(newRead)
    {
    }

    bool build()
    {
        int64_t scan = 0;
        int64_t len = 0;
        int64_t pos = 0;
        // A long match is carried forward byte by byte instead of searched
        // again at every position, which keeps long runs of equal bytes
        // linear; it is carried until it gets short.
        bool carried = false;
        int64_t lastFound = -2;
        while (scan < n) {
            int64_t oldscore = 0;
            int64_t scsc = scan += len;
            for (; scan < n; ++scan) {
                if (carried && scan == lastFound + 1 && len > kKeepMatch) {
                    // The match found one byte back, one byte shorter. It
                    // ended where old and new differ, so it cannot grow.
                    --len;
                    ++pos;
                } else {
                    len = m_finder.find(N + scan, n - scan, &pos);
                    carried = len >= kCarryMatch;
                }
                lastFound = scan;
                for (; scsc < scan + len; ++scsc) {
                    if (scsc + m_lastoffset < m && O[scsc + m_lastoffset] == N[scsc])
                        ++oldscore;
                }
                if ((len == oldscore && len != 0) || len > oldscore + 8
                    || (len >= kLongMatch && len > oldscore))
                    break;
                if (scan + m_lastoffset < m && O[scan + m_lastoffset] == N[scan])
                    --oldscore;
            }
            if ((len != oldscore || scan == n) && !emit(scan, pos))
                return false;
        }
        return true;
    }

private:
    // Extends the previous match forward and this one backward, settles
    // their overlap and writes one triple with its diff and extra bytes.
    bool emit(int64_t scan, int64_t pos)
    {
        int64_t lenf = 0;
        {
            int64_t s = 0;
            int64_t best = 0;
            for (int64_t i = 1; m_lastscan + i <= scan && m_lastpos + i <= m; ++i) {
                if (O[m_lastpos + i - 1] == N[m_lastscan + i - 1])
                    ++s;
                if (2 * s - i > best) {
                    best = 2 * s - i;
                    lenf = i;
                }
            }
        }
        int64_t lenb = 0;
        if (scan < n) {
            int64_t s = 0;
            int64_t best = 0;
            for (int64_t i = 1; scan >= m_lastscan + i && pos >= i; ++i) {
                if (O[pos - i] == N[scan - i])
                    ++s;
                if (2 * s - i > best) {
                    best = 2 * s - i;
                    lenb = i;
                }
            }
        }
        if (m_lastscan + lenf > scan - lenb) {
            const int64_t overlap = (m_lastscan + lenf) - (scan - lenb);
            int64_t s = 0;
            int64_t best = 0;
            int64_t lens = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                if (N[m_lastscan + lenf - overlap + i] == O[m_lastpos + lenf - overlap + i])
                    ++s;
                if (N[scan - lenb + i] == O[pos - lenb + i])
                    --s;
                if (s > best) {
                    best = s;
                    lens = i + 1;
                }
            }
            lenf += lens - overlap;
            lenb -= lens;
        }

        uint8_t* diff = m_body->diff.get() + m_body->diffLength;
        for (int64_t i = 0; i < lenf; ++i)
            diff[i] = uint8_t(N[m_lastscan + i] - O[m_lastpos + i]);
        m_body->diffLength += lenf;
        const int64_t extraLength = (scan - lenb) - (m_lastscan + lenf);
        if (extraLength > 0)
            std::memcpy(m_body->extra.get() + m_body->extraLength, N + m_lastscan + lenf,
                size_t(extraLength));
        m_body->extraLength += extraLength;

        const int64_t seek = (pos - lenb) - (m_lastpos + lenf);
        if (!m_body->control.WriteVarint32Signed(int32_t(lenf))
            || !m_body->control.WriteVarint32Signed(int32_t(extraLength))
            || !m_body->control.WriteVarint32Signed(int32_t(seek)))
            return false;

        m_lastscan = scan - lenb;
        m_lastpos = pos - lenb;
        m_lastoffset = pos - scan;
        // Nothing before the last triple's end is read again.
        if (m_newRead && m_lastscan - m_reported >= kReportEvery) {
            m_reported = m_lastscan;
            m_newRead(size_t(m_lastscan));
        }
        return true;
    }

    const uint8_t* O;
    const int64_t m;
    const uint8_t* N;
    const int64_t n;
    MatchFinder<Entries> m_finder;
    DiffBody* m_body;
    const std::function<void(size_t)>& m_newRead;
    int64_t m_reported = 0;
    int64_t m_lastscan = 0;
    int64_t m_lastpos = 0;
    int64_t m_lastoffset = 0;
};

bool writeRawBody(DiffBody* body, SinkStream* out)
{
    return out->WriteSizeVarint32(body->control.Length())
        && out->WriteSizeVarint32(size_t(body->diffLength))
        && out->WriteSizeVarint32(size_t(body->extraLength))
        && out->Write(body->control.Buffer(), body->control.Length())
        && out->Write(body->diff.get(), size_t(body->diffLength))
        && out->Write(body->extra.get(), size_t(body->extraLength));
}

bool writeBody(uint8_t method, DiffBody* body, SinkStream* out)
{
    switch (method) {
    case DiffThreeBlocks: {
        SourceStream control;
        control.Init(body->control);
        return Lzma2EncodeStream(&control, out)
            && Lzma2EncodeBuffer(body->diff.get(), size_t(body->diffLength), out)
            && Lzma2EncodeBuffer(body->extra.get(), size_t(body->extraLength), out);
    }
    case DiffOneBlock: {
        SinkStream raw;
        return writeRawBody(body, &raw) && Lzma2EncodeBuffer(raw.Buffer(), raw.Length(), out);
    }
    default:
        return writeRawBody(body, out);
    }
}

// The suffix array of the old data, entry 0 being the empty suffix (which
// sorts first). It is built four bytes an entry, as the sorting needs, and
// then packed in place to three where the entries fit, the tail given back.
class SuffixIndex
{
public:
    bool build(const uint8_t* old, int64_t oldSize)
    {
        const size_t entries = size_t(oldSize) + 1;
        Block<int32_t> wide = allocate<int32_t>(entries);
        if (!wide)
            return false;
        wide[0] = int32_t(oldSize);
        // An empty old input may come without any bytes to point at.
        if (oldSize > 0 && BuildSuffixArray(old, wide.get() + 1, int32_t(oldSize)) != 0)
            return false;
        m_packed = oldSize < kPackedLimit;
        if (!m_packed) {
            m_block.reset(reinterpret_cast<uint8_t*>(wide.release()));
            return true;
        }
        // Entry i moves from byte 4i down to byte 3i: it is read before its
        // bytes or any later entry's are written over.
        uint8_t* bytes = reinterpret_cast<uint8_t*>(wide.release());
        m_block.reset(bytes);
        for (size_t i = 0; i < entries; ++i) {
            uint32_t value;
            std::memcpy(&value, bytes + i * sizeof(int32_t), sizeof(value));
            uint8_t* at = bytes + i * kPackedEntry;
            at[0] = uint8_t(value);
            at[1] = uint8_t(value >> 8);
            at[2] = uint8_t(value >> 16);
        }
        const size_t packedSize = entries * kPackedEntry + 1;
        bytes[packedSize - 1] = 0;
        // Shrinking hands the last quarter back; should it fail, the block
        // stays as it was, which serves as well.
        if (void* shrunk = TryReallocate(bytes, packedSize)) {
            m_block.release();
            m_block.reset(static_cast<uint8_t*>(shrunk));
        }
        return true;
    }

    bool packed() const { return m_packed; }
    const uint8_t* bytes() const { return m_block.get(); }
    const int32_t* wide() const { return reinterpret_cast<const int32_t*>(m_block.get()); }
    void reset() { m_block.reset(); }

private:
    Block<uint8_t> m_block;
    bool m_packed = false;
};

} // namespace

bool GenerateDiff(SourceStream* oldData, SourceStream* newData, SinkStream* diff, bool header,
    uint8_t method, const DiffWriterHooks& hooks)
{
    const uint8_t* old = oldData->Buffer();
    const int64_t oldSize = int64_t(oldData->Remaining());
    const uint8_t* data = newData->Buffer();
    const int64_t newSize = int64_t(newData->Remaining());
    if (oldSize >= kMaxInputSize) {
        KVLOG(LogError) << " old stream too large";
        return false;
    }
    if (newSize >= kMaxInputSize) {
        KVLOG(LogError) << " new stream too large";
        return false;
    }
    if (!oldData->Skip(size_t(oldSize))) {
        KVLOG(LogError) << "error in old_stream size";
        return false;
    }
    if (!newData->Skip(size_t(newSize))) {
        KVLOG(LogError) << "error in new_stream size";
        return false;
    }
    if (method > DiffOneBlock) {
        KVLOG(LogError) << "Invalid compression method";
        return false;
    }

    SuffixIndex index;
    if (!index.build(old, oldSize) || (hooks.indexed && !hooks.indexed()))
        return false;
    const std::function<void(size_t)>& newRead = hooks.newRead;
    DiffBody body;
    body.diff = allocate<uint8_t>(size_t(newSize) + 1);
    body.extra = allocate<uint8_t>(size_t(newSize) + 1);
    if (!body.diff || !body.extra)
        return false;
    const bool built = index.packed()
        ? DiffBuilder<PackedEntries>(old, oldSize, data, newSize, {index.bytes()}, &body, newRead)
              .build()
        : DiffBuilder<WideEntries>(old, oldSize, data, newSize, {index.wide()}, &body, newRead)
              .build();
    if (!built)
        return false;
    index.reset();

    if (header
        && (!diff->Write(kDiffMagic, sizeof(kDiffMagic))
            || !diff->WriteVarint32(ComputeCrc32(data, size_t(newSize)))))
        return false;
    return diff->Write(&method, 1) && diff->WriteSizeVarint32(size_t(newSize))
        && writeBody(method, &body, diff);
}

} // namespace kvpatch
