// Diff size and apply time on two builds of one program that differ as
// releases do. Patch size against xdelta3 -9 and zstd --patch-from -19
// --long on the same pair, apply time against xz -d of the new file.
//   bench_kvdiff [functions]   (default 8000)
#include "benchutil.h"
#include "kvdiff.h"

#include <cstdio>
#include <cstdlib>

using namespace kvpatch;

namespace {

Bytes generateDiff(const Bytes& oldData, const Bytes& newData, uint8_t method)
{
    SourceStream oldSource(oldData.data(), oldData.size());
    SourceStream newSource(newData.data(), newData.size());
    SinkStream diff;
    if (!GenerateDiff(&oldSource, &newSource, &diff, false, method)) {
        std::fprintf(stderr, "GenerateDiff failed\n");
        std::exit(1);
    }
    return Bytes(diff.Buffer(), diff.Buffer() + diff.Length());
}

void applyDiff(const Bytes& oldData, const Bytes& diff, const Bytes& expected)
{
    SourceStream oldSource(oldData.data(), oldData.size());
    SourceStream diffSource(diff.data(), diff.size());
    SinkStream out;
    if (!ApplyDiff(&oldSource, &diffSource, &out, false) || out.Length() != expected.size()
        || !std::equal(expected.begin(), expected.end(), out.Buffer())) {
        std::fprintf(stderr, "ApplyDiff failed\n");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int functions = argc > 1 ? std::atoi(argv[1]) : 8000;
    requireTools({"gcc", "xdelta3", "zstd", "xz"});
    ScratchDir dir;
    buildGeneratedPair(dir, functions);
    const Bytes oldData = readFile(dir.path("old"));
    const Bytes newData = readFile(dir.path("new"));
    std::printf("pair: two builds of a generated program with %d functions: old %zu bytes, new %zu "
                "bytes\n",
        functions, oldData.size(), newData.size());

    run("xdelta3 -9 -e -f -s " + dir.path("old") + " " + dir.path("new") + " "
        + dir.path("x.vcdiff"));
    run("zstd -q -f -19 --long=27 --patch-from=" + dir.path("old") + " " + dir.path("new") + " -o "
        + dir.path("z.zst"));
    run("xz -9 -k -f " + dir.path("new"));
    const size_t xdeltaSize = fileSize(dir.path("x.vcdiff"));
    const size_t zstdSize = fileSize(dir.path("z.zst"));
    std::printf("xdelta3 -9:                        %8zu bytes\n", xdeltaSize);
    std::printf("zstd --patch-from -19 --long:      %8zu bytes\n", zstdSize);

    const double xzSeconds
        = bestSeconds(5, [&] { run("xz -d -c " + dir.path("new.xz") + " > /dev/null"); });
    std::printf("xz -d of the new file:             %8.2f ms\n", xzSeconds * 1e3);

    for (uint8_t method : {uint8_t(DiffThreeBlocks), uint8_t(DiffOneBlock)}) {
        Bytes diff;
        const double generateSeconds
            = bestSeconds(1, [&] { diff = generateDiff(oldData, newData, method); });
        const double applySeconds = bestSeconds(5, [&] { applyDiff(oldData, diff, newData); });
        std::printf("\nGenerateDiff method %d:             %8zu bytes (generated in %.2f s)\n",
            method, diff.size(), generateSeconds);
        std::printf("  patch size / xdelta3 -9:         %8.3f\n", double(diff.size()) / xdeltaSize);
        std::printf("  patch size / zstd --patch-from:  %8.3f\n", double(diff.size()) / zstdSize);
        std::printf("  ApplyDiff:                       %8.2f ms\n", applySeconds * 1e3);
        std::printf("  apply time / xz -d time:         %8.3f\n", applySeconds / xzSeconds);
    }
    return 0;
}
