#include "benchutil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/kvpatch_benchXXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    m_path = pattern;
}

ScratchDir::~ScratchDir()
{
    const std::string command = "rm -rf '" + m_path + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", m_path.c_str());
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& data)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), data.size());
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

size_t fileSize(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? size_t(status.st_size) : 0;
}

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "command failed: %s\n", command.c_str());
        std::exit(2);
    }
}

bool toolAvailable(const std::string& tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

void requireTools(std::initializer_list<const char*> tools)
{
    for (const char* tool : tools) {
        if (!toolAvailable(tool)) {
            std::fprintf(stderr, "%s is missing (scripts/setup-deps.sh installs it)\n", tool);
            std::exit(2);
        }
    }
}

namespace {

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) * 1e-6;
}

double cpuSecondsSoFar()
{
    rusage self;
    rusage children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime)
        + seconds(children.ru_stime);
}

} // namespace

double bestSeconds(int repeats, const std::function<void()>& work)
{
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const double start = cpuSecondsSoFar();
        work();
        const double elapsed = cpuSecondsSoFar() - start;
        if (elapsed < best)
            best = elapsed;
    }
    return best;
}

ChildUsage measureCommand(const std::string& command)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status)
        || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "command failed: %s\n", command.c_str());
        std::exit(2);
    }
    ChildUsage result;
    result.wallSeconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    // The shell execs a lone command, so this is the command's own peak.
    result.peakBytes = size_t(usage.ru_maxrss) * 1024;
    return result;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

namespace {

void appendFunction(
    std::ostringstream& out, const std::string& name, int seed, const std::string& callee)
{
    out << "__attribute__((noinline)) int " << name << "(int x)\n{\n"
        << "    int y = x * " << (seed * 2654435761u % 1000 + 3) << " + table[" << seed % 512
        << "];\n"
        << "    for (int i = 0; i < (x & 7); ++i) {\n"
        << "        y ^= (y << " << seed % 13 + 1 << ") + table[(y + i) & 511];\n"
        << "        if (y & " << (1 << (seed % 16)) << ")\n"
        << "            y += " << seed % 97 << ";\n"
        << "    }\n";
    if (!callee.empty())
        out << "    if (x > 100000)\n        y += " << callee << "(x - 1);\n";
    if (seed % 7 == 0)
        out << "    if (y == " << seed << ")\n        puts(\"message " << seed << " from " << name
            << "\");\n";
    out << "    counter += y;\n    return y;\n}\n\n";
}

} // namespace

std::string generatedProgram(int functions, int variant)
{
    std::ostringstream out;
    out << "#include <stdio.h>\n#include <stdlib.h>\n\nint table[512];\nint counter;\n";
    if (variant)
        out << "int added_state[64];\n";
    out << "\n";
    // A later release inserts a few functions early, so that everything
    // after them moves.
    if (variant) {
        for (int i = 0; i < 12; ++i)
            appendFunction(out, "inserted" + std::to_string(i), 7777 + i, "");
    }
    for (int i = 0; i < functions; ++i) {
        // ... and changes a few bodies.
        const bool changed = variant && (i % (functions / 6) == 5);
        appendFunction(out, "f" + std::to_string(i), changed ? i + 100003 : i,
            i > 0 ? "f" + std::to_string(i - 1) : "");
    }
    out << "typedef int (*fn)(int);\nfn all[] = {\n";
    for (int i = 0; i < functions; ++i)
        out << "    f" << i << ",\n";
    if (variant) {
        for (int i = 0; i < 12; ++i)
            out << "    inserted" << i << ",\n";
    }
    out << "};\n\nint main(int argc, char** argv)\n{\n"
        << "    int n = argc > 1 ? atoi(argv[1]) : 0;\n"
        << "    for (unsigned i = 0; i < sizeof(all) / sizeof(all[0]); ++i)\n"
        << "        n += all[i](n & 15);\n"
        << "    printf(\"%d %d\\n\", n, counter);\n    return 0;\n}\n";
    return out.str();
}

void buildGeneratedPair(const ScratchDir& dir, int functions)
{
    writeFile(dir.path("old.c"), generatedProgram(functions, 0));
    writeFile(dir.path("new.c"), generatedProgram(functions, 1));
    run("gcc -O2 -s -o " + dir.path("old") + " " + dir.path("old.c") + " & gcc -O2 -s -o "
        + dir.path("new") + " " + dir.path("new.c") + "; wait");
}
