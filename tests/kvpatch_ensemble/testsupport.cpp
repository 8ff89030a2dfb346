#include "testsupport.h"

#include "crc32.h"
#include "kvdiff.h"
#include "lzmaio.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

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
