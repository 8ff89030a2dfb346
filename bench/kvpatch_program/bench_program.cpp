// Element-path throughput of the patch engine: parse (disassemble), encode
// (trim labels, encode, write the streams), assemble (read the streams back,
// assemble). Each figure is printed in MB/s beside the time sha512sum takes
// over the same bytes in the same run, and as a ratio to it.
//
//   bench_program [FILE...]
// Without files: the executables of the disassembler test corpus (built
// with the machine's toolchains into a temporary directory) and the largest
// of a few shared libraries that the machine has.
#include "detectexecutable.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "mappedfile.h"
#include "streamset.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kvpatch;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Timings
{
    double parse = 0;
    double encode = 0;
    double assemble = 0;
    bool exact = true;
    Status failure = C_OK;
};

// One pass of the element path over IMAGE, timing each stage.
Timings runOnce(const uint8_t* image, size_t length)
{
    Timings t;
    auto start = Clock::now();
    DisassembledProgram* program = nullptr;
    t.failure = ParseExecutable(image, length, &program);
    t.parse = secondsSince(start);
    if (t.failure != C_OK)
        return t;

    start = Clock::now();
    EncodedProgram* encoded = nullptr;
    SinkStreamSet streams;
    SinkStream serialized;
    t.failure = TrimLabels(program);
    if (t.failure == C_OK)
        t.failure = Encode(program, &encoded);
    if (t.failure == C_OK)
        t.failure = WriteEncodedProgram(encoded, &streams);
    if (t.failure == C_OK && !streams.WriteAll(&serialized))
        t.failure = C_STREAM_ERROR;
    t.encode = secondsSince(start);
    DeleteEncodedProgram(encoded);
    encoded = nullptr;

    if (t.failure == C_OK) {
        start = Clock::now();
        SourceStreamSet in;
        SinkStream out;
        if (!in.Init(serialized.Buffer(), serialized.Length()))
            t.failure = C_STREAM_ERROR;
        if (t.failure == C_OK)
            t.failure = ReadEncodedProgram(&in, &encoded);
        if (t.failure == C_OK)
            t.failure = Assemble(encoded, &out);
        t.assemble = secondsSince(start);
        DeleteEncodedProgram(encoded);
        // The element's own bytes come back, up to the relocation tables that
        // assembly rebuilds in its own order; report rather than assume.
        t.exact = out.Length() == length && std::equal(image, image + length, out.Buffer());
    }
    DeleteDisassembledProgram(program);
    return t;
}

// Seconds that sha512sum needs for COPIES back-to-back copies of the
// element's bytes.
double sha512sumSeconds(const std::string& path, const uint8_t* image, size_t length, int copies)
{
    std::string input = path;
    std::string scratch;
    std::error_code error;
    if (copies > 1 || fs::file_size(path, error) != length) {
        scratch = (fs::temp_directory_path() / "kv_bench_sha_XXXXXX").string();
        std::vector<char> name(scratch.begin(), scratch.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        if (fd < 0)
            return -1;
        close(fd);
        scratch = name.data();
        std::ofstream out(scratch, std::ios::binary);
        for (int i = 0; i < copies; ++i)
            out.write(reinterpret_cast<const char*>(image), std::streamsize(length));
        input = scratch;
    }
    const std::string command = "sha512sum '" + input + "' > /dev/null";
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0)
            best = -1;
        else
            best = std::min(best, secondsSince(start));
    }
    if (!scratch.empty())
        fs::remove(scratch);
    return best;
}

void benchmark(const std::string& path)
{
    MappedFile file(path);
    if (!file.isValid()) {
        std::printf("%-28s cannot be read\n", fs::path(path).filename().c_str());
        return;
    }
    // Patch application works on the element, the part the headers describe.
    const uint8_t* image = file.data();
    FileType type = UNKNOWN;
    size_t length = 0;
    if (DetectFileType(image, file.mappedSize(), &type, &length) != C_OK) {
        std::printf("%-28s is not a recognised executable\n", fs::path(path).filename().c_str());
        return;
    }

    // Small images are run repeatedly so that each figure covers at least a
    // quarter of a second; the best pass of each stage counts.
    Timings best = runOnce(image, length);
    if (best.failure != C_OK) {
        std::printf("%-28s %9zu bytes: element path failed with status %d\n",
            fs::path(path).filename().c_str(), length, int(best.failure));
        return;
    }
    int copies = 1;
    double total = best.parse + best.encode + best.assemble;
    Timings sum = best;
    while (total < 0.25 && copies < 100000) {
        const Timings t = runOnce(image, length);
        sum.parse += t.parse;
        sum.encode += t.encode;
        sum.assemble += t.assemble;
        total += t.parse + t.encode + t.assemble;
        ++copies;
    }
    const double bytes = double(length) * copies;
    const double sha = sha512sumSeconds(path, image, length, copies);
    auto mbps = [bytes](double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0.0; };
    std::printf("%-28s %9zu bytes x%-5d parse %8.1f MB/s (%5.2fx sha) encode %8.1f MB/s "
                "(%5.2fx sha) assemble %8.1f MB/s (%5.2fx sha) | sha512sum %8.1f MB/s%s\n",
        fs::path(path).filename().c_str(), length, copies, mbps(sum.parse), sum.parse / sha,
        mbps(sum.encode), sum.encode / sha, mbps(sum.assemble), sum.assemble / sha, mbps(sha),
        best.exact ? "" : " (bytes differ)");
}

std::vector<std::string> defaultInputs(std::string* corpusDir)
{
    std::vector<std::string> inputs;
    const char* root = std::getenv("KV_SOURCE_DIR");
    const std::string source = root ? root : KV_SOURCE_DIR_DEFAULT;
    char pattern[] = "/tmp/kv_bench_corpus_XXXXXX";
    if (const char* dir = mkdtemp(pattern)) {
        *corpusDir = dir;
        const std::string command = "bash '" + source
            + "/tests/kvpatch_disasm/corpus/build_corpus.sh' '" + dir + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0)
            std::printf("(some corpus images could not be built)\n");
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() != ".log")
                inputs.push_back(entry.path().string());
        }
    }
    // The largest shared library of a few that a machine with this build's
    // dependencies is likely to have.
    const char* libraries[]
        = {"/usr/lib/x86_64-linux-gnu/libLLVM-15.so.1", "/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1",
            "/usr/lib/x86_64-linux-gnu/libclang-14.so.14.0.6",
            "/usr/lib/x86_64-linux-gnu/libQt5Widgets.so.5",
            "/usr/lib/x86_64-linux-gnu/libQt5Core.so.5"};
    std::string largest;
    std::error_code error;
    for (const char* library : libraries) {
        if (fs::exists(library, error)
            && (largest.empty() || fs::file_size(library, error) > fs::file_size(largest, error)))
            largest = library;
    }
    if (!largest.empty())
        inputs.push_back(largest);
    return inputs;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> inputs(argv + 1, argv + argc);
    std::string corpusDir;
    if (inputs.empty())
        inputs = defaultInputs(&corpusDir);
    for (const std::string& input : inputs)
        benchmark(input);
    if (!corpusDir.empty())
        fs::remove_all(corpusDir);
    return 0;
}
