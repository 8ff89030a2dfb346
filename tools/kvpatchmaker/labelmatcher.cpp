#include "labelmatcher.h"

#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "freedmemory.h"
#include "patcherx86_32.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace kvpatch;

namespace kvpatchmaker {

namespace {

struct ProgramDeleter
{
    void operator()(DisassembledProgram* p) const { DeleteDisassembledProgram(p); }
};
using Program = std::unique_ptr<DisassembledProgram, ProgramDeleter>;

// One reference of a program: its label and a token made of its kind,
// the number of literal bytes before it and the last of them. Addresses
// that no label covers (data displacements, say) move between releases
// and are left out, so that unchanged code gives equal tokens. The old
// side copies its label's address and index (-1 without a label or an
// index), so that the old program can go before the new one is parsed; the
// new side keeps its label, to number it. A program has a reference every
// few dozen bytes, and the references of both sides were the peak of the
// encoding, so each takes 16 bytes. A label index isVote labels, fewer than
// 2^30 in a file below 4 GiB, and fits 31 bits.
struct OldReference
{
    uint64_t token;
    uint32_t rva;
    int32_t index : 31;
    uint32_t abs32 : 1;
};

// The label pointer carries the abs32 flag in its lowest bit (a label is
// aligned to four bytes).
class NewReference
{
public:
    NewReference(uint64_t token, Label* label, bool abs32)
        : token(token)
        , m_tagged(reinterpret_cast<uintptr_t>(label) | uintptr_t(abs32))
    {
    }

    Label* label() const { return reinterpret_cast<Label*>(m_tagged & ~uintptr_t(1)); }
    bool abs32() const { return (m_tagged & 1) != 0; }

    uint64_t token;

private:
    uintptr_t m_tagged;
};

static_assert(alignof(Label) >= 2, "the abs32 flag lives in the label pointer's lowest bit");

uint64_t Mix(uint64_t hash, uint64_t value)
{
    hash ^= value + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
    return hash * 0xFF51AFD7ED558CCDull;
}

// The anchor of a reference adds the two tokens before it, to be unique
// more often.
template<typename R> uint64_t AnchorAt(const std::vector<R>& references, size_t i)
{
    return Mix(Mix(references[i].token, i > 0 ? references[i - 1].token : 0),
        i > 1 ? references[i - 2].token : 0);
}

// Calls visit(token, label, abs32) for each reference in program order.
template<typename Visit> void VisitReferences(const DisassembledProgram& program, Visit visit)
{
    uint64_t literals = 0;
    uint32_t last = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction* instruction = program.instructionAt(i);
        const uint32_t kind = instruction->kind();
        if (kind == INSTR_BYTE) {
            ++literals;
            last = instruction->byte();
        } else if (kind == INSTR_BYTE_RUN) {
            literals += instruction->value;
            if (instruction->value)
                last = instruction->bytes[instruction->value - 1];
        } else if (kind == INSTR_REL32 || kind == INSTR_REL32_ARM || kind == INSTR_ABS32) {
            const bool abs32 = kind == INSTR_ABS32;
            const uint64_t token = Mix(Mix(Mix(kind, instruction->compressedOp), literals), last);
            visit(token,
                abs32 ? DisassembledProgram::Abs32LabelOf(instruction)
                      : DisassembledProgram::Rel32LabelOf(instruction),
                abs32);
            literals = 0;
            last = 0;
        } else {
            literals = Mix(literals, 0x300 + kind);
        }
    }
}

// Counted first, so that the vector is allocated once at its size.
size_t CountReferences(const DisassembledProgram& program)
{
    size_t count = 0;
    VisitReferences(program, [&](uint64_t, Label*, bool) { ++count; });
    return count;
}

std::vector<OldReference> OldReferencesOf(const DisassembledProgram& program)
{
    std::vector<OldReference> references;
    references.reserve(CountReferences(program));
    VisitReferences(program, [&](uint64_t token, Label* label, bool abs32) {
        references.push_back({token, label ? label->rva : 0, label ? label->index : -1, abs32});
    });
    return references;
}

std::vector<NewReference> NewReferencesOf(const DisassembledProgram& program)
{
    std::vector<NewReference> references;
    references.reserve(CountReferences(program));
    VisitReferences(program, [&](uint64_t token, Label* label, bool abs32) {
        references.emplace_back(token, label, abs32);
    });
    return references;
}

// An anchor and the reference it belongs to, in 12 bytes rather than a
// pair's 16.
struct AnchorAtPosition
{
    uint32_t high;
    uint32_t low;
    uint32_t position;

    uint64_t anchor() const { return uint64_t(high) << 32 | low; }
    bool operator<(const AnchorAtPosition& other) const
    {
        return anchor() != other.anchor() ? anchor() < other.anchor() : position < other.position;
    }
};

// Drops every element of the sorted `items` whose key occurs more than once.
template<typename T, typename Key> void KeepUnique(std::vector<T>* items, Key key)
{
    std::vector<T>& sorted = *items;
    size_t kept = 0;
    for (size_t i = 0; i < sorted.size();) {
        size_t end = i + 1;
        while (end < sorted.size() && key(sorted[end]) == key(sorted[i]))
            ++end;
        if (end == i + 1)
            sorted[kept++] = sorted[i];
        i = end;
    }
    sorted.resize(kept);
    sorted.shrink_to_fit();
}

// The old references whose anchor occurs once among them, sorted by
// anchor: a third of the memory of a hash map of isVote, which was the
// largest structure of the whole encoding step.
std::vector<AnchorAtPosition> UniqueOldAnchors(const std::vector<OldReference>& references)
{
    std::vector<AnchorAtPosition> sorted;
    sorted.reserve(references.size());
    for (size_t i = 0; i < references.size(); ++i) {
        const uint64_t anchor = AnchorAt(references, i);
        sorted.push_back({uint32_t(anchor >> 32), uint32_t(anchor), uint32_t(i)});
    }
    std::sort(sorted.begin(), sorted.end());
    KeepUnique(&sorted, [](const AnchorAtPosition& a) { return a.anchor(); });
    return sorted;
}

// The anchors that occur once among the new references, sorted; only
// whether an anchor is among them is asked.
std::vector<uint64_t> UniqueNewAnchors(const std::vector<NewReference>& references)
{
    std::vector<uint64_t> sorted;
    sorted.reserve(references.size());
    for (size_t i = 0; i < references.size(); ++i)
        sorted.push_back(AnchorAt(references, i));
    std::sort(sorted.begin(), sorted.end());
    KeepUnique(&sorted, [](uint64_t anchor) { return anchor; });
    return sorted;
}

// Where `anchor` occurs once among the old references: its position.
bool FindUnique(const std::vector<AnchorAtPosition>& unique, uint64_t anchor, size_t* position)
{
    const auto it = std::lower_bound(unique.begin(), unique.end(), anchor,
        [](const AnchorAtPosition& a, uint64_t key) { return a.anchor() < key; });
    if (it == unique.end() || it->anchor() != anchor)
        return false;
    *position = it->position;
    return true;
}

// Pairs references of old and new: anchors that occur once in each pair
// up, and runs of equal tokens grow from them in both directions. Positions
// are below 2^30 (see OldReference) and kept in 32 bits.
using ReferencePairs = std::vector<std::pair<uint32_t, uint32_t>>;
ReferencePairs MatchReferences(
    const std::vector<OldReference>& old, const std::vector<NewReference>& fresh)
{
    const std::vector<AnchorAtPosition> oldUnique = UniqueOldAnchors(old);
    const std::vector<uint64_t> newUnique = UniqueNewAnchors(fresh);
    const uint32_t none = UINT32_MAX;
    std::vector<uint32_t> oldFor(fresh.size(), none);
    std::vector<bool> oldTaken(old.size(), false);
    auto pair = [&](size_t o, size_t n) {
        if (oldFor[n] != none || oldTaken[o] || old[o].token != fresh[n].token)
            return false;
        oldFor[n] = uint32_t(o);
        oldTaken[o] = true;
        return true;
    };
    for (size_t n = 0; n < fresh.size(); ++n) {
        size_t o = 0;
        const uint64_t anchor = AnchorAt(fresh, n);
        if (!std::binary_search(newUnique.begin(), newUnique.end(), anchor)
            || !FindUnique(oldUnique, anchor, &o) || !pair(o, n))
            continue;
        for (size_t k = 1; o + k < old.size() && n + k < fresh.size() && pair(o + k, n + k); ++k) {
        }
        for (size_t k = 1; k <= o && k <= n && pair(o - k, n - k); ++k) { }
    }
    size_t count = 0;
    for (uint32_t o : oldFor)
        count += o != none;
    ReferencePairs pairs;
    pairs.reserve(count);
    for (size_t n = 0; n < fresh.size(); ++n) {
        if (oldFor[n] != none)
            pairs.emplace_back(oldFor[n], uint32_t(n));
    }
    return pairs;
}

// Gives each new label the index of the old label most references
// agree on; every old index is given at most once.
void CarryOverIndexes(const std::vector<OldReference>& old, const std::vector<NewReference>& fresh,
    const ReferencePairs& pairs, bool abs32)
{
    // Keyed by addresses, not by the labels' heap addresses, so that ties
    // are broken alike on every run. One sorted vector instead of a map
    // per label: equal keys carry equal labels and indices.
    struct Vote
    {
        uint32_t oldRva;
        uint32_t newRva;
        Label* newLabel;
        int32_t oldIndex;
        int32_t count;
    };
    auto isVote = [&](const std::pair<uint32_t, uint32_t>& p) {
        const OldReference& o = old[p.first];
        const NewReference& n = fresh[p.second];
        return bool(o.abs32) == abs32 && n.abs32() == abs32 && n.label() && o.index >= 0;
    };
    // Counted first, so that the vector is allocated once at its size.
    std::vector<Vote> votes;
    votes.reserve(size_t(std::count_if(pairs.begin(), pairs.end(), isVote)));
    int32_t largestIndex = -1;
    for (const auto& p : pairs) {
        if (!isVote(p))
            continue;
        const OldReference& o = old[p.first];
        Label* label = fresh[p.second].label();
        votes.push_back({o.rva, label->rva, label, o.index, 1});
        largestIndex = std::max(largestIndex, int32_t(o.index));
    }
    std::sort(votes.begin(), votes.end(), [](const Vote& a, const Vote& b) {
        return a.oldRva != b.oldRva ? a.oldRva < b.oldRva : a.newRva < b.newRva;
    });
    size_t kept = 0;
    for (size_t i = 0; i < votes.size(); ++i) {
        if (kept > 0 && votes[kept - 1].oldRva == votes[i].oldRva
            && votes[kept - 1].newRva == votes[i].newRva)
            ++votes[kept - 1].count;
        else
            votes[kept++] = votes[i];
    }
    votes.resize(kept);
    // Most votes first, ties in address order: in place, where a stable
    // sort by count would take a buffer as large as the votes.
    std::sort(votes.begin(), votes.end(), [](const Vote& a, const Vote& b) {
        if (a.count != b.count)
            return a.count > b.count;
        return a.oldRva != b.oldRva ? a.oldRva < b.oldRva : a.newRva < b.newRva;
    });
    std::vector<bool> indexTaken(size_t(largestIndex + 1), false);
    for (const Vote& vote : votes) {
        if (vote.newLabel->index != -1 || indexTaken[size_t(vote.oldIndex)])
            continue;
        vote.newLabel->index = vote.oldIndex;
        indexTaken[size_t(vote.oldIndex)] = true;
    }
}

Status Parse(const uint8_t* data, size_t length, Program* out)
{
    DisassembledProgram* program = nullptr;
    Status status = ParseExecutable(data, length, &program);
    if (status != C_OK)
        return status;
    out->reset(program);
    return TrimLabels(program);
}

} // namespace

Status TransformElementAfter(const uint8_t* oldData, size_t oldLength, const uint8_t* newData,
    size_t newLength, SinkStreamSet* out, const std::function<void()>& oldRead)
{
    // One program at a time: the old one is only needed for its
    // references, and the programs are the largest structures here.
    std::vector<OldReference> oldReferences;
    {
        Program old;
        const Status status = Parse(oldData, oldLength, &old);
        if (status != C_OK)
            return status;
        oldReferences = OldReferencesOf(*old);
    }
    if (oldRead)
        oldRead();
    ReturnFreedMemory();
    Program fresh;
    const Status status = Parse(newData, newLength, &fresh);
    if (status != C_OK)
        return status;
    {
        const std::vector<NewReference> newReferences = NewReferencesOf(*fresh);
        const auto pairs = MatchReferences(oldReferences, newReferences);
        fresh->ClearLabelIndexes();
        CarryOverIndexes(oldReferences, newReferences, pairs, false);
        CarryOverIndexes(oldReferences, newReferences, pairs, true);
    }
    std::vector<OldReference>().swap(oldReferences);
    fresh->FillLabelIndexes();

    // The encoding holds all the program says: the program goes before the
    // encoding is written out.
    EncodedProgram* encoded = nullptr;
    const Status encodedStatus = Encode(fresh.get(), &encoded);
    fresh.reset();
    if (encodedStatus != C_OK)
        return encodedStatus;
    const Status written = WriteEncodedProgram(encoded, out);
    DeleteEncodedProgram(encoded);
    return written;
}

} // namespace kvpatchmaker
