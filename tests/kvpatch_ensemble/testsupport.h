// Files, logs and patch pieces shared by the container and patch tests.
#pragma once

#include "log.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A directory of its own under the system's temporary directory, removed
// with everything in it at the end of the test.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Names in the directory of `path`, to see that nothing was left behind.
std::vector<std::string> ListDirectory(const std::string& path);

Bytes RandomBytes(size_t n, uint32_t seed);
Bytes TextBytes(size_t n);
Bytes ToBytes(const std::string& text);

// Records what the engine logs while it exists.
class LogCapture : public LogBase
{
public:
    void flush() override { }
    void notify2(uint32_t, uint32_t) override { }
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
        const std::string& time, const std::string& line) override;

    bool contains(const std::string& message) const;
    std::string all() const;

    struct Record
    {
        std::string message;
        int level;
    };
    std::vector<Record> records;
};

// Varints as the engine writes them.
void AppendVarint(Bytes* out, uint32_t value);
uint32_t ReadVarintAt(const Bytes& bytes, size_t* position);

// The pieces of an ensemble patch, for taking a patch apart and writing a
// changed one.
struct PatchParts
{
    uint32_t magic = 0x756F43;
    uint32_t version = 20110216;
    uint32_t sourceCrc = 0;
    uint32_t targetCrc = 0;
    uint32_t finalInputSize = 0;
    std::vector<Bytes> streams; // the body's stream set
};

PatchParts SplitPatch(const Bytes& patch);
Bytes JoinPatch(const PatchParts& parts);
// A serialised stream set of as many streams as given.
Bytes SerializedSet(const std::vector<Bytes>& streams);
// A serialised stream set (count 10) whose stream 0 holds `count` empty
// nested sets: the parameters of `count` elements.
Bytes EmptyNestedSets(uint32_t count);
// A diff (no header, raw) from one byte string to another.
Bytes DiffBytes(const Bytes& from, const Bytes& to);
uint32_t Crc(const Bytes& bytes);

// An LZMA2 block that announces and holds about `size` zero bytes (whole
// chunks of them) in some 150 KB per GiB: once the coder has settled, zeros
// pack into chunks of the same bytes, repeated as often as wanted.
Bytes ZeroBlock(uint32_t size);
// A diff (three blocks) that states `newSize` new bytes and whose sections
// are each a ZeroBlock of `sectionSize`.
Bytes ZeroBlocksDiff(uint32_t newSize, uint32_t sectionSize);
// Runs `work` in a child process and returns its result; -1 when the child
// ended otherwise or its resident memory ever passed `limitKiB`.
int RunInChildWithin(long limitKiB, const std::function<int()>& work);
