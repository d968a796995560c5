#include "core/profile/ProcessName.h"

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
#include <sys/wait.h>
#include <unistd.h>

namespace corvantis {
namespace {

TEST(ProcessName, NamesOfAChild)
{
    test::TempDir dir;
    const std::filesystem::path link = dir / "a-reader-with-a-long-name";
    std::filesystem::create_symlink("/bin/cat", link);
    struct Case {
        const char* name;
        std::string path;
        std::string arg0;
        int argsResult;
        std::string fromArgs;
        std::string comm;
    };
    const Case cases[] = {
        { "full path", "/bin/cat", "/bin/cat", 0, "cat", "cat" },
        { "bare name", "/bin/cat", "cat", 0, "cat", "cat" },
        // The short name is cut by the kernel; the name from the arguments is not.
        { "long link", link.string(), link.string(), 0, "a-reader-with-a-long-name", "a-reader-with-a" },
        // A first argument the program was given freely.
        { "renamed", "/bin/cat", "-renamed", 0, "-renamed", "cat" },
        { "empty first argument", "/bin/cat", "", -1, "unchanged", "cat" },
        { "folder only", "/bin/cat", "/usr/bin/", -1, "unchanged", "cat" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WaitingChild child(c.path, { c.arg0, "-" });
        ASSERT_GT(child.pid(), 0);
        std::string name = "unchanged";
        EXPECT_EQ(GetProcessNameFromArgs(child.pid(), name), c.argsResult);
        EXPECT_EQ(name, c.fromArgs);
        std::string comm;
        EXPECT_EQ(GetProcessName(child.pid(), comm), 0);
        EXPECT_EQ(comm, c.comm);
    }
}

TEST(ProcessName, ProcessesWithoutNames)
{
    // A child that ends at once and is left unreaped.
    const pid_t child = test::spawnChild({ .argv = { "true" } });
    // An ended process keeps its short name until it is reaped, but has no arguments left.
    ASSERT_TRUE(test::waitUntil([&] { return test::hasExited(child); }));
    std::string name = "unchanged";
    EXPECT_EQ(GetProcessNameFromArgs(child, name), -1);
    EXPECT_EQ(name, "unchanged");
    std::string comm;
    EXPECT_EQ(GetProcessName(child, comm), 0);
    EXPECT_FALSE(comm.empty());
    ASSERT_EQ(waitpid(child, nullptr, 0), child);

    for (pid_t pid : { 0, -5 }) {
        SCOPED_TRACE(pid);
        EXPECT_EQ(GetProcessName(pid, name), EINVAL);
        EXPECT_EQ(GetProcessNameFromArgs(pid, name), -1);
        EXPECT_EQ(name, "unchanged");
    }
    // The reaped pid names no process (unless the system has already given it to another).
    const int err = GetProcessName(child, name);
    EXPECT_TRUE(err == 0 || err == ESRCH) << err;
}

} // namespace
} // namespace corvantis
