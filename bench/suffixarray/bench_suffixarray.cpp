// Times BuildSuffixArray against libdivsufsort's divsufsort on the same inputs
// (text, executables, random bytes, a repetitive corpus) and prints the ratio
// of our time to theirs per input. Both results are compared entry by entry.
//   bench_suffixarray [megabytes per input, default 32] [repetitions, default 3] [input name]
#include "suffixarray.h"

#include <divsufsort.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// Appends the regular files under the roots whose names pass the filter, in
// sorted order, until size bytes are collected.
Bytes gatherFiles(const std::vector<std::string>& roots, size_t size,
    const std::function<bool(const fs::path&)>& wanted)
{
    std::vector<fs::path> paths;
    for (const auto& root : roots) {
        std::error_code ec;
        fs::recursive_directory_iterator it(
            root, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code sec;
            if (it->is_regular_file(sec) && !it->is_symlink(sec) && wanted(it->path())) {
                paths.push_back(it->path());
            }
        }
    }
    std::sort(paths.begin(), paths.end());
    Bytes out;
    out.reserve(size);
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        out.insert(out.end(), content.begin(),
            content.begin() + std::min(content.size(), size - out.size()));
        if (out.size() >= size) {
            break;
        }
    }
    return out;
}

bool isElf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    return in && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

bool isSourceText(const fs::path& path)
{
    const std::string ext = path.extension().string();
    return ext == ".h" || ext == ".hpp" || ext == ".txt" || ext == ".py" || ext == ".pl"
        || ext == ".pm" || ext == ".html" || ext == ".css" || ext == ".js";
}

Bytes randomBytes(size_t size)
{
    std::mt19937_64 rng(42);
    Bytes out(size);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t v = rng();
        std::copy(reinterpret_cast<const uint8_t*>(&v), reinterpret_cast<const uint8_t*>(&v) + 8,
            out.begin() + long(i));
    }
    return out;
}

// Successive "releases": one block copied over and over with a few edits each.
Bytes editedCopies(const Bytes& block, size_t size)
{
    std::mt19937 rng(7);
    Bytes out;
    out.reserve(size);
    Bytes current = block;
    while (out.size() < size) {
        for (int edit = 0; edit < 50; ++edit) {
            current[rng() % current.size()] = uint8_t(rng());
        }
        out.insert(out.end(), current.begin(),
            current.begin() + std::min(current.size(), size - out.size()));
    }
    return out;
}

double seconds(const std::function<void()>& run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool measure(const char* name, const Bytes& input, int repetitions)
{
    const auto n = int32_t(input.size());
    std::vector<int32_t> ours(input.size()), theirs(input.size());
    int32_t ourStatus = 0;
    // Alternate the two and keep each one's best, so that a burst of load on
    // the machine does not favour either.
    double ourTime = 1e30;
    double theirTime = 1e30;
    for (int r = 0; r < repetitions; ++r) {
        ourTime = std::min(ourTime,
            seconds([&] { ourStatus = kvpatch::BuildSuffixArray(input.data(), ours.data(), n); }));
        theirTime
            = std::min(theirTime, seconds([&] { divsufsort(input.data(), theirs.data(), n); }));
    }
    const bool same = ourStatus == 0 && ours == theirs;
    const double mb = double(n) / 1e6;
    std::printf("%-12s %7.1f MB  ours %7.3f s (%6.2f MB/s)  divsufsort %7.3f s (%6.2f MB/s)  "
                "ratio %.2f%s\n",
        name, mb, ourTime, mb / ourTime, theirTime, mb / theirTime, ourTime / theirTime,
        same ? "" : "  RESULTS DIFFER");
    std::fflush(stdout);
    return same;
}

} // namespace

int main(int argc, char** argv)
{
    const size_t size = size_t(argc > 1 ? std::atoi(argv[1]) : 32) << 20;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    if (size == 0 || repetitions < 1) {
        std::fprintf(stderr, "usage: %s [megabytes] [repetitions]\n", argv[0]);
        return 2;
    }

    const Bytes text = gatherFiles({"/usr/include", "/usr/share"}, size, isSourceText);
    const Bytes executables = gatherFiles({"/usr/bin", "/usr/lib/x86_64-linux-gnu"}, size, isElf);
    const Bytes random = randomBytes(size);
    const Bytes repetitive
        = editedCopies(Bytes(executables.begin(), executables.begin() + (1 << 20)), size);

    const std::string only = argc > 3 ? argv[3] : "";
    bool ok = true;
    const std::pair<const char*, const Bytes*> inputs[] = {{"text", &text},
        {"executables", &executables}, {"random", &random}, {"repetitive", &repetitive}};
    for (const auto& input : inputs) {
        if (only.empty() || only == input.first) {
            ok &= measure(input.first, *input.second, repetitions);
        }
    }
    return ok ? 0 : 1;
}
