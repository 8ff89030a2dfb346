// Helpers shared by the patch engine benchmarks: a scratch directory, files,
// external tools and wall-clock timing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A temporary directory removed when the object ends.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    std::string path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& data);
void writeFile(const std::string& path, const std::string& text);
size_t fileSize(const std::string& path);

// Runs a shell command; exits the benchmark when it fails.
void run(const std::string& command);
bool toolAvailable(const std::string& tool);
// Exits the benchmark when one of the tools is missing.
void requireTools(std::initializer_list<const char*> tools);

// Best CPU seconds (user and system, of this process and of the commands it
// ran) of `repeats` calls. CPU time rather than wall time, so that other load
// on a shared machine does not skew the ratios.
double bestSeconds(int repeats, const std::function<void()>& work);

// What one child process took: wall and CPU seconds and its peak resident
// size in bytes (from wait4, as /usr/bin/time -v reports it).
struct ChildUsage
{
    double wallSeconds = 0;
    double cpuSeconds = 0;
    size_t peakBytes = 0;
};
// Runs `command` through /bin/sh in a child process of its own; exits the
// benchmark when it fails.
ChildUsage measureCommand(const std::string& command);
// The median of `values` (which it sorts).
double median(std::vector<double> values);

// Source of a C program with `functions` functions; `variant` 1 changes a
// few function bodies and inserts new code near the start, as a later
// release of the same program would.
std::string generatedProgram(int functions, int variant);
// Builds variants 0 and 1 of that program with gcc -O2 -s into "old" and
// "new" in the scratch directory.
void buildGeneratedPair(const ScratchDir& dir, int functions);
