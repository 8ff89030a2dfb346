#pragma once

#include "disassembledprogram.h"
#include "filetype.h"
#include "status.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

// Deletes a program through the engine's own entry point.
struct ProgramDeleter
{
    void operator()(kvpatch::DisassembledProgram* program) const;
};
using ProgramPtr = std::unique_ptr<kvpatch::DisassembledProgram, ProgramDeleter>;

// ParseExecutable with ownership; null when the result is not C_OK.
ProgramPtr Parse(const std::vector<uint8_t>& image, kvpatch::Status* status = nullptr);

// The patch application's path for one element: parse, trim, encode, write
// the streams, read them back and assemble. Every step's status is kept.
struct RoundTrip
{
    kvpatch::Status parse = kvpatch::C_GENERAL_ERROR;
    kvpatch::Status trim = kvpatch::C_GENERAL_ERROR;
    kvpatch::Status encode = kvpatch::C_GENERAL_ERROR;
    kvpatch::Status write = kvpatch::C_GENERAL_ERROR;
    kvpatch::Status read = kvpatch::C_GENERAL_ERROR;
    kvpatch::Status assemble = kvpatch::C_GENERAL_ERROR;
    std::vector<uint8_t> bytes;
};
// Without TRIM the ARM branches keep their labels, so that assembly rebuilds
// every branch from its compressed op.
RoundTrip RunRoundTrip(const std::vector<uint8_t>& image, bool trim = true);

// The element's streams as the application writes them (ParseAndEncode),
// and as parsing, trimming and encoding the instruction list gives them;
// empty where a step failed.
struct EncodedPaths
{
    std::vector<uint8_t> direct;
    std::vector<uint8_t> listed;
};
EncodedPaths EncodeBothWays(const std::vector<uint8_t>& image);

// Instructions of a program by kind.
std::map<uint32_t, size_t> CountInstructionKinds(const kvpatch::DisassembledProgram& program);
// ARM branch kinds (compressed op >> 12, less 1) of every INSTR_REL32_ARM.
std::map<uint32_t, size_t> CountArmBranchKinds(const kvpatch::DisassembledProgram& program);

// Detection and disassembly of every prefix of IMAGE (every length up to
// 1024, then every STRIDE-th): each prefix lies in its own exactly sized
// buffer, so a read past it is caught by the address sanitizer. Returns how
// many prefixes were accepted.
size_t CheckEveryPrefix(const std::vector<uint8_t>& image, size_t stride = 97);

// Failure reason of a parser after ParseHeader() (null on success).
template<typename Parser> const char* HeaderFailure(const std::vector<uint8_t>& image)
{
    Parser parser(image.data(), image.size());
    parser.ParseHeader();
    return parser.failureReason();
}
