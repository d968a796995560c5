#include "platform/ProcessInfo.h"

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/WaitingChild.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::waitUntil;

TEST(ProcessInfo, OwnProcess)
{
    const pid_t self = getpid();
    const Result<std::string> exe = readProcessExePath(self);
    ASSERT_TRUE(exe) << exe.status().message();
    EXPECT_TRUE(std::filesystem::path(exe.value()).is_absolute());
    EXPECT_TRUE(std::filesystem::equivalent(exe.value(), "/proc/self/exe"));

    // The kernel's short name is the executable's file name cut to 15 bytes, without its line break.
    const Result<std::string> name = readProcessName(self);
    ASSERT_TRUE(name) << name.status().message();
    EXPECT_EQ(name.value(), std::filesystem::path(exe.value()).filename().string().substr(0, 15));

    const Result<std::vector<std::string>> args = readProcessCmdline(self);
    ASSERT_TRUE(args) << args.status().message();
    ASSERT_FALSE(args.value().empty());
    EXPECT_EQ(std::filesystem::path(args.value().front()).filename(), std::filesystem::path(exe.value()).filename());
}

TEST(ProcessInfo, NameSetByTheProcessItself)
{
    // The main thread's name is the process's name; a name may hold blanks and slashes.
    char saved[16] = {};
    ASSERT_EQ(prctl(PR_GET_NAME, saved), 0);
    ASSERT_EQ(prctl(PR_SET_NAME, "a b/c"), 0);
    const Result<std::string> name = readProcessName(getpid());
    prctl(PR_SET_NAME, saved);
    ASSERT_TRUE(name);
    EXPECT_EQ(name.value(), "a b/c");
}

TEST(ProcessInfo, ChildStartedThroughALink)
{
    test::TempDir dir;
    const std::filesystem::path link = dir / "a-reader-with-a-long-name";
    std::filesystem::create_symlink("/bin/cat", link);
    const std::vector<std::string> argv { link.string(), "-", "", "two words" };
    test::WaitingChild child(link.string(), argv);
    ASSERT_GT(child.pid(), 0);
    const Result<std::string> exe = readProcessExePath(child.pid());
    ASSERT_TRUE(exe);
    EXPECT_EQ(exe.value(), std::filesystem::canonical("/bin/cat").string());
    const Result<std::string> name = readProcessName(child.pid());
    ASSERT_TRUE(name);
    EXPECT_EQ(name.value(), "a-reader-with-a");
    const Result<std::vector<std::string>> args = readProcessCmdline(child.pid());
    ASSERT_TRUE(args);
    EXPECT_EQ(args.value(), argv);
}

TEST(ProcessInfo, EndedAndMissingProcesses)
{
    // A child that ends at once and is left unreaped.
    const pid_t child = test::spawnChild({ .argv = { "true" } });
    // Ended but not reaped: the name stays, the arguments are gone.
    ASSERT_TRUE(waitUntil([&] { return test::hasExited(child); }));
    Result<std::vector<std::string>> args = readProcessCmdline(child);
    ASSERT_TRUE(args);
    EXPECT_TRUE(args->empty());
    EXPECT_TRUE(readProcessName(child));

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    struct Case {
        pid_t pid;
        int err;
    };
    const Case cases[] = { { child, ESRCH }, { 0, EINVAL }, { -1, EINVAL } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pid);
        // The reaped pid could in principle be reused at once; the other pids never name a process.
        const Result<std::string> name = readProcessName(c.pid);
        if (c.pid == child && name)
            continue;
        ASSERT_FALSE(name);
        EXPECT_EQ(name.status().errnum(), c.err);
        const Result<std::string> exe = readProcessExePath(c.pid);
        ASSERT_FALSE(exe);
        EXPECT_EQ(exe.status().errnum(), c.err);
        const Result<std::vector<std::string>> args = readProcessCmdline(c.pid);
        ASSERT_FALSE(args);
        EXPECT_EQ(args.status().errnum(), c.err);
    }
}

} // namespace
} // namespace corvantis
