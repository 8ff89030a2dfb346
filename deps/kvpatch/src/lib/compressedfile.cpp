#include "compressedfile.h"

#include "crc32.h"
#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executableelements.h"
#include "kvdiff.h"
#include "logline.h"
#include "lzmaio.h"
#include "mappedfile.h"
#include "replacingfilewriter.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "streamset.h"

namespace kvpatch {

namespace {

bool Fail(const char* message)
{
    KVLOG(LogError) << message;
    return false;
}

// Assembles the encoded programs of streams 0 to n-2 into one buffer and
// applies the diff of stream n-1 on top of it.
bool RestoreDisAndDiff(SourceStream* body, SinkStream* output, uint32_t limit)
{
    SinkStream work;
    if (!Lzma2DecodeToSink(body, &work, EncodedProgramsBound(limit)))
        return Fail("could not decompress file");
    SourceStreamSet set;
    if (!set.Init(work.Buffer(), work.Length()))
        return Fail("could not init dif_and_dis set");
    if (set.Count() < 2)
        return Fail("dis_and_diff too small");

    SinkStream assembled;
    const uint32_t programs = set.Count() - 1;
    for (uint32_t i = 0; i < programs; ++i) {
        SourceStreamSet programStreams;
        if (!programStreams.InitFromStream(*set.Stream(i)))
            return Fail("could not init program_source set");
        EncodedProgram* program = nullptr;
        if (ReadEncodedProgram(&programStreams, &program) != C_OK)
            return Fail("could not read encoded program");
        const Status assembledStatus = Assemble(program, &assembled);
        DeleteEncodedProgram(program);
        if (assembledStatus != C_OK)
            return Fail("could not assemble program");
        // The programs are slices of the restored file, so together they
        // are never larger than it.
        if (assembled.Length() > limit)
            return Fail("assembled programs above limit");
    }
    SourceStream old;
    old.Init(assembled);
    if (!ApplyDiff(&old, set.Stream(programs), output, false, limit))
        return Fail("could not apply diff");
    return true;
}

// Encodes each element into its own stream of `programs` and appends
// its assembled bytes to `assembled`.
bool EncodeElement(const MappedFile& input, const ExecutableElement& element,
    SinkStream* programStream, SinkStream* assembled)
{
    DisassembledProgram* disassembled = nullptr;
    if (ParseExecutable(input.data() + element.offset, element.length, &disassembled) != C_OK) {
        KVLOG(LogWarning) << "could not parse file";
        return false;
    }
    EncodedProgram* encoded = nullptr;
    Status status = TrimLabels(disassembled);
    if (status == C_OK) {
        status = Encode(disassembled, &encoded);
        if (status != C_OK)
            Fail("could not encode program");
    } else {
        Fail("could not trim labels");
    }
    DeleteDisassembledProgram(disassembled);
    if (status != C_OK)
        return false;

    bool ok = false;
    SinkStreamSet streams;
    if (WriteEncodedProgram(encoded, &streams) != C_OK)
        Fail("could not write encode program");
    else if (!streams.WriteAll(programStream))
        Fail("could not combine streams");
    else if (Assemble(encoded, assembled) != C_OK)
        Fail("could not assemble program");
    else
        ok = true;
    DeleteEncodedProgram(encoded);
    return ok;
}

bool CompressDisAndDiff(const MappedFile& input, const ExecutableElementList& elements,
    SinkStream* output, uint32_t crc)
{
    if (!WriteCompressedFileHeader(output, crc))
        return false;
    if (!output->WriteVarint32(kDirectiveDisAndDiff))
        return Fail("could not write preprocess directive");

    SinkStreamSet programs;
    programs.Init(elements.count + 1);
    SinkStream assembled;
    for (uint32_t i = 0; i < elements.count; ++i) {
        if (!EncodeElement(input, elements.items[i], programs.Stream(i), &assembled))
            return false;
    }
    SourceStream old;
    old.Init(assembled);
    SourceStream whole(input.data(), input.mappedSize());
    if (!GenerateDiff(&old, &whole, programs.Stream(elements.count), false, DiffRaw))
        return Fail("could not generate diff");
    assembled.Release();
    SinkStream combined;
    if (!programs.WriteAll(&combined))
        return Fail("could not combine dis and dif");
    if (!Lzma2EncodeBuffer(combined.Buffer(), combined.Length(), output))
        return Fail("could not compress file");
    return true;
}

// Steps that pick the kind of container; false only on a detection
// failure other than "no executable".
bool CompressExecutableAware(const MappedFile& input, SinkStream* output, uint32_t crc)
{
    ExecutableElementList elements;
    const Status status = FindExecutableElements(input.data(), input.mappedSize(), &elements);
    if (status == C_INPUT_NOT_RECOGNIZED)
        return CompressFilePlain(input, output, crc);
    if (status != C_OK) {
        KVLOG(LogError) << "error detecting file type " << int(status);
        return false;
    }
    for (uint32_t i = 0; i < elements.count; ++i)
        KVLOG(LogDebug) << "detected " << FileTypeName(elements.items[i].type);

    if (CompressDisAndDiff(input, elements, output, crc))
        return true;
    KVLOG(LogWarning) << "falling back to default compression";
    output->Release();
    return CompressFilePlain(input, output, crc);
}

} // namespace

bool WriteCompressedFileHeader(SinkStream* output, uint32_t crc)
{
    if (!output->WriteVarint32(kCompressedFileMagic))
        return Fail("could not write magic");
    if (!output->WriteVarint32(crc))
        return Fail("could not write crc");
    return true;
}

bool CompressFilePlain(const MappedFile& input, SinkStream* output, uint32_t crc)
{
    if (!WriteCompressedFileHeader(output, crc))
        return false;
    if (!output->WriteVarint32(kDirectivePlain))
        return Fail("could not write preprocess directive");
    if (!Lzma2EncodeBuffer(input.data(), input.mappedSize(), output))
        return Fail("could not compress file");
    return true;
}

bool CompressFile(
    const std::string& inputPath, const std::string& outputPath, uint8_t executableAware)
{
    MappedFile input(inputPath);
    if (input.tooLarge())
        return Fail("file too large (4 GiB or more)");
    // The container holds empty files like any other; only the view is
    // missing, and the writers take an empty range for it.
    if (!input.isValid() && !input.isEmptyFile())
        return Fail("could not open file");
    const uint32_t crc = ComputeCrc32(input.data(), input.mappedSize());

    SinkStream output;
    const bool packed = executableAware ? CompressExecutableAware(input, &output, crc)
                                        : CompressFilePlain(input, &output, crc);
    if (!packed)
        return false;
    if (!WriteFileReplacing(outputPath, output.Buffer(), output.Length()))
        return Fail("could not write output file");
    return true;
}

bool DecompressFile(const std::string& inputPath, const std::string& outputPath,
    uint32_t restoredLimit, bool plainOnly)
{
    MappedFile input(inputPath);
    if (input.tooLarge())
        return Fail("lzma file too large (4 GiB or more)");
    if (!input.isValid())
        return Fail("could not open lzma file");
    SourceStream source(input.data(), input.mappedSize());
    uint32_t magic = 0;
    uint32_t crc = 0;
    uint32_t directive = 0;
    if (!source.ReadVarint32(&magic) || !source.ReadVarint32(&crc)
        || !source.ReadVarint32(&directive))
        return Fail("could not read lzma header");
    if (magic != kCompressedFileMagic)
        return Fail("not lzma file");

    if (plainOnly && directive != kDirectivePlain)
        return Fail("not a plain container");

    SinkStream output;
    if (directive == kDirectivePlain) {
        if (!Lzma2DecodeToSink(&source, &output, restoredLimit))
            return Fail("could not decompress file");
    } else if (directive == kDirectiveDisAndDiff) {
        if (!RestoreDisAndDiff(&source, &output, restoredLimit))
            return false;
    } else {
        return Fail("Unknown preprocessing dirrective");
    }

    if (ComputeCrc32(output.Buffer(), output.Length()) != crc)
        return Fail("crc mismatch");
    if (!WriteFileReplacing(outputPath, output.Buffer(), output.Length()))
        return Fail("could not write output file");
    return true;
}

} // namespace kvpatch
