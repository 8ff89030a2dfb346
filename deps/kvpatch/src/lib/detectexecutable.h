#pragma once

#include "filetype.h"
#include "status.h"

#include <cstddef>

namespace kvpatch {

class Disassembler;
class DisassembledProgram;
class EncodedProgram;

// The first parser, in a fixed order, whose header check accepts the
// region; null when none does. The caller owns the result.
Disassembler* FindDisassembler(const void* start, size_t length);

// C_OK with the executable's kind and the length its headers describe, or
// C_INPUT_NOT_RECOGNIZED with UNKNOWN and 0.
Status DetectFileType(const void* start, size_t length, FileType* type, size_t* detectedLength);

// Disassembles the region into a new program (numbered labels), which the
// caller gives back with DeleteDisassembledProgram. OUT is null unless the
// result is C_OK; C_INPUT_NOT_RECOGNIZED or C_DISASSEMBLY_FAILED otherwise.
// The region must outlive the program: byte runs point into it.
Status ParseExecutable(const void* start, size_t length, DisassembledProgram** out);

// Disassembles the region straight into its encoded form (labels trimmed
// where the kind wants it), which the caller gives back with
// DeleteEncodedProgram: the same result as ParseExecutable, TrimLabels and
// Encode, without holding the instruction list. OUT is null unless the
// result is C_OK. With `releasable` the region is a read-only file mapping
// whose pages may leave memory once they have been read (see
// Disassembler::setRegionReleasable).
Status ParseAndEncodeExecutable(
    const void* start, size_t length, EncodedProgram** out, bool releasable = false);

void DeleteDisassembledProgram(DisassembledProgram* program);

} // namespace kvpatch
