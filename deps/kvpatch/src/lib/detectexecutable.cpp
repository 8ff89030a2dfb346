#include "detectexecutable.h"

#include "disassembledprogram.h"
#include "disassembler.h"
#include "disassembler_elf32arm.h"
#include "disassembler_elf32x86.h"
#include "disassembler_elf64x64.h"
#include "disassembler_macho.h"
#include "disassembler_win32.h"

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

void DeleteDisassembledProgram(DisassembledProgram* program)
{
    delete program;
}

} // namespace kvpatch
