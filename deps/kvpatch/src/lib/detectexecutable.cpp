#include "detectexecutable.h"

#include "disassembledprogram.h"
#include "disassembler.h"
#include "disassembler_elf32arm.h"
#include "disassembler_elf32x86.h"
#include "disassembler_elf64x64.h"
#include "disassembler_macho.h"
#include "disassembler_win32.h"
#include "encodedprogram.h"

#include <memory>
#include <new>

namespace kvpatch {

namespace {

template<typename Parser> Disassembler* tryParser(const void* start, size_t length)
{
    std::unique_ptr<Parser> parser(new (std::nothrow) Parser(start, length));
    if (!parser || !parser->ParseHeader())
        return nullptr;
    return parser.release();
}

} // namespace

Disassembler* FindDisassembler(const void* start, size_t length)
{
    // The header checks make the parsers exclusive; the order is kept fixed
    // all the same, so that any overlap is resolved the same way everywhere.
    using Probe = Disassembler* (*)(const void*, size_t);
    static const Probe probes[] = {
        tryParser<DisassemblerWin32X86>,
        tryParser<DisassemblerWin32X64>,
        tryParser<DisassemblerElf32X86>,
        tryParser<DisassemblerElf64X64>,
        tryParser<DisassemblerElf32ARM>,
        tryParser<DisassemblerMacho>,
    };
    for (Probe probe : probes) {
        if (Disassembler* parser = probe(start, length))
            return parser;
    }
    return nullptr;
}

Status DetectFileType(const void* start, size_t length, FileType* type, size_t* detectedLength)
{
    std::unique_ptr<Disassembler> parser(FindDisassembler(start, length));
    if (!parser) {
        *type = UNKNOWN;
        *detectedLength = 0;
        return C_INPUT_NOT_RECOGNIZED;
    }
    *type = parser->kind();
    *detectedLength = parser->length();
    return C_OK;
}

Status ParseExecutable(const void* start, size_t length, DisassembledProgram** out)
{
    *out = nullptr;
    std::unique_ptr<Disassembler> parser(FindDisassembler(start, length));
    if (!parser)
        return C_INPUT_NOT_RECOGNIZED;
    std::unique_ptr<DisassembledProgram> program(
        new (std::nothrow) DisassembledProgram(parser->kind()));
    if (!program || !parser->Disassemble(program.get()))
        return C_DISASSEMBLY_FAILED;
    *out = program.release();
    return C_OK;
}

Status ParseAndEncodeExecutable(
    const void* start, size_t length, EncodedProgram** out, bool releasable)
{
    *out = nullptr;
    std::unique_ptr<Disassembler> parser(FindDisassembler(start, length));
    if (!parser)
        return C_INPUT_NOT_RECOGNIZED;
    if (releasable)
        parser->setRegionReleasable();
    // ARM programs trim labels after the fact, which needs the list.
    if (parser->kind() == ELF_32_ARM) {
        DisassembledProgram* program = nullptr;
        Status status = ParseExecutable(start, length, &program);
        if (status == C_OK)
            status = TrimLabels(program);
        if (status == C_OK)
            status = Encode(program, out);
        DeleteDisassembledProgram(program);
        return status;
    }
    std::unique_ptr<EncodedProgram> encoded(new (std::nothrow) EncodedProgram);
    if (!encoded)
        return C_DISASSEMBLY_FAILED;
    std::unique_ptr<DisassembledProgram> program(
        new (std::nothrow) DisassembledProgram(parser->kind(), encoded.get()));
    if (!program)
        return C_DISASSEMBLY_FAILED;
    // A failure to encode is reported as when the list is encoded.
    if (!parser->Disassemble(program.get()))
        return program->DirectEncodingFailed() ? C_GENERAL_ERROR : C_DISASSEMBLY_FAILED;
    // The parser's tables (a reference list as long as the code has
    // branches) are done with; the labels are numbered without them.
    parser.reset();
    if (!program->FinishDirectEncoding())
        return C_GENERAL_ERROR;
    *out = encoded.release();
    return C_OK;
}

void DeleteDisassembledProgram(DisassembledProgram* program)
{
    delete program;
}

} // namespace kvpatch
