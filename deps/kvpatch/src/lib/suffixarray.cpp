#include "suffixarray.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kvpatch {

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kBadArgument = -1;
constexpr int32_t kNoMemory = -2;

// The two per-symbol tables of induced sorting for a text with alphabet k:
// symbol counts and the moving bucket heads. Each takes the caller's free space
// after SA where there is room, else the heap; counts go there only for
// alphabets above 256, as the recursion reuses that space and they must then
// be taken again. The two are never shared: recounting a large alphabet before
// every pass would cost more than the recursion itself.
template<typename Sym> class Buckets
{
public:
    Buckets(const Sym* text, int32_t n, int32_t k)
        : m_text(text)
        , m_n(n)
        , m_k(k)
    {
    }
    ~Buckets()
    {
        std::free(m_ownedCounts);
        std::free(m_ownedHeads);
    }
    Buckets(const Buckets&) = delete;
    Buckets& operator=(const Buckets&) = delete;

    // Lays the tables out and counts the symbols; false when the heap fails.
    bool place(int32_t* freeSpace, int32_t fs)
    {
        if (m_k > 256 && fs >= m_k) {
            m_counts = freeSpace;
            m_countsInFreeSpace = true;
            freeSpace += m_k;
            fs -= m_k;
        } else {
            m_counts = m_ownedCounts = allocate(m_k);
        }
        m_heads = fs >= m_k ? freeSpace : (m_ownedHeads = allocate(m_k));
        if (m_counts == nullptr || m_heads == nullptr) {
            return false;
        }
        count();
        return true;
    }

    // The recursion reuses the free space; counts kept there are taken again.
    void recoverAfterRecursion()
    {
        if (m_countsInFreeSpace) {
            count();
        }
    }

    void toStarts()
    {
        int32_t sum = 0;
        for (int32_t c = 0; c < m_k; ++c) {
            const int32_t size = m_counts[c];
            m_heads[c] = sum;
            sum += size;
        }
    }

    void toEnds()
    {
        int32_t sum = 0;
        for (int32_t c = 0; c < m_k; ++c) {
            sum += m_counts[c];
            m_heads[c] = sum;
        }
    }

    // The next free slot at the start (left-to-right pass) or the end
    // (right-to-left pass) of the bucket of symbol c, taken.
    int32_t takeStart(int32_t c) { return m_heads[c]++; }
    int32_t takeEnd(int32_t c) { return --m_heads[c]; }
    // The slot the next take for symbol c will be near, for prefetching.
    int32_t peek(int32_t c) const { return m_heads[c]; }

private:
    static int32_t* allocate(int32_t k)
    {
        // A 32-bit size_t cannot hold the size of a table of 2^30 symbols.
        if (size_t(k) > SIZE_MAX / sizeof(int32_t))
            return nullptr;
        return static_cast<int32_t*>(std::malloc(sizeof(int32_t) * size_t(k)));
    }

    void count()
    {
        std::memset(m_counts, 0, sizeof(int32_t) * size_t(m_k));
        for (int32_t i = 0; i < m_n; ++i) {
            ++m_counts[m_text[i]];
        }
    }

    const Sym* m_text;
    int32_t m_n;
    int32_t m_k;
    int32_t* m_counts = nullptr;
    int32_t* m_heads = nullptr;
    int32_t* m_ownedCounts = nullptr;
    int32_t* m_ownedHeads = nullptr;
    bool m_countsInFreeSpace = false;
};

// The symbols of a reduced string are named after their groups of equal LMS
// substrings: twice the rank at which the group starts among the sorted LMS
// substrings, plus one when the group has a single member. They compare like
// the substrings, and the bucket of a symbol starts at its group's rank, so a
// single-member bucket is one known slot and needs no head: with nearly every
// name unique (the common case) the passes mostly skip the scattered table.
inline int32_t groupRank(int32_t symbol)
{
    return symbol >> 1;
}

inline bool isSingleGroup(int32_t symbol)
{
    return (symbol & 1) != 0;
}

inline int32_t groupSymbol(int32_t rank, bool single)
{
    return rank * 2 + (single ? 1 : 0);
}

// Bucket heads for a reduced string of n symbols, kept in one table of n
// entries indexed by group rank: for a group of two or more, the entry at its
// rank is the moving head and the next entry holds minus the group's size; a
// single-member group's entry holds kSingle.
constexpr int32_t kSingle = INT32_MIN;

class GroupBuckets
{
public:
    GroupBuckets(int32_t* table, int32_t n)
        : m_table(table)
        , m_n(n)
    {
    }

    // The table lies outside the space the recursion may use.
    void recoverAfterRecursion() { }

    void toStarts()
    {
        for (int32_t rank = 0; rank < m_n;) {
            if (m_table[rank] == kSingle) {
                ++rank;
            } else {
                const int32_t size = -m_table[rank + 1];
                m_table[rank] = rank;
                rank += size;
            }
        }
    }

    void toEnds()
    {
        for (int32_t rank = 0; rank < m_n;) {
            if (m_table[rank] == kSingle) {
                ++rank;
            } else {
                const int32_t size = -m_table[rank + 1];
                m_table[rank] = rank + size;
                rank += size;
            }
        }
    }

    int32_t takeStart(int32_t c)
    {
        return isSingleGroup(c) ? groupRank(c) : m_table[groupRank(c)]++;
    }
    int32_t takeEnd(int32_t c) { return isSingleGroup(c) ? groupRank(c) : --m_table[groupRank(c)]; }
    int32_t peek(int32_t c) const
    {
        return isSingleGroup(c) ? groupRank(c) : m_table[groupRank(c)];
    }

private:
    int32_t* m_table;
    int32_t m_n;
};

// Symbol as an index: bytes compare unsigned, integer symbols are in [0, k).
template<typename Sym> inline int32_t sym(const Sym* text, int32_t i)
{
    return int32_t(text[i]);
}

// Puts every LMS position (an S-type position whose left neighbour is L-type)
// at the end of its bucket and returns how many there are. Position n - 1 is
// always L-type because the implicit sentinel after it is smallest.
template<typename Sym, typename Table>
int32_t placeLmsPositions(const Sym* T, int32_t* SA, int32_t n, Table& table)
{
    table.toEnds();
    int32_t count = 0;
    bool rightIsS = false;
    int32_t right = sym(T, n - 1);
    for (int32_t i = n - 2; i >= 0; --i) {
        const int32_t c = sym(T, i);
        const bool isS = c < right || (c == right && rightIsS);
        if (rightIsS && !isS) {
            SA[table.takeEnd(right)] = i + 1;
            ++count;
        }
        rightIsS = isS;
        right = c;
    }
    return count;
}

// Writes the LMS positions in text order to out and returns their number.
template<typename Sym> int32_t collectLmsPositions(const Sym* T, int32_t n, int32_t* out, int32_t m)
{
    bool rightIsS = false;
    int32_t right = sym(T, n - 1);
    int32_t w = m;
    for (int32_t i = n - 2; i >= 0; --i) {
        const int32_t c = sym(T, i);
        const bool isS = c < right || (c == right && rightIsS);
        if (rightIsS && !isS) {
            out[--w] = i + 1;
        }
        rightIsS = isS;
        right = c;
    }
    return m - w;
}

// What an induction pass produces. Sorting the LMS substrings keeps only the
// sorted LMS positions; the suffix pass keeps every position; the transform
// pass keeps, for every suffix, the symbol before it (and reports the slot of
// the whole text, which has none).
enum class Pass
{
    LmsSubstrings,
    Suffixes,
    Transform
};

// The passes read T just before the suffix named by each entry; that read is
// the pass's cache miss, so it is requested this many entries ahead.
constexpr int32_t kPrefetchDistance = 48;

template<typename Sym> inline void prefetchBefore(const Sym* T, int32_t j)
{
    __builtin_prefetch(T + (j > 0 ? j - 1 : 0));
}

// With large alphabets (reduced strings) the bucket heads are scattered too, so
// the slot an entry will be written to is requested as well, once its symbol
// is likely in cache.
template<typename Sym, typename Table>
inline void prefetchHead(const Sym* T, const int32_t* SA, const Table& table, int32_t j)
{
    if (sizeof(Sym) > 1 && j > 0) {
        __builtin_prefetch(SA + table.peek(sym(T, j - 1)), 1);
    }
}

// Left-to-right pass: places the L-type suffixes at their bucket starts, in
// order, from the entries already placed.
//
// Entry conventions: a positive entry j means "suffix j is placed and j - 1 is
// L-type, induce it"; a negative entry ~j means "j - 1 is S-type", which this
// pass turns positive for the right-to-left pass; 0 is an empty slot or the
// suffix without predecessor. An induced k is stored as ~k when its own
// predecessor is S-type; reading T[k - 1] as T[k] when k = 0 stores 0.
template<typename Sym, typename Table, Pass P>
void induceLType(const Sym* T, int32_t* SA, int32_t n, Table& table)
{
    table.toStarts();
    {
        // The implicit sentinel sorts first and induces the last suffix.
        const int32_t k = n - 1;
        const int32_t c = sym(T, k);
        SA[table.takeStart(c)] = sym(T, k - (k > 0)) < c ? ~k : k;
    }
    const int32_t far = n - kPrefetchDistance;
    const int32_t near = n - kPrefetchDistance / 2;
    for (int32_t i = 0; i < n; ++i) {
        if (i < far) {
            prefetchBefore(T, SA[i + kPrefetchDistance]);
        }
        if (i < near) {
            prefetchHead(T, SA, table, SA[i + kPrefetchDistance / 2]);
        }
        const int32_t j = SA[i];
        if (j > 0) {
            const int32_t k = j - 1;
            const int32_t c = sym(T, k);
            SA[table.takeStart(c)] = sym(T, k - (k > 0)) < c ? ~k : k;
            SA[i] = P == Pass::LmsSubstrings ? 0 : P == Pass::Transform ? ~c : ~j;
        } else if (j < 0) {
            SA[i] = ~j;
        }
    }
}

// Right-to-left pass: places the S-type suffixes at their bucket ends. A
// positive entry j induces j - 1; an induced LMS suffix is stored negated,
// since its predecessor is L-type and already placed. In the LMS pass the
// negated entries are the result; in the others every entry is turned into its
// final value. Returns the slot of suffix 0 (transform pass).
template<typename Sym, typename Table, Pass P>
int32_t induceSType(const Sym* T, int32_t* SA, int32_t n, Table& table)
{
    table.toEnds();
    int32_t primary = 0;
    for (int32_t i = n - 1; i >= 0; --i) {
        if (i >= kPrefetchDistance) {
            prefetchBefore(T, SA[i - kPrefetchDistance]);
        }
        if (i >= kPrefetchDistance / 2) {
            prefetchHead(T, SA, table, SA[i - kPrefetchDistance / 2]);
        }
        const int32_t j = SA[i];
        if (j > 0) {
            const int32_t k = j - 1;
            const int32_t c = sym(T, k);
            const int32_t before = sym(T, k - (k > 0));
            int32_t stored = k;
            if (before > c) {
                stored = P == Pass::Transform ? ~before : ~k;
            }
            SA[table.takeEnd(c)] = stored;
            if (P == Pass::Transform) {
                SA[i] = c;
            }
        } else if (P != Pass::LmsSubstrings) {
            if (j < 0) {
                SA[i] = ~j;
            } else {
                primary = i;
            }
        }
    }
    return primary;
}

template<Pass P, typename Sym, typename Table>
int32_t induce(const Sym* T, int32_t* SA, int32_t n, Table& table)
{
    induceLType<Sym, Table, P>(T, SA, n, table);
    return induceSType<Sym, Table, P>(T, SA, n, table);
}

// Whether T[a .. a + length) equals T[b .. b + length). Most LMS substrings
// of bytes are a few bytes long, so those compare as one masked word.
template<typename Sym>
inline bool equalSymbols(const Sym* T, int32_t a, int32_t b, int32_t length, int32_t n)
{
    if (sizeof(Sym) == 1 && length <= 8 && a <= n - 8 && b <= n - 8) {
        uint64_t x = 0;
        uint64_t y = 0;
        std::memcpy(&x, T + a, 8);
        std::memcpy(&y, T + b, 8);
        // Keep the bits of the first length bytes (length >= 2 here).
        const uint64_t all = ~uint64_t(0);
        const int unused = 8 * (8 - length);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const uint64_t mask = all >> unused;
#else
        const uint64_t mask = all << unused;
#endif
        return ((x ^ y) & mask) == 0;
    }
    for (int32_t d = 0; d < length; ++d) {
        if (T[a + d] != T[b + d]) {
            return false;
        }
    }
    return true;
}

// Names the sorted LMS substrings in SA[0 .. m) by their groups of equal
// substrings (see groupSymbol), writing name + 1 to SA[m + p / 2] for LMS
// position p (positions are at least two apart; the caller zeroed SA[m .. n)).
// Returns the number of groups. Each group of two or more leaves 0 at its rank
// in SA and minus its size after it (the layout of GroupBuckets); the entries
// of single-member groups keep their positions (all positive), so that SA[0 ..
// m) is still the sorted LMS positions when every name is unique.
template<typename Sym> int32_t nameLmsSubstrings(const Sym* T, int32_t* SA, int32_t n, int32_t m)
{
    // Lengths first, in the name slots.
    {
        bool rightIsS = false;
        int32_t right = sym(T, n - 1);
        int32_t next = n; // the sentinel ends the last LMS substring
        for (int32_t i = n - 2; i >= 0; --i) {
            const int32_t c = sym(T, i);
            const bool isS = c < right || (c == right && rightIsS);
            if (rightIsS && !isS) {
                SA[m + ((i + 1) >> 1)] = next - i; // from i + 1 to next, inclusive
                next = i + 1;
            }
            rightIsS = isS;
            right = c;
        }
    }

    int32_t groups = 0;
    int32_t groupStart = 0;
    int32_t previous = -1;
    int32_t previousLength = 0;
    // Called once the entries of the group have all been read.
    auto closeGroup = [&](int32_t end) {
        if (end - groupStart == 1) {
            SA[m + (previous >> 1)] = groupSymbol(groupStart, true) + 1;
        } else {
            SA[groupStart] = 0;
            SA[groupStart + 1] = groupStart - end;
        }
    };
    for (int32_t r = 0; r < m; ++r) {
        if (r + kPrefetchDistance < m) {
            const int32_t ahead = SA[r + kPrefetchDistance];
            __builtin_prefetch(SA + m + (ahead >> 1));
            __builtin_prefetch(T + ahead);
        }
        const int32_t p = SA[r];
        const int32_t length = SA[m + (p >> 1)];
        // The last substring ends in the sentinel and equals no other.
        bool same = previous >= 0 && length == previousLength && p + length <= n
            && previous + length <= n;
        if (same) {
            same = equalSymbols(T, p, previous, length, n);
        }
        if (!same) {
            if (r > 0) {
                closeGroup(r);
            }
            groupStart = r;
            ++groups;
        }
        SA[m + (p >> 1)] = groupSymbol(groupStart, false) + 1; // zero marks an unused slot
        previous = p;
        previousLength = length;
    }
    closeGroup(m);
    return groups;
}

template<typename Sym, typename Table>
int32_t buildCore(const Sym* T, int32_t* SA, int32_t fs, int32_t n, Table& table, bool bwt);
template<typename Sym>
int32_t buildWithCounts(const Sym* T, int32_t* SA, int32_t fs, int32_t n, int32_t k, bool bwt);

// Collects the names from their slots SA[m + p / 2] into reduced[0 .. m) in
// text order, through rename. reduced lies at or after the slots it reads.
template<typename Rename>
void gatherReducedString(int32_t* SA, int32_t n, int32_t m, int32_t* reduced, Rename rename)
{
    for (int32_t i = n - 1, r = m - 1; i >= m; --i) {
        if (SA[i] != 0) {
            reduced[r--] = rename(SA[i] - 1);
        }
    }
}

// The reduced string, named as nameLmsSubstrings left it, with its group
// table just before it in the free space (there must be room for m entries).
inline int32_t sortReducedByGroups(int32_t* SA, int32_t n, int32_t m, int32_t* reduced, int32_t fs)
{
    gatherReducedString(SA, n, m, reduced, [](int32_t symbol) { return symbol; });
    int32_t* groups = reduced - m;
    for (int32_t r = 0; r < m; ++r) {
        groups[r] = SA[r] > 0 ? kSingle : SA[r];
    }
    GroupBuckets table(groups, m);
    return buildCore(static_cast<const int32_t*>(reduced), SA, fs - m, m, table, false);
}

// Without room for the group table (many LMS positions, so a short period or
// few names) the groups are numbered densely instead and sorted with plain
// count tables, which then stay within two arrays of the number of names.
inline int32_t sortReducedByNames(
    int32_t* SA, int32_t n, int32_t m, int32_t names, int32_t* reduced, int32_t fs)
{
    // Turn the group layout in SA[0 .. m) into the number of each group at
    // its rank.
    for (int32_t rank = 0, number = 0; rank < m; ++number) {
        const int32_t size = SA[rank] == 0 ? -SA[rank + 1] : 1;
        SA[rank] = number;
        rank += size;
    }
    gatherReducedString(SA, n, m, reduced, [SA](int32_t symbol) { return SA[groupRank(symbol)]; });
    return buildWithCounts(static_cast<const int32_t*>(reduced), SA, fs, m, names, false);
}

// Sorts the suffixes of T (n symbols) into SA with the bucket tables given;
// SA has fs spare entries after it for the recursion.
template<typename Sym, typename Table>
int32_t buildCore(const Sym* T, int32_t* SA, int32_t fs, int32_t n, Table& table, bool bwt)
{
    // Stage 1: sort the LMS substrings and name them.
    std::memset(SA, 0, sizeof(int32_t) * size_t(n));
    const int32_t m = placeLmsPositions(T, SA, n, table);
    if (m > 0) {
        induce<Pass::LmsSubstrings>(T, SA, n, table);
        int32_t w = 0;
        for (int32_t i = 0; i < n; ++i) {
            const int32_t j = SA[i];
            if (j < 0) {
                SA[w++] = ~j;
            }
        }
        std::memset(SA + m, 0, sizeof(int32_t) * size_t(n - m));
        const int32_t names = nameLmsSubstrings(T, SA, n, m);

        // Stage 2: sort the LMS suffixes, recursively when names repeat. The
        // reduced string goes to the very end of the free space and the
        // recursion gets everything between its output and that string.
        if (names < m) {
            int32_t* reduced = SA + n + fs - m;
            const int32_t reducedFs = n + fs - 2 * m;
            const int32_t status = reducedFs >= m
                ? sortReducedByGroups(SA, n, m, reduced, reducedFs)
                : sortReducedByNames(SA, n, m, names, reduced, reducedFs);
            if (status != kOk) {
                return kNoMemory;
            }
            collectLmsPositions(T, n, reduced, m);
            for (int32_t i = 0; i < m; ++i) {
                if (i + kPrefetchDistance < m) {
                    __builtin_prefetch(reduced + SA[i + kPrefetchDistance]);
                }
                SA[i] = reduced[SA[i]];
            }
            table.recoverAfterRecursion();
        }

        // Put the sorted LMS suffixes at their bucket ends, keeping the order.
        std::memset(SA + m, 0, sizeof(int32_t) * size_t(n - m));
        table.toEnds();
        for (int32_t i = m - 1; i >= 0; --i) {
            if (i >= kPrefetchDistance) {
                __builtin_prefetch(T + SA[i - kPrefetchDistance]);
            }
            const int32_t p = SA[i];
            SA[i] = 0;
            SA[table.takeEnd(sym(T, p))] = p;
        }
    }

    if (bwt) {
        return induce<Pass::Transform>(T, SA, n, table);
    }
    induce<Pass::Suffixes>(T, SA, n, table);
    return kOk;
}

template<typename Sym>
int32_t buildWithCounts(const Sym* T, int32_t* SA, int32_t fs, int32_t n, int32_t k, bool bwt)
{
    Buckets<Sym> table(T, n, k);
    if (!table.place(SA + n, fs)) {
        return kNoMemory;
    }
    return buildCore(T, SA, fs, n, table, bwt);
}

template<typename Sym> bool symbolsBelow(const Sym* T, int32_t n, int32_t k)
{
    for (int32_t i = 0; i < n; ++i) {
        if (int32_t(T[i]) < 0 || int32_t(T[i]) >= k) {
            return false;
        }
    }
    return true;
}

// Checks what the core cannot survive (including symbols outside the
// alphabet, which would index past the bucket tables) and runs it.
template<typename Sym>
int32_t checkedCore(const Sym* T, int32_t* SA, int32_t fs, int32_t n, int32_t k, bool bwt)
{
    if ((sizeof(Sym) > 1 || k < 256) && !symbolsBelow(T, n, k)) {
        return kBadArgument;
    }
    if (n == 0) {
        return kOk;
    }
    // Positions in SA plus its free space must stay countable in 32 bits.
    fs = fs > INT32_MAX - n ? INT32_MAX - n : fs;
    return buildWithCounts(T, SA, fs, n, k, bwt);
}

template<typename Sym> int32_t buildSuffixArray(const Sym* T, int32_t* SA, int32_t n, int32_t k)
{
    if (T == nullptr || SA == nullptr || n < 0) {
        return kBadArgument;
    }
    if (n <= 1) {
        if (!symbolsBelow(T, n, k)) {
            return kBadArgument;
        }
        if (n == 1) {
            SA[0] = 0;
        }
        return kOk;
    }
    return SuffixArrayCore(T, SA, 0, n, k, int32_t(sizeof(Sym)), false);
}

template<typename Sym> int32_t buildBwt(const Sym* T, Sym* U, int32_t* A, int32_t n, int32_t k)
{
    if (T == nullptr || U == nullptr || A == nullptr || n < 0) {
        return kBadArgument;
    }
    if (n <= 1) {
        if (!symbolsBelow(T, n, k)) {
            return kBadArgument;
        }
        if (n == 1) {
            U[0] = T[0];
        }
        return n;
    }
    const int32_t primary = SuffixArrayCore(T, A, 0, n, k, int32_t(sizeof(Sym)), true);
    if (primary < 0) {
        return primary;
    }
    // Row 0 starts with the sentinel, so its last symbol is the text's last;
    // the row of the whole text would end in the sentinel and is left out.
    U[0] = T[n - 1];
    for (int32_t i = 0; i < primary; ++i) {
        U[i + 1] = Sym(A[i]);
    }
    for (int32_t i = primary + 1; i < n; ++i) {
        U[i] = Sym(A[i]);
    }
    return primary + 1;
}

} // namespace

int32_t SuffixArrayCore(
    const void* T, int32_t* SA, int32_t fs, int32_t n, int32_t k, int32_t symbolSize, bool bwt)
{
    if (T == nullptr || SA == nullptr || n < 0 || fs < 0 || k < 1
        || (symbolSize != 1 && symbolSize != 4)) {
        return kBadArgument;
    }
    if (symbolSize == 1) {
        return checkedCore(static_cast<const uint8_t*>(T), SA, fs, n, k, bwt);
    }
    return checkedCore(static_cast<const int32_t*>(T), SA, fs, n, k, bwt);
}

int32_t BuildSuffixArray(const uint8_t* T, int32_t* SA, int32_t n)
{
    return buildSuffixArray(T, SA, n, 256);
}

int32_t BuildSuffixArrayInt(const int32_t* T, int32_t* SA, int32_t n, int32_t k)
{
    if (k < 1) {
        return kBadArgument;
    }
    return buildSuffixArray(T, SA, n, k);
}

int32_t BuildBwt(const uint8_t* T, uint8_t* U, int32_t* A, int32_t n)
{
    return buildBwt(T, U, A, n, 256);
}

int32_t BuildBwtInt(const int32_t* T, int32_t* U, int32_t* A, int32_t n, int32_t k)
{
    if (k < 1) {
        return kBadArgument;
    }
    return buildBwt(T, U, A, n, k);
}

} // namespace kvpatch
