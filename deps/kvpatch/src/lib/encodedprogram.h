#pragma once

#include "falliblebuffer.h"
#include "filetype.h"
#include "sourcestream.h"
#include "status.h"
#include "varintlist.h"

#include <cstdint>

namespace kvpatch {

class SinkStream;
class SinkStreamSet;
class SourceStreamSet;

// Op codes of the ops stream. Stored in patches: the values are fixed.
enum EncodedOp : uint32_t
{
    OP_ORIGIN = 0,
    OP_COPY = 1,
    OP_COPY1 = 2,
    OP_REL32 = 3,
    OP_ABS32 = 4,
    OP_PE32_RELOC_TABLE = 5,
    OP_ELF_RELOC_TABLE = 6,
    OP_ELF_ARM_RELOC_TABLE = 7,
    OP_PE64_RELOC_TABLE = 8,
    // 0x1000 to 0x5FFF: an ARM branch, the op being its compressed form.
};

// The patchable form of an executable: a program flattened into streams of
// small numbers, which compress and diff far better than machine code.
// Built once (by encoding or reading), then written or assembled once.
class EncodedProgram
{
public:
    EncodedProgram() = default;
    EncodedProgram(const EncodedProgram&) = delete;
    EncodedProgram& operator=(const EncodedProgram&) = delete;

    uint64_t imageBase() const { return m_imageBase; }
    void setImageBase(uint64_t base) { m_imageBase = base; }

    bool SetRel32Rva(uint32_t index, uint32_t rva);
    bool SetAbs32Rva(uint32_t index, uint32_t rva);
    void FillRvaGaps();

    bool AddOrigin(uint32_t rva);
    bool AddCopy(uint32_t count, const uint8_t* bytes);
    bool AddRel32(uint32_t index);
    bool AddAbs32(uint32_t index);
    bool AddRel32ARM(uint16_t compressedOp, uint32_t index);
    bool AddPeRelocTableOp(FileType kind);
    bool AddElfRelocTableOp();
    bool AddElfArmRelocTableOp();
    // For references added with their targets in place of label numbers:
    // numbers the labels of each kind in address order, sets their
    // addresses, and gives every reference its label's number.
    bool LabelReferenceTargets();

    void LogSummary() const;

    bool WriteTo(SinkStreamSet* streams);
    // As WriteTo, but the program is used up: its tables are freed as they
    // are written, and the literal bytes are handed over, not copied.
    bool MoveTo(SinkStreamSet* streams);
    bool ReadFrom(SourceStreamSet* streams);
    // As ReadFrom, but the literal bytes and the sequences the ops consume
    // in order are used where they lie in the streams instead of being
    // copied into tables (the sequences are checked all the same): the
    // streams' buffer must outlive assembly. copyBytes(), ops(), origins(),
    // copyCounts() and the index tables stay empty.
    bool ReadFromBorrowing(SourceStreamSet* streams);
    // Borrowing, the literal bytes are not read again after assembly: their
    // pages go back to the system as assembly passes them, so that they are
    // not held whole beside the assembled image. Their buffer must be owned
    // memory that nothing reads afterwards.
    void releaseBorrowedBytes() { m_releaseBorrowed = true; }
    bool AssembleTo(SinkStream* out);

    // Inspection, for tests and diagnostics.
    const FallibleBuffer<uint32_t>& rel32Rvas() const { return m_rel32Rvas; }
    const FallibleBuffer<uint32_t>& abs32Rvas() const { return m_abs32Rvas; }
    const VarintList& ops() const { return m_ops; }
    const FallibleBuffer<uint32_t>& origins() const { return m_origins; }
    const VarintList& copyCounts() const { return m_copyCounts; }
    const FallibleBuffer<uint8_t>& copyBytes() const { return m_copyBytes; }
    const FallibleBuffer<uint32_t>& rel32Indexes() const { return m_rel32Ix; }
    const FallibleBuffer<uint32_t>& abs32Indexes() const { return m_abs32Ix; }

    // Writes the PE base-relocation table of the collected abs32 positions.
    bool WritePeRelocTable(SinkStream* out, uint32_t entryType);
    // Writes one 8-byte ELF relocation entry per collected abs32 position.
    bool WriteElfRelocTable(uint32_t entryType, SinkStream* out);

private:
    bool addOp(uint32_t op) { return m_ops.push_back(op); }
    bool writeTo(SinkStreamSet* streams, bool consume);
    bool readFrom(SourceStreamSet* streams, bool borrow);
    void orderAbs32Positions();
    // Room left in the output for an ELF relocation table, filled in once
    // every position is known.
    struct ElfTableHole
    {
        bool reserved = false;
        bool mustRedo = false; // the layout needs the deferred form
        size_t at = 0;
        uint64_t size = 0;
    };
    template<typename Inputs>
    bool assembleOps(Inputs& in, SinkStream* out, SinkStream* deferred, bool* pePending,
        uint32_t* peEntryType, uint32_t* elfEntryType, ElfTableHole* hole);
    bool reserveElfTableHole(SinkStream* out, uint32_t abs32Left, ElfTableHole* hole);
    bool assembleWithTables(SinkStream* out, ElfTableHole* hole);
    bool mayAssembleTwice() const;
    void storeElfRelocTable(uint32_t entryType, uint8_t* table);

    uint64_t m_imageBase = 0;
    FallibleBuffer<uint32_t> m_rel32Rvas;
    FallibleBuffer<uint32_t> m_abs32Rvas;
    VarintList m_ops;
    FallibleBuffer<uint32_t> m_origins;
    VarintList m_copyCounts;
    FallibleBuffer<uint8_t> m_copyBytes;
    // The literal bytes assembly copies: m_copyBytes, or borrowed ones.
    const uint8_t* m_borrowedBytes = nullptr;
    uint32_t m_borrowedSize = 0;
    bool m_borrowed = false;
    bool m_releaseBorrowed = false;
    // Set for one assembly: the bytes behind it may go.
    bool m_releasing = false;
    // Borrowed too, the sequences the ops consume in order: their entries
    // (checked when read) and how many there are.
    struct Borrowed
    {
        SourceStream items;
        uint32_t count = 0;
    };
    Borrowed m_borrowedOps;
    Borrowed m_borrowedOrigins;
    Borrowed m_borrowedCopyCounts;
    Borrowed m_borrowedAbs32Ix;
    Borrowed m_borrowedRel32Ix;
    FallibleBuffer<uint32_t> m_rel32Ix;
    FallibleBuffer<uint32_t> m_abs32Ix;
    FallibleBuffer<uint32_t> m_abs32Positions;
};

// What the encoded programs of executables that assemble to `assembled`
// bytes in all may take at most in their serialised form, with the diff
// that completes them: the encoded form takes about as many bytes as the
// programs (tables included), and the diff's add and extra bytes are as
// many as the assembled bytes. Four times the size, and a fixed part for
// tiny files, leaves room for that.
inline uint32_t EncodedProgramsBound(uint32_t assembled)
{
    const uint64_t bound = 4 * uint64_t(assembled) + (1u << 20);
    return bound < UINT32_MAX ? uint32_t(bound) : UINT32_MAX;
}

// Entry points used by patch application.
Status WriteEncodedProgram(EncodedProgram* program, SinkStreamSet* streams);
// WriteEncodedProgram with MoveTo: the program is left empty.
Status MoveEncodedProgram(EncodedProgram* program, SinkStreamSet* streams);
Status ReadEncodedProgram(SourceStreamSet* streams, EncodedProgram** out);
// The same with ReadFromBorrowing: `streams` must outlive the program's
// assembly.
Status ReadEncodedProgramBorrowing(SourceStreamSet* streams, EncodedProgram** out);
Status Assemble(EncodedProgram* program, SinkStream* out);
void DeleteEncodedProgram(EncodedProgram* program);

} // namespace kvpatch
