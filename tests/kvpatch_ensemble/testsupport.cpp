#include "testsupport.h"

#include "crc32.h"
#include "kvdiff.h"
#include "lzmaio.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

TempDir::TempDir()
{
    char pattern[] = "/tmp/kvpatch_ensemble_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made)
        m_path = made;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path)
{
    return std::filesystem::exists(path);
}

std::vector<std::string> ListDirectory(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry :
        std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        names.push_back(entry.path().filename().string());
    return names;
}

Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(n);
    for (uint8_t& b : bytes)
        b = uint8_t(random());
    return bytes;
}

Bytes TextBytes(size_t n)
{
    static const char* const words[] = {"update ", "client ", "release ", "patch ", "version\n",
        "kelvarion ", "section ", "[files]\n", "hash=", "size="};
    std::string text;
    for (size_t i = 0; text.size() < n; ++i)
        text += words[(i * 7 + i / 3) % 10];
    text.resize(n);
    return ToBytes(text);
}

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

void LogCapture::write(const std::string& message, int level, const std::string&, uint64_t,
    const std::string&, const std::string&)
{
    records.push_back({message, level});
}

bool LogCapture::contains(const std::string& message) const
{
    for (const Record& r : records) {
        if (r.message == message)
            return true;
    }
    return false;
}

std::string LogCapture::all() const
{
    std::string text;
    for (const Record& r : records)
        text += r.message + "\n";
    return text;
}

void AppendVarint(Bytes* out, uint32_t value)
{
    while (value >= 128) {
        out->push_back(uint8_t(value | 0x80));
        value >>= 7;
    }
    out->push_back(uint8_t(value));
}

uint32_t ReadVarintAt(const Bytes& bytes, size_t* position)
{
    uint32_t value = 0;
    for (int shift = 0; *position < bytes.size(); shift += 7) {
        const uint8_t b = bytes[(*position)++];
        value |= uint32_t(b & 0x7F) << shift;
        if (!(b & 0x80))
            break;
    }
    return value;
}

PatchParts SplitPatch(const Bytes& patch)
{
    PatchParts parts;
    size_t position = 0;
    parts.magic = ReadVarintAt(patch, &position);
    parts.version = ReadVarintAt(patch, &position);
    parts.sourceCrc = ReadVarintAt(patch, &position);
    parts.targetCrc = ReadVarintAt(patch, &position);
    parts.finalInputSize = ReadVarintAt(patch, &position);
    kvpatch::SourceStream body(patch.data() + position, patch.size() - position);
    kvpatch::SinkStream decoded;
    EXPECT_TRUE(kvpatch::Lzma2DecodeToSink(&body, &decoded));
    kvpatch::SourceStreamSet set;
    EXPECT_TRUE(set.Init(decoded.Buffer(), decoded.Length()));
    for (uint32_t i = 0; i < set.Count(); ++i) {
        kvpatch::SourceStream* s = set.Stream(i);
        parts.streams.emplace_back(s->Buffer(), s->Buffer() + s->Remaining());
    }
    return parts;
}

Bytes JoinPatch(const PatchParts& parts)
{
    Bytes patch;
    AppendVarint(&patch, parts.magic);
    AppendVarint(&patch, parts.version);
    AppendVarint(&patch, parts.sourceCrc);
    AppendVarint(&patch, parts.targetCrc);
    AppendVarint(&patch, parts.finalInputSize);
    const Bytes body = SerializedSet(parts.streams);
    kvpatch::SinkStream block;
    EXPECT_TRUE(kvpatch::Lzma2EncodeBuffer(body.data(), body.size(), &block));
    patch.insert(patch.end(), block.Buffer(), block.Buffer() + block.Length());
    return patch;
}

Bytes SerializedSet(const std::vector<Bytes>& streams)
{
    kvpatch::SinkStreamSet set;
    set.Init(uint32_t(streams.size()));
    for (size_t i = 0; i < streams.size(); ++i)
        EXPECT_TRUE(set.Stream(i)->Write(streams[i].data(), streams[i].size()));
    kvpatch::SinkStream out;
    EXPECT_TRUE(set.WriteAll(&out));
    return Bytes(out.Buffer(), out.Buffer() + out.Length());
}

Bytes EmptyNestedSets(uint32_t count)
{
    kvpatch::SinkStreamSet set;
    for (uint32_t i = 0; i < count; ++i) {
        kvpatch::SinkStreamSet none;
        EXPECT_TRUE(set.WriteNested(&none));
    }
    kvpatch::SinkStream out;
    EXPECT_TRUE(set.WriteAll(&out));
    return Bytes(out.Buffer(), out.Buffer() + out.Length());
}

Bytes DiffBytes(const Bytes& from, const Bytes& to)
{
    kvpatch::SourceStream old(from.data(), from.size());
    kvpatch::SourceStream fresh(to.data(), to.size());
    kvpatch::SinkStream diff;
    EXPECT_TRUE(kvpatch::GenerateDiff(&old, &fresh, &diff, false, kvpatch::DiffRaw));
    return Bytes(diff.Buffer(), diff.Buffer() + diff.Length());
}

uint32_t Crc(const Bytes& bytes)
{
    return kvpatch::ComputeCrc32(bytes.data(), bytes.size());
}

Bytes ZeroBlock(uint32_t size)
{
    const Bytes zeros(6 << 20, 0);
    kvpatch::SinkStream encoded;
    EXPECT_TRUE(kvpatch::Lzma2EncodeBuffer(zeros.data(), zeros.size(), &encoded));
    const Bytes block(encoded.Buffer(), encoded.Buffer() + encoded.Length());
    // LZMA chunks: a control byte and 21 bits of unpacked size less one, 16
    // bits of packed size less one, and from 0xC0 on a properties byte.
    const auto unpacked = [&block](size_t at) {
        return ((uint32_t(block[at] & 0x1F) << 16) | (block[at + 1] << 8) | block[at + 2]) + 1;
    };
    const auto next = [&block](size_t at) {
        return at + (block[at] >= 0xC0 ? 6 : 5) + ((block[at + 3] << 8) | block[at + 4]) + 1;
    };
    size_t first = 1;
    ReadVarintAt(block, &first);
    const size_t steady = next(first);
    const size_t end = next(steady);
    // The chunk after the first repeats: the coder has settled.
    EXPECT_TRUE(
        end - steady <= block.size() - end && std::equal(&block[steady], &block[end], &block[end]));
    const uint32_t repeats = (size - unpacked(first)) / unpacked(steady);
    Bytes out = {block[0]};
    AppendVarint(&out, unpacked(first) + repeats * unpacked(steady));
    out.insert(out.end(), &block[first], &block[steady]);
    for (uint32_t i = 0; i < repeats; ++i)
        out.insert(out.end(), &block[steady], &block[end]);
    out.push_back(0);
    return out;
}

Bytes ZeroBlocksDiff(uint32_t newSize, uint32_t sectionSize)
{
    Bytes diff = {kvpatch::DiffThreeBlocks};
    AppendVarint(&diff, newSize);
    const Bytes section = ZeroBlock(sectionSize);
    for (int i = 0; i < 3; ++i)
        diff.insert(diff.end(), section.begin(), section.end());
    return diff;
}

int RunInChildWithin(long limitKiB, const std::function<int()>& work)
{
    const pid_t child = fork();
    if (child == 0) {
        // A child's peak starts from what it shares at the fork, not from the
        // whole test run's.
        const int result = work();
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        _exit(usage.ru_maxrss <= limitKiB ? result : 255);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)
        || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}
