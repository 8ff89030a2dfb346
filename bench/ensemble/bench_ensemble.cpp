// Ensemble patches and executable-aware containers on two builds of one
// program that differ as releases do (the pair of the diff benchmark).
// Figures, each as a ratio against a reference measured in the same run:
// patch size against GenerateDiff method 1, xdelta3 -9 and zstd
// --patch-from -19 --long; application time against xz -d of the new file;
// CompressFile size against xz -9 and DecompressFile time against xz -d;
// peak memory of an application against the sizes of old plus new file.
//   bench_ensemble [functions]   (default 8000)
#include "benchutil.h"
#include "compressedfile.h"
#include "ensemblepatch.h"
#include "ensemblepatchmaker.h"
#include "kvdiff.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kvpatch;

namespace {

Bytes makePatch(const Bytes& oldData, const Bytes& newData,
    const kvpatchmaker::PatchOptions& options, uint32_t* elements)
{
    kvpatchmaker::PatchSummary summary;
    SinkStream patch;
    if (!kvpatchmaker::MakeEnsemblePatch(oldData.data(), oldData.size(), newData.data(),
            newData.size(), &patch, options, &summary)) {
        std::fprintf(stderr, "MakeEnsemblePatch failed\n");
        std::exit(1);
    }
    *elements = summary.elements;
    return Bytes(patch.Buffer(), patch.Buffer() + patch.Length());
}

size_t plainDiffSize(const Bytes& oldData, const Bytes& newData)
{
    SourceStream oldSource(oldData.data(), oldData.size());
    SourceStream newSource(newData.data(), newData.size());
    SinkStream diff;
    if (!GenerateDiff(&oldSource, &newSource, &diff, false, DiffThreeBlocks)) {
        std::fprintf(stderr, "GenerateDiff failed\n");
        std::exit(1);
    }
    return diff.Length();
}

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "%s failed\n", what);
        std::exit(1);
    }
}

// The peak resident size of this process so far, in bytes.
size_t ownPeakBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return size_t(std::strtoull(line.c_str() + 6, nullptr, 10)) * 1024;
    }
    return 0;
}

// Runs this program again with `arguments` and returns the peak it reports,
// so that the figure covers one application in a fresh process and nothing
// the benchmark itself holds.
size_t childPeakBytes(const std::string& arguments)
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    check(n > 0, "readlink");
    self[n] = 0;
    FILE* child = popen((std::string(self) + " " + arguments).c_str(), "r");
    check(child != nullptr, "popen");
    unsigned long long peak = 0;
    const bool read = std::fscanf(child, "%llu", &peak) == 1;
    check(pclose(child) == 0 && read, "child application");
    return size_t(peak);
}

// The generated program without the C library's headers, for a target whose
// library is not installed: linked as an image whose few library calls stay
// unresolved, which is all a patch needs.
std::string freestandingProgram(int functions, int variant)
{
    std::string source = generatedProgram(functions, variant);
    const std::string includes = "#include <stdio.h>\n#include <stdlib.h>\n";
    const size_t at = source.find(includes);
    if (at != std::string::npos)
        source.replace(at, includes.size(),
            "int puts(const char*);\nint printf(const char*, ...);\nint atoi(const char*);\n");
    return source;
}

void benchPair(const ScratchDir& dir, const std::string& oldPath, const std::string& newPath)
{
    const Bytes oldData = readFile(oldPath);
    const Bytes newData = readFile(newPath);
    std::printf("old %zu bytes, new %zu bytes\n", oldData.size(), newData.size());

    // Patch sizes.
    run("xdelta3 -9 -e -f -s " + oldPath + " " + newPath + " " + dir.path("x.vcdiff"));
    run("zstd -q -f -19 --long=27 --patch-from=" + oldPath + " " + newPath + " -o "
        + dir.path("z.zst") + " 2>/dev/null");
    const size_t xdeltaSize = fileSize(dir.path("x.vcdiff"));
    const size_t zstdSize = fileSize(dir.path("z.zst"));
    const size_t diffSize = plainDiffSize(oldData, newData);
    // The maker's default keeps the smaller of the patches with and without
    // elements; both are shown.
    kvpatchmaker::PatchOptions forced;
    forced.preferSmaller = false;
    kvpatchmaker::PatchOptions plain;
    plain.findElements = false;
    uint32_t elements = 0;
    Bytes patch;
    const double makeSeconds
        = bestSeconds(1, [&] { patch = makePatch(oldData, newData, {}, &elements); });
    uint32_t forcedElements = 0;
    const Bytes elementPatch = makePatch(oldData, newData, forced, &forcedElements);
    const Bytes plainPatch = makePatch(oldData, newData, plain, &forcedElements);
    writeFile(dir.path("patch"), patch);
    std::printf("ensemble patch (%u element(s)):      %8zu bytes (made in %.2f s)\n", elements,
        patch.size(), makeSeconds);
    std::printf("  with its elements:                %8zu bytes\n", elementPatch.size());
    std::printf("  without elements:                 %8zu bytes\n", plainPatch.size());
    std::printf("GenerateDiff method 1:              %8zu bytes\n", diffSize);
    std::printf("xdelta3 -9:                         %8zu bytes\n", xdeltaSize);
    std::printf("zstd --patch-from -19 --long:       %8zu bytes\n", zstdSize);
    std::printf("  patch size / GenerateDiff:        %8.3f\n", double(patch.size()) / diffSize);
    std::printf("  patch size / xdelta3 -9:          %8.3f\n", double(patch.size()) / xdeltaSize);
    std::printf("  patch size / zstd --patch-from:   %8.3f\n", double(patch.size()) / zstdSize);

    // Application time against xz -d of the new file, for the patch the
    // maker chose and for the one with elements (disassembly included).
    writeFile(dir.path("elementpatch"), elementPatch);
    run("xz -9 -k -c " + newPath + " > " + dir.path("new.xz"));
    // Like the engine, xz writes the file it restores.
    const double xzSeconds = bestSeconds(
        5, [&] { run("xz -d -c " + dir.path("new.xz") + " > " + dir.path("xz-restored")); });
    const double applySeconds = bestSeconds(5, [&] {
        check(ApplyEnsemblePatchFiles(oldPath, dir.path("patch"), dir.path("applied")) == C_OK,
            "ApplyEnsemblePatchFiles");
    });
    check(readFile(dir.path("applied")) == newData, "patched result");
    const double elementApplySeconds = bestSeconds(5, [&] {
        check(
            ApplyEnsemblePatchFiles(oldPath, dir.path("elementpatch"), dir.path("applied")) == C_OK,
            "ApplyEnsemblePatchFiles");
    });
    std::printf("xz -d of the new file:              %8.2f ms\n", xzSeconds * 1e3);
    std::printf("ApplyEnsemblePatchFiles:            %8.2f ms\n", applySeconds * 1e3);
    std::printf("  apply time / xz -d time:          %8.3f\n", applySeconds / xzSeconds);
    std::printf("  the same with elements:           %8.3f\n", elementApplySeconds / xzSeconds);

    // Executable-aware container against xz.
    check(CompressFile(newPath, dir.path("new.kvz"), 1), "CompressFile");
    const size_t containerSize = fileSize(dir.path("new.kvz"));
    const size_t xzSize = fileSize(dir.path("new.xz"));
    const double restoreSeconds = bestSeconds(5, [&] {
        check(DecompressFile(dir.path("new.kvz"), dir.path("restored")), "DecompressFile");
    });
    check(readFile(dir.path("restored")) == newData, "restored file");
    std::printf("CompressFile (executable-aware):    %8zu bytes\n", containerSize);
    std::printf("xz -9:                              %8zu bytes\n", xzSize);
    std::printf("  container size / xz -9:           %8.3f\n", double(containerSize) / xzSize);
    std::printf("DecompressFile:                     %8.2f ms\n", restoreSeconds * 1e3);
    std::printf("  restore time / xz -d time:        %8.3f\n", restoreSeconds / xzSeconds);

    // Peak memory of one application (of the patch with elements, the larger
    // case) in a process of its own, less what the same process needs doing
    // nothing.
    const size_t idle = childPeakBytes("--idle");
    const size_t peak = childPeakBytes(
        "--apply " + oldPath + " " + dir.path("patch") + " " + dir.path("applied"));
    std::printf("peak memory of an application:      %8zu bytes (%zu above an idle run)\n", peak,
        peak - idle);
    std::printf("  (peak - idle) / (old + new):      %8.3f\n\n",
        double(peak - idle) / double(oldData.size() + newData.size()));
}

} // namespace

int main(int argc, char** argv)
{
    // The child runs of the memory measurement.
    if (argc == 5 && std::strcmp(argv[1], "--apply") == 0) {
        if (ApplyEnsemblePatchFiles(argv[2], argv[3], argv[4]) != C_OK)
            return 1;
        std::printf("%zu\n", ownPeakBytes());
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) {
        std::printf("%zu\n", ownPeakBytes());
        return 0;
    }

    const int functions = argc > 1 ? std::atoi(argv[1]) : 8000;
    requireTools({"gcc", "clang", "xdelta3", "zstd", "xz"});
    ScratchDir dir;
    buildGeneratedPair(dir, functions);
    std::printf("pair 1 (that of the diff benchmark): x86-64 builds of a generated program with "
                "%d functions\n",
        functions);
    benchPair(dir, dir.path("old"), dir.path("new"));

    // The updater's own platform: 32-bit x86, position independent.
    writeFile(dir.path("old32.c"), freestandingProgram(functions, 0));
    writeFile(dir.path("new32.c"), freestandingProgram(functions, 1));
    const std::string i386 = "clang --target=i386-linux-gnu -O2 -fPIE -pie -nostdlib -fuse-ld=lld "
                             "-Wl,--pack-dyn-relocs=none -Wl,-e,main "
                             "-Wl,--unresolved-symbols=ignore-all -s -o ";
    run(i386 + dir.path("old32") + " " + dir.path("old32.c") + " & " + i386 + dir.path("new32")
        + " " + dir.path("new32.c") + "; wait");
    std::printf("pair 2: the same program built for 32-bit x86 as a position-independent image\n");
    benchPair(dir, dir.path("old32"), dir.path("new32"));
    return 0;
}
