// Files of 4 GiB or more: every format holds 32-bit sizes, so each reader
// and writer refuses them with a message instead of handling a cut of them.
// The files are sparse: only their last bytes take room on the disk.
#include "testsupport.h"

#include "compressedfile.h"
#include "ensemblepatch.h"
#include "mappedfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace kvpatch;

namespace {

constexpr uint64_t kFourGiB = uint64_t(1) << 32;

// A file of 4 GiB + `tail.size()` bytes that ends in `tail`.
void WriteHugeFile(const std::string& path, const Bytes& tail)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite64(fd, tail.data(), tail.size(), off64_t(kFourGiB)), ssize_t(tail.size()));
    ::close(fd);
}

class LargeFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteHugeFile(dir.path("huge"), TextBytes(100));
        WriteFile(dir.path("out"), ToBytes("previous"));
    }

    // The existing output stays as it was and nothing is left beside it.
    void ExpectOutputUntouched(size_t files = 2)
    {
        EXPECT_EQ(ReadFile(dir.path("out")), ToBytes("previous"));
        EXPECT_EQ(ListDirectory(dir.path("out")).size(), files);
    }

    TempDir dir;
    LogCapture log;
};

TEST_F(LargeFileTest, ViewOfTheWholeFileIsRefused)
{
    MappedFile file(dir.path("huge"));
    EXPECT_FALSE(file.isValid());
    EXPECT_TRUE(file.tooLarge());
    EXPECT_EQ(file.mappedSize(), 0u);
    // A window of it is still fine, and "the rest" must fit whole.
    ASSERT_TRUE(file.remap(kFourGiB, 100));
    EXPECT_EQ(file.mappedSize(), 100u);
    EXPECT_FALSE(file.remap(1, 0));
    const uint64_t page = MappedFile::pageSize();
    EXPECT_TRUE(file.remap(kFourGiB - page, 0));
    EXPECT_EQ(file.mappedSize(), page + 100);
}

TEST_F(LargeFileTest, PackingRefuses)
{
    for (uint8_t executableAware : {0, 1}) {
        log.records.clear();
        EXPECT_FALSE(CompressFile(dir.path("huge"), dir.path("out"), executableAware));
        EXPECT_TRUE(log.contains("file too large (4 GiB or more)")) << log.all();
        ExpectOutputUntouched();
    }
}

TEST_F(LargeFileTest, UnpackingRefuses)
{
    EXPECT_FALSE(DecompressFile(dir.path("huge"), dir.path("out")));
    EXPECT_TRUE(log.contains("lzma file too large (4 GiB or more)")) << log.all();
    ExpectOutputUntouched();
}

TEST_F(LargeFileTest, PatchingRefusesHugeOldFile)
{
    // The old file is opened once the patch's header was read.
    PatchParts parts;
    parts.streams.resize(4);
    WriteFile(dir.path("patch"), JoinPatch(parts));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("huge"), dir.path("patch"), dir.path("out")),
        C_READ_ERROR);
    EXPECT_TRUE(log.contains("old file too large (4 GiB or more)")) << log.all();
    ExpectOutputUntouched(3);
}

TEST_F(LargeFileTest, PatchingRefusesHugePatch)
{
    WriteFile(dir.path("old"), TextBytes(100));
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("huge"), dir.path("out")),
        C_READ_OPEN_ERROR);
    EXPECT_TRUE(log.contains("patch file too large (4 GiB or more)")) << log.all();
}

} // namespace
