// LZMA2 block decode throughput against xz -d of the same data.
//   bench_lzma2 [megabytes]   (default 24)
#include "benchutil.h"
#include "lzmaio.h"

#include <cstdio>
#include <cstdlib>

using namespace kvpatch;

namespace {

// Text and machine code, like the files the engine unpacks: the system's
// C++ headers and shared libraries, half and half.
Bytes sampleData(size_t size, const ScratchDir& dir)
{
    const std::string half = std::to_string(size / 2);
    run("find /usr/include -name '*.h*' -type f | sort | xargs cat 2>/dev/null | head -c " + half
        + " > " + dir.path("data"));
    run("find /usr/lib/x86_64-linux-gnu /usr/lib -maxdepth 1 -name '*.so*' -type f | sort | xargs "
        "cat 2>/dev/null | head -c "
        + half + " >> " + dir.path("data"));
    return readFile(dir.path("data"));
}

} // namespace

int main(int argc, char** argv)
{
    const size_t megabytes = argc > 1 ? size_t(std::atoi(argv[1])) : 24;
    if (!toolAvailable("xz")) {
        std::fprintf(stderr, "xz is needed (scripts/setup-deps.sh installs it)\n");
        return 2;
    }
    ScratchDir dir;
    const Bytes data = sampleData(megabytes << 20, dir);
    run("xz -9 -k -f " + dir.path("data"));

    SinkStream block;
    if (!Lzma2EncodeBuffer(data.data(), data.size(), &block)) {
        std::fprintf(stderr, "encoding failed\n");
        return 1;
    }
    const double ours = bestSeconds(5, [&] {
        SourceStream source;
        source.Init(block);
        SinkStream out;
        if (!Lzma2DecodeToSink(&source, &out) || out.Length() != data.size()) {
            std::fprintf(stderr, "decoding failed\n");
            std::exit(1);
        }
    });
    const double xz
        = bestSeconds(5, [&] { run("xz -d -c " + dir.path("data.xz") + " > /dev/null"); });
    const double mb = double(data.size()) / (1 << 20);
    std::printf("data: %.0f MiB of C/C++ headers and shared libraries; block %zu bytes, xz -9 %zu "
                "bytes\n",
        mb, block.Length(), fileSize(dir.path("data.xz")));
    std::printf("Lzma2DecodeToSink: %8.1f MB/s\n", mb / ours);
    std::printf("xz -d:             %8.1f MB/s\n", mb / xz);
    std::printf("throughput / xz -d throughput: %.3f\n", xz / ours);
    return 0;
}
