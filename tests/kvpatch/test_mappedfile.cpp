#include "filewriter.h"
#include "mappedfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

using namespace kvpatch;

namespace {

class MappedFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvpatch_mappedXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string writeFile(const std::string& name, const std::string& content)
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::string m_dir;
};

TEST_F(MappedFileTest, MapsWholeFile)
{
    const std::string path = writeFile("a", "hello world");
    MappedFile file(path);
    ASSERT_TRUE(file.isValid());
    EXPECT_EQ(file.size(), 11u);
    EXPECT_EQ(file.mappedSize(), 11u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), 11), "hello world");
    EXPECT_EQ(file[4], 'o');
    EXPECT_EQ(file.at(10), 'd');
    EXPECT_THROW(file.at(11), std::out_of_range);
    EXPECT_GT(MappedFile::pageSize(), 0u);
}

TEST_F(MappedFileTest, MissingFileHasNoView)
{
    MappedFile file(m_dir + "/missing");
    EXPECT_FALSE(file.isValid());
    EXPECT_EQ(file.data(), nullptr);
    try {
        file.at(0);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "No view mapped");
    }
}

TEST_F(MappedFileTest, EmptyFileHasNoView)
{
    MappedFile file(writeFile("empty", ""));
    EXPECT_FALSE(file.isValid());
    EXPECT_EQ(file.size(), 0u);
}

TEST_F(MappedFileTest, RemapClipsAndFailsAtTheEnd)
{
    std::string content(3 * MappedFile::pageSize() + 10, 'x');
    content[MappedFile::pageSize()] = 'P';
    MappedFile file(writeFile("big", content), 0, MappedFile::Sequential);
    ASSERT_TRUE(file.isValid());
    ASSERT_TRUE(file.remap(MappedFile::pageSize(), 100));
    EXPECT_EQ(file.mappedSize(), 100u);
    EXPECT_EQ(file[0], 'P');
    ASSERT_TRUE(file.remap(MappedFile::pageSize(), 0xFFFFFFFFu));
    EXPECT_EQ(file.mappedSize(), content.size() - MappedFile::pageSize());
    // Offset equal to the file size: 0 bytes to map, which fails.
    EXPECT_FALSE(file.remap(content.size(), 0));
    EXPECT_FALSE(file.isValid());
    EXPECT_FALSE(file.remap(content.size() + 1, 1));
    ASSERT_TRUE(file.remap(0, 0));
    EXPECT_EQ(file.mappedSize(), content.size());
}

TEST_F(MappedFileTest, OpenKeepsAnExistingView)
{
    MappedFile file(writeFile("a", "first"), 0, MappedFile::Random);
    ASSERT_TRUE(file.isValid());
    EXPECT_FALSE(file.open(writeFile("b", "second!")));
    EXPECT_EQ(file.size(), 5u);
    EXPECT_EQ(file[0], 'f');
}

TEST_F(MappedFileTest, CloseReleasesAndAllowsReopen)
{
    MappedFile file(writeFile("a", "first"));
    file.close();
    EXPECT_FALSE(file.isValid());
    EXPECT_EQ(file.size(), 0u);
    EXPECT_EQ(file.mappedSize(), 0u);
    EXPECT_FALSE(file.remap(0, 0));
    ASSERT_TRUE(file.open(writeFile("b", "second!")));
    EXPECT_EQ(file.size(), 7u);
    EXPECT_FALSE(MappedFile().open(m_dir + "/missing"));
}

TEST_F(MappedFileTest, WriteBufferToFileCreatesAndTruncates)
{
    const std::string path = writeFile("out", "a much longer old content");
    EXPECT_EQ(WriteBufferToFile(path, "new", 3), 3u);
    MappedFile file(path);
    ASSERT_TRUE(file.isValid());
    EXPECT_EQ(file.size(), 3u);
    EXPECT_EQ(WriteBufferToFile(m_dir + "/no/such/dir", "x", 1), 0u);
    EXPECT_EQ(WriteBufferToFile(m_dir + "/empty", "", 0), 0u);
    EXPECT_EQ(MappedFile(m_dir + "/empty").size(), 0u);
}

TEST_F(MappedFileTest, WriteFailureIsAShortCount)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    std::string data(100000, 'x');
    EXPECT_LT(WriteBufferToFile("/dev/full", data.data(), data.size()), data.size());
}

} // namespace
