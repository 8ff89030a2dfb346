// The kvpatchmaker program on the inputs a release engineer gets wrong:
// run as a child process, it must say what is wrong, exit with 1 (inputs,
// writing) or 2 (usage), and leave every existing file as it was.
#include "testsupport.h"

#include "compressedfile.h"
#include "ensemblepatch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kvpatch;

namespace {

struct ToolRun
{
    int exitCode = -1;
    std::string errors;
};

// Runs the tool with `arguments`; a non-zero `fileSizeLimit` makes every
// write past that many bytes fail as on a full disk.
ToolRun RunTool(const std::vector<std::string>& arguments, rlim_t fileSizeLimit = 0)
{
    // A pipe, not a file: the size limit must not cut the messages.
    int errors[2];
    if (pipe(errors) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        ::close(errors[0]);
        ::close(errors[1]);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (fileSizeLimit) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = {fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv = {const_cast<char*>(KV_PATCHMAKER)};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(KV_PATCHMAKER, argv.data());
        _exit(127);
    }
    ::close(errors[1]);
    ToolRun run;
    char buffer[4096];
    ssize_t n;
    while ((n = read(errors[0], buffer, sizeof(buffer))) > 0)
        run.errors.append(buffer, size_t(n));
    ::close(errors[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

class PatchMakerToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        oldBytes = TextBytes(30000);
        newBytes = oldBytes;
        newBytes[100] ^= 1;
        newBytes.insert(newBytes.begin() + 5000, 300, 'n');
        WriteFile(dir.path("old"), oldBytes);
        WriteFile(dir.path("new"), newBytes);
        WriteFile(dir.path("good.patch"), ToBytes("a good patch from before"));
        mkdir(dir.path("directory").c_str(), 0700);
        WriteFile(dir.path("empty"), {});
        // Sparse: 4 GiB + 1 byte that take one block on the disk.
        const int huge = ::open(dir.path("huge").c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0600);
        ASSERT_EQ(pwrite64(huge, "x", 1, off64_t(1) << 32), 1);
        ::close(huge);
    }

    // Runs the tool and checks its exit code and the start of its message.
    void Expect(const std::vector<std::string>& arguments, int exitCode, const std::string& message,
        rlim_t fileSizeLimit = 0)
    {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const ToolRun run = RunTool(arguments, fileSizeLimit);
        EXPECT_EQ(run.exitCode, exitCode) << run.errors;
        EXPECT_NE(run.errors.find(message), std::string::npos) << run.errors;
        // Nothing existing changed, nothing new was left behind.
        EXPECT_EQ(ReadFile(dir.path("old")), oldBytes);
        EXPECT_EQ(ReadFile(dir.path("new")), newBytes);
        EXPECT_EQ(ReadFile(dir.path("good.patch")), ToBytes("a good patch from before"));
        EXPECT_EQ(ListDirectory(dir.path("old")).size(), 6u);
    }

    TempDir dir;
    Bytes oldBytes;
    Bytes newBytes;
};

TEST_F(PatchMakerToolTest, BadInputsAreRefusedAndNothingIsLost)
{
    const std::string old = dir.path("old");
    const std::string fresh = dir.path("new");
    const std::string good = dir.path("good.patch");
    const std::string directory = dir.path("directory");
    const std::string missing = dir.path("missing");
    Expect({directory, fresh, dir.path("p")}, 1, "OLD '" + directory + "' is not a regular file");
    Expect({old, directory, dir.path("p")}, 1, "NEW '" + directory + "' is not a regular file");
    Expect({missing, fresh, dir.path("p")}, 1,
        "OLD '" + missing + "' cannot be read: No such file or directory");
    Expect({old, fresh, old}, 1, "PATCH '" + old + "' is the same file as OLD");
    Expect({old, fresh, dir.path("./new")}, 1, "is the same file as NEW");
    Expect({dir.path("empty"), fresh, dir.path("p")}, 1, "is empty; the updater cannot patch");
    Expect({dir.path("huge"), fresh, dir.path("p")}, 1, "is 4 GiB or more");
    Expect({old, dir.path("huge"), dir.path("p")}, 1, "is 4 GiB or more");
    Expect({"--pack", dir.path("huge"), dir.path("p")}, 1, "is 4 GiB or more");
    Expect({old, fresh, good}, 1, "PATCH '" + good + "' could not be written", 64);
    Expect({old, fresh, directory}, 1, "could not be written");
    Expect({"--elemnts", old, fresh, dir.path("p")}, 2, "unknown option --elemnts");
    Expect({old, fresh}, 2, "usage:");
    Expect({"--pack", directory, dir.path("p")}, 1, "INPUT '" + directory + "' is not a regular");
    Expect({"--pack", old, old}, 2, "OUTPUT is the same file as INPUT");
    Expect({"--pack", old, good}, 1, "could not pack", 64);
}

TEST_F(PatchMakerToolTest, PatchReplacesAnExistingOne)
{
    ASSERT_EQ(RunTool({dir.path("old"), dir.path("new"), dir.path("p")}).exitCode, 0);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("p"), dir.path("out")), C_OK);
    EXPECT_EQ(ReadFile(dir.path("out")), newBytes);
}

TEST_F(PatchMakerToolTest, EmptyFilesPackAndPatchToEmpty)
{
    for (const char* plain : {"--plain", "--pack"}) {
        ASSERT_EQ(RunTool({"--pack", plain, dir.path("empty"), dir.path("c")}).exitCode, 0);
        ASSERT_TRUE(DecompressFile(dir.path("c"), dir.path("restored")));
        EXPECT_TRUE(ReadFile(dir.path("restored")).empty());
    }
    ASSERT_EQ(RunTool({dir.path("old"), dir.path("empty"), dir.path("p")}).exitCode, 0);
    EXPECT_EQ(ApplyEnsemblePatchFiles(dir.path("old"), dir.path("p"), dir.path("out")), C_OK);
    EXPECT_TRUE(ReadFile(dir.path("out")).empty());
}

} // namespace
