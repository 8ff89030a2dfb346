// Ensemble patches on real release pairs: two versions of the same
// distribution program or library, fetched as packages by
// fetch-release-pairs.sh (pairs that cannot be fetched are skipped with a
// note). Each tool runs as a process of its own; figures are medians of
// several interleaved runs and ratios against the reference tools of the
// same run:
//   patch size against xdelta3 -9 and zstd -19 --long --patch-from (and xz -9
//   of the new file alone);
//   application time against xz -d of the new file, xdelta3 -d and zstd -d,
//   and its peak memory against old plus new;
//   writer time and peak memory against zstd --patch-from.
//   bench_release_pairs [--large] [--runs N] [--pairs DIR] [--keep DIR] [NAME...]
// --large adds a pair of a large library two major versions apart;
// --keep leaves each pair's patch and output in DIR/NAME for comparisons.
#include "benchutil.h"
#include "ensemblepatch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options
{
    bool large = false;
    int runs = 5;
    std::string pairs = KV_RELEASE_PAIRS_DIR;
    std::string keep;
    std::vector<std::string> names;
};

std::string quoted(const std::string& path)
{
    return "'" + path + "'";
}

std::vector<std::string> pairNames(const std::string& root)
{
    std::vector<std::string> names;
    DIR* dir = opendir(root.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (fileSize(root + "/" + name + "/old") > 0 && fileSize(root + "/" + name + "/new") > 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The window zstd needs to see the whole old file (and that xdelta3 needs as
// its source buffer).
int windowLog(size_t size)
{
    int log = 27;
    while ((size_t(1) << log) < size && log < 31)
        ++log;
    return log;
}

struct Row
{
    std::string name;
    size_t oldSize = 0;
    size_t newSize = 0;
    size_t patch = 0, xdelta = 0, zstd = 0, xz = 0;
    double apply = 0, xzApply = 0, xdeltaApply = 0, zstdApply = 0;
    size_t applyPeak = 0, xzPeak = 0, xdeltaPeak = 0, zstdPeak = 0;
    double write = 0, zstdWrite = 0;
    size_t writePeak = 0, zstdWritePeak = 0;
};

double mb(size_t bytes)
{
    return double(bytes) / 1e6;
}

Row benchPair(const Options& options, const ScratchDir& scratch, const std::string& name)
{
    const std::string oldPath = options.pairs + "/" + name + "/old";
    const std::string newPath = options.pairs + "/" + name + "/new";
    std::string work = scratch.path(name);
    if (!options.keep.empty())
        work = options.keep + "/" + name;
    run("mkdir -p " + quoted(work));
    const auto at = [&](const char* file) { return quoted(work + "/" + file); };

    Row row;
    row.name = name;
    row.oldSize = fileSize(oldPath);
    row.newSize = fileSize(newPath);
    const Bytes info = readFile(options.pairs + "/" + name + "/info");
    std::printf("%s: %s", name.c_str(), std::string(info.begin(), info.end()).c_str());
    std::printf("  old %.2f MB, new %.2f MB\n", mb(row.oldSize), mb(row.newSize));
    std::fflush(stdout);

    const int window = windowLog(row.oldSize > row.newSize ? row.oldSize : row.newSize);
    const std::string zstdWindow = " --long=" + std::to_string(window);
    const std::string xdeltaWindow = " -B " + std::to_string(size_t(1) << window);

    // Writers, once each (the large pair takes minutes).
    const ChildUsage ours = measureCommand(std::string(KV_PATCHMAKER_PATH) + " " + quoted(oldPath)
        + " " + quoted(newPath) + " " + at("patch") + " >/dev/null");
    const ChildUsage zstd = measureCommand("zstd -q -f -19" + zstdWindow + " --patch-from="
        + quoted(oldPath) + " " + quoted(newPath) + " -o " + at("z.zst") + " 2>/dev/null");
    measureCommand("xdelta3 -9 -e -f" + xdeltaWindow + " -s " + quoted(oldPath) + " "
        + quoted(newPath) + " " + at("x.vcdiff"));
    measureCommand("xz -9 -k -c " + quoted(newPath) + " > " + at("new.xz"));
    row.write = ours.wallSeconds;
    row.writePeak = ours.peakBytes;
    row.zstdWrite = zstd.wallSeconds;
    row.zstdWritePeak = zstd.peakBytes;
    row.patch = fileSize(work + "/patch");
    row.zstd = fileSize(work + "/z.zst");
    row.xdelta = fileSize(work + "/x.vcdiff");
    row.xz = fileSize(work + "/new.xz");

    // Appliers, interleaved so that load changes hit all of them alike.
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::perror("readlink");
        std::exit(2);
    }
    self[length] = 0;
    const std::string commands[4] = {
        quoted(self) + " --apply " + quoted(oldPath) + " " + at("patch") + " " + at("applied"),
        "xz -d -c " + at("new.xz") + " > " + at("xz-out"),
        "xdelta3 -d -f" + xdeltaWindow + " -s " + quoted(oldPath) + " " + at("x.vcdiff") + " "
            + at("xdelta-out"),
        "zstd -q -d -f" + zstdWindow + " --patch-from=" + quoted(oldPath) + " " + at("z.zst")
            + " -o " + at("zstd-out"),
    };
    std::vector<double> times[4];
    size_t peaks[4] = {0, 0, 0, 0};
    for (int r = 0; r < options.runs; ++r) {
        for (int tool = 0; tool < 4; ++tool) {
            const ChildUsage usage = measureCommand(commands[tool]);
            times[tool].push_back(usage.wallSeconds);
            if (usage.peakBytes > peaks[tool])
                peaks[tool] = usage.peakBytes;
        }
    }
    run("cmp -s " + at("applied") + " " + quoted(newPath));
    run("cmp -s " + at("xdelta-out") + " " + quoted(newPath));
    run("cmp -s " + at("zstd-out") + " " + quoted(newPath));
    row.apply = median(times[0]);
    row.xzApply = median(times[1]);
    row.xdeltaApply = median(times[2]);
    row.zstdApply = median(times[3]);
    row.applyPeak = peaks[0];
    row.xzPeak = peaks[1];
    row.xdeltaPeak = peaks[2];
    row.zstdPeak = peaks[3];

    std::printf(
        "  patch %10zu  xdelta3 -9 %10zu  zstd -19 --patch-from %10zu  xz -9 of new %10zu\n",
        row.patch, row.xdelta, row.zstd, row.xz);
    std::printf("  apply %8.1f ms %7.1f MB | xz -d %8.1f ms %7.1f MB | xdelta3 -d %8.1f ms "
                "%7.1f MB | zstd -d %8.1f ms %7.1f MB\n",
        row.apply * 1e3, mb(row.applyPeak), row.xzApply * 1e3, mb(row.xzPeak),
        row.xdeltaApply * 1e3, mb(row.xdeltaPeak), row.zstdApply * 1e3, mb(row.zstdPeak));
    std::printf("  write %8.2f s %7.1f MB | zstd -19 --patch-from %8.2f s %7.1f MB\n\n", row.write,
        mb(row.writePeak), row.zstdWrite, mb(row.zstdWritePeak));
    std::fflush(stdout);
    return row;
}

void printTable(const std::vector<Row>& rows)
{
    std::printf("ratios (ours / reference; apply times are medians of the runs)\n");
    std::printf("%-22s %7s | %7s %7s %7s | %7s %7s %7s %9s | %7s %7s %7s\n", "pair", "new MB",
        "size/xd", "size/zs", "size/xz", "app/xz", "app/xd", "app/zs", "peak/o+n", "wr/zs",
        "wrM/zs", "wrM/old");
    for (const Row& r : rows) {
        std::printf("%-22s %7.2f | %7.3f %7.3f %7.3f | %7.2f %7.2f %7.2f %9.2f | %7.2f %7.2f "
                    "%7.2f\n",
            r.name.c_str(), mb(r.newSize), double(r.patch) / r.xdelta, double(r.patch) / r.zstd,
            double(r.patch) / r.xz, r.apply / r.xzApply, r.apply / r.xdeltaApply,
            r.apply / r.zstdApply, double(r.applyPeak) / double(r.oldSize + r.newSize),
            r.write / r.zstdWrite, double(r.writePeak) / r.zstdWritePeak,
            double(r.writePeak) / r.oldSize);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The application measured in a process of its own; a sixth argument is
    // the new file's size, known as the updater knows it.
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--apply") == 0) {
        const uint64_t newSize
            = argc == 6 ? std::strtoull(argv[5], nullptr, 10) : kvpatch::kNewSizeUnknown;
        return kvpatch::ApplyEnsemblePatchFiles(argv[2], argv[3], argv[4], newSize) == kvpatch::C_OK
            ? 0
            : 1;
    }

    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--large")
            options.large = true;
        else if (argument == "--runs" && i + 1 < argc)
            options.runs = std::atoi(argv[++i]);
        else if (argument == "--pairs" && i + 1 < argc)
            options.pairs = argv[++i];
        else if (argument == "--keep" && i + 1 < argc)
            options.keep = argv[++i];
        else
            options.names.push_back(argument);
    }
    if (options.runs < 1)
        options.runs = 1;
    requireTools({"xdelta3", "zstd", "xz", "cmp"});
    run(std::string("bash ") + quoted(KV_FETCH_PAIRS_SCRIPT) + " " + quoted(options.pairs)
        + (options.large ? " --large" : ""));

    std::vector<std::string> names = options.names;
    if (names.empty()) {
        names = pairNames(options.pairs);
        // Fetched earlier with --large, but not asked for this time.
        if (!options.large)
            names.erase(std::remove(names.begin(), names.end(), "llvm-14-16"), names.end());
    }
    if (names.empty()) {
        std::printf("no release pairs could be fetched; nothing to measure\n");
        return 0;
    }
    ScratchDir scratch;
    std::vector<Row> rows;
    for (const std::string& name : names)
        rows.push_back(benchPair(options, scratch, name));
    printTable(rows);
    return 0;
}
