#include "app/CommandHelpers.h"

#include "platform/UniqueFd.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What one RunCommand delivered, kept apart by kind.
struct Collected {
    std::string output;
    std::string status;
    int idleTicks = 0;
    std::string all() const { return output + status; }
};

// Runs `arguments`, collecting everything; the idle callback answers `idleAnswer`.
int RunCollecting(
    const std::vector<std::string>& arguments, Collected& collected, int idleAnswer = 0, RunCommandTimings timings = {})
{
    return RunCommand(
        arguments,
        [&](int kind, const char* data, size_t size) {
            if (kind == kRunCommandOutput)
                collected.output.append(data, size);
            else if (kind == kRunCommandStatus)
                collected.status.append(data, size);
            else if (kind == kRunCommandIdle) {
                ++collected.idleTicks;
                return idleAnswer;
            }
            return 0;
        },
        timings);
}

// ---- Texts ----

TEST(ExtractExitCode, TakesTheCodeOutAndTidiesTheLines)
{
    const struct {
        const char* name;
        std::string text;
        int code;
        std::string rest;
    } cases[] = {
        { "one line, an empty one and the code", "installed\n\nExit_Code: 0\n", 0, "installed" },
        { "a missing command", "RunCommand: could not execute command (No such file or directory)\nExit_Code: 2\n", 2,
            "RunCommand: could not execute command (No such file or directory)" },
        { "no code", "\n\nsome\n\noutput\n\n", -1, "some\noutput" },
        { "only the first code", "Exit_Code: 1\nExit_Code: 2\n", 1, "Exit_Code: 2" },
        { "code at the very end", "done\nExit_Code: 7", 7, "done" },
        { "no number", "Exit_Code: none\nrest", -1, "rest" },
        { "negative", "Exit_Code: -3\n", -3, "" },
        { "twenty digits", "Exit_Code: 99999999999999999999\n", 2147483647, "" },
        { "three line feeds keep one pair", "a\n\n\nb", -1, "a\n\nb" },
        { "empty", "", -1, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        EXPECT_EQ(ExtractExitCode(text), c.code);
        EXPECT_EQ(text, c.rest);
    }
}

TEST(StrReplaceAll, ScansOnAfterEachReplacement)
{
    const struct {
        std::string text, search, replacement, result;
    } cases[] = {
        { "a-b-c", "-", "+", "a+b+c" },
        { "aaa", "a", "aa", "aaaaaa" },
        { "\n\n\n\n", "\n\n", "\n", "\n\n" },
        { "abc", "", "x", "abc" },
        { "abc", "abcd", "x", "abc" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " / " + c.search);
        std::string text = c.text;
        StrReplaceAll(text, c.search, c.replacement);
        EXPECT_EQ(text, c.result);
    }
}

// ---- Running commands, with the descriptor numbers of a busy program ----

// Opens descriptors until 1,100 are in use, so every descriptor the helper makes is above what select could
// watch.
class RunCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        rlimit limits {};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limits), 0);
        m_oldLimits = limits;
        if (limits.rlim_cur < 1200) {
            if (limits.rlim_max < 1200)
                GTEST_SKIP() << "needs an open-file limit of at least 1200";
            limits.rlim_cur = 1200;
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limits), 0);
        }
        for (;;) {
            UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(fd.valid());
            const int number = fd.get();
            m_filler.push_back(std::move(fd));
            if (number >= 1100)
                break;
        }
    }

    void TearDown() override
    {
        m_filler.clear();
        setrlimit(RLIMIT_NOFILE, &m_oldLimits);
    }

    std::vector<UniqueFd> m_filler;
    rlimit m_oldLimits {};
};

TEST_F(RunCommandTest, TheResultFollowsTheChildsExit)
{
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int result;
        std::string output;
        std::string status;
    } cases[] = {
        { "true", { "/bin/true" }, 1, "", "" },
        { "false", { "/bin/false" }, 0, "", "RunCommand: child exit with error\n" },
        { "output of all three streams", { "sh", "-c", "echo out; echo err >&2; [ -S /dev/stdin ] && echo in" }, 1,
            "out\nerr\nin\n", "" },
        { "killed", { "sh", "-c", "kill -9 $$" }, 0, "", "RunCommand: child exit abnormal\n" },
        { "more than one piece", { "sh", "-c", "head -c 5000 /dev/zero | tr '\\0' x" }, 1, std::string(5000, 'x'), "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Collected collected;
        EXPECT_EQ(RunCollecting(c.arguments, collected), c.result);
        EXPECT_EQ(collected.output, c.output);
        EXPECT_EQ(collected.status, c.status);
    }
}

TEST_F(RunCommandTest, AMissingCommandLeavesExitCode2InTheText)
{
    Collected collected;
    EXPECT_EQ(RunCollecting({ "corvantis-no-such-command", "arg" }, collected), 0);
    std::string text = collected.all();
    EXPECT_NE(text.find("corvantis-no-such-command: could not execute command ("), std::string::npos) << text;
    EXPECT_EQ(ExtractExitCode(text), 2);
    EXPECT_NE(collected.status.find("child exit with error"), std::string::npos);
}

TEST_F(RunCommandTest, AnIdleAnswerOf1KillsTheChild)
{
    RunCommandTimings timings;
    timings.idleWait = 50ms;
    Collected collected;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCollecting({ "sleep", "30" }, collected, 1, timings), 0);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(collected.idleTicks, 1);
    EXPECT_EQ(
        collected.status, "RunCommand: timeout while wait child.\nExit_Code: 1\nRunCommand: child exit abnormal\n");
    EXPECT_GE(spent, 50ms);
    EXPECT_LT(spent, 20s);
    std::string text = collected.all();
    EXPECT_EQ(ExtractExitCode(text), 1);
}

TEST_F(RunCommandTest, IdleTicksGoOnWhileTheCallbackWaits)
{
    RunCommandTimings timings;
    timings.idleWait = 20ms;
    Collected collected;
    EXPECT_EQ(RunCollecting({ "sh", "-c", "sleep 0.2; echo late" }, collected, 0, timings), 1);
    EXPECT_GE(collected.idleTicks, 1);
    EXPECT_EQ(collected.output, "late\n");
}

TEST_F(RunCommandTest, AChildReapedWhileItsOutputIsStillOpenKeepsItsStatus)
{
    // The shell exits at once with 3 while its background sleep holds the output open, so the child is reaped
    // inside the reading loop, long before the output ends. The remaining checks must neither lose its status
    // nor signal the pid again.
    RunCommandTimings timings;
    timings.idleWait = 10ms;
    timings.exitChecks = 3;
    Collected collected;
    EXPECT_EQ(RunCollecting({ "sh", "-c", "sleep 0.3 & exit 3" }, collected, 0, timings), 0);
    EXPECT_GE(collected.idleTicks, 2) << "the output stayed open after the exit";
    EXPECT_EQ(collected.status, "RunCommand: child exit with error\n");

    Collected passing;
    EXPECT_EQ(RunCollecting({ "sh", "-c", "sleep 0.3 & exit 0" }, passing, 0, timings), 1);
    EXPECT_EQ(passing.status, "");
}

TEST_F(RunCommandTest, AChildThatOutlivesItsOutputIsKilledAfterTheChecks)
{
    RunCommandTimings timings;
    timings.exitChecks = 3;
    timings.exitCheckInterval = 1ms;
    Collected collected;
    EXPECT_EQ(RunCollecting({ "sh", "-c", "exec >/dev/null 2>&1 </dev/null; sleep 30" }, collected, 0, timings), 0);
    EXPECT_EQ(
        collected.status, "RunCommand: timeout while wait child process to exitRunCommand: child exit abnormal\n");
}

TEST_F(RunCommandTest, StoppingOnOutputEndsTheCommand)
{
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    const int result = RunCommand({ "sh", "-c", "echo first; sleep 30" }, [&](int kind, const char*, size_t) {
        ++calls;
        return kind == kRunCommandOutput ? 1 : 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calls, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST_F(RunCommandTest, NoCommandIsAnError)
{
    Collected collected;
    EXPECT_EQ(RunCollecting({}, collected), 0);
    std::string text = collected.all();
    EXPECT_EQ(ExtractExitCode(text), 1);
}

// ---- Owner and mode, as root ----

class FileModeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root (changes owners)";
    }

    fs::path MakeFile(const fs::path& path, mode_t mode, uid_t uid = 0, gid_t gid = 0)
    {
        std::ofstream(path) << "#!/bin/sh\n";
        EXPECT_EQ(::chown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path;
    }

    static struct stat Stat(const fs::path& path)
    {
        struct stat st { };
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }

    test::TempDir m_folder;
};

TEST_F(FileModeTest, FlagsTellOwnerGroupAndModeBits)
{
    const struct {
        const char* name;
        mode_t mode;
        uid_t uid;
        gid_t gid;
        int32_t flags;
    } cases[] = {
        { "root set-user-ID", 04755, 0, 0, 1 | 2 | 4 | 8 | 16 | 32 },
        { "root plain", 0755, 0, 0, 1 | 2 | 4 | 16 },
        { "someone else's, set-user-ID without group bits", 04700, 4321, 4321, 16 | 32 },
        { "not executable", 0644, 4321, 0, 4 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = MakeFile(m_folder / c.name, c.mode, c.uid, c.gid);
        EXPECT_EQ(GetFileSecurityFlags(file.c_str()), c.flags);
    }
    EXPECT_EQ(GetFileSecurityFlags((m_folder / "missing").c_str()), -1);
}

TEST_F(FileModeTest, MakeRootSetuidChangesTheFileAndRefusesALink)
{
    const fs::path file = MakeFile(m_folder / "tool", 0700, 4321, 4321);
    ASSERT_EQ(MakeRootSetuid(file.c_str()), 0);
    EXPECT_EQ(GetFileSecurityFlags(file.c_str()), 1 | 2 | 4 | 8 | 16 | 32);
    EXPECT_EQ(Stat(file).st_mode & 07777, 04755u);

    const fs::path target = MakeFile(m_folder / "target", 0600, 4321, 4321);
    fs::create_symlink(target, m_folder / "link");
    const int refused = MakeRootSetuid((m_folder / "link").c_str());
    const int err = errno;
    EXPECT_EQ(refused, -1);
    EXPECT_EQ(err, ELOOP);
    EXPECT_EQ(Stat(target).st_uid, 4321u);
    EXPECT_EQ(Stat(target).st_mode & 07777, 0600u);

    fs::create_directory(m_folder / "folder");
    EXPECT_EQ(MakeRootSetuid((m_folder / "folder").c_str()), -1);
    EXPECT_EQ(MakeExecutable(file.c_str()), 0);
    EXPECT_EQ(Stat(file).st_mode & 07777, 0755u);
}

TEST_F(FileModeTest, FixingATreeLeavesTheTargetOfALinkAlone)
{
    const fs::path outside = MakeFile(m_folder / "outside", 0600, 4321, 4321);
    const fs::path tree = m_folder / "tree";
    fs::create_directories(tree / "sub");
    ASSERT_EQ(::chown((tree / "sub").c_str(), 4321, 4321), 0);
    ASSERT_EQ(::chmod((tree / "sub").c_str(), 0700), 0);
    const fs::path inside = MakeFile(tree / "sub/file", 0600, 4321, 4321);
    fs::create_symlink(outside, tree / "sub/link");
    ASSERT_EQ(::lchown((tree / "sub/link").c_str(), 4321, 4321), 0);

    EXPECT_EQ(FixTreeOwnerAndMode(tree.c_str(), 0755), 0);
    for (const fs::path& path : { tree, tree / "sub", inside }) {
        SCOPED_TRACE(path.string());
        EXPECT_EQ(Stat(path).st_uid, 0u);
        EXPECT_EQ(Stat(path).st_gid, 0u);
        EXPECT_EQ(Stat(path).st_mode & 07777, 0755u);
    }
    EXPECT_EQ(Stat(tree / "sub/link").st_uid, 0u) << "the link itself changes owner";
    EXPECT_EQ(Stat(outside).st_uid, 4321u);
    EXPECT_EQ(Stat(outside).st_gid, 4321u);
    EXPECT_EQ(Stat(outside).st_mode & 07777, 0600u);

    EXPECT_EQ(FixTreeOwnerAndMode((m_folder / "missing").c_str(), 0755), 0) << "nothing to walk";
}

} // namespace
} // namespace corvantis
