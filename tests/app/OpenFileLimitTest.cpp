// The application's open-file rule: a table through the seam (which alone reaches an unlimited hard limit, as
// Linux refuses to set one), and the built program under limits set by prlimit, read back from /proc.

#include "app/OpenFileLimit.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace corvantis {
namespace {

TEST(OpenFileLimitTest, SoftLimitFollowsTheHardLimitUpTo1100)
{
    const struct {
        const char* name;
        rlimit before;
        rlim_t soft;
    } cases[] = {
        { "hard 800", { 256, 800 }, 800 },
        { "unlimited", { 1024, RLIM_INFINITY }, 1100 },
        { "hard 1100", { 1024, 1100 }, 1100 },
        { "hard 1101", { 1024, 1101 }, 1100 },
        { "hard 4096", { 256, 4096 }, 1100 },
        { "soft above the cap comes down", { 4096, 4096 }, 1100 },
        { "hard 64", { 64, 64 }, 64 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<rlimit> set;
        const OpenFileLimitCalls calls {
            [&](rlimit& limits) {
                limits = c.before;
                return 0;
            },
            [&](const rlimit& limits) {
                set = limits;
                return 0;
            },
        };
        const Result<rlim_t> applied = ApplyOpenFileLimit(calls);
        ASSERT_TRUE(applied.ok()) << applied.status().message();
        EXPECT_EQ(applied.value(), c.soft);
        ASSERT_TRUE(set);
        EXPECT_EQ(set->rlim_cur, c.soft);
        EXPECT_EQ(set->rlim_max, c.before.rlim_max);
    }
}

TEST(OpenFileLimitTest, FailedCallsAreReported)
{
    bool setCalled = false;
    const Result<rlim_t> unread = ApplyOpenFileLimit({
        [](rlimit&) {
            errno = EPERM;
            return -1;
        },
        [&](const rlimit&) {
            setCalled = true;
            return 0;
        },
    });
    ASSERT_FALSE(unread.ok());
    EXPECT_EQ(unread.status().errnum(), EPERM);
    EXPECT_FALSE(setCalled);

    const Result<rlim_t> unset = ApplyOpenFileLimit({
        [](rlimit& limits) {
            limits = { 256, 800 };
            return 0;
        },
        [](const rlimit&) {
            errno = EINVAL;
            return -1;
        },
    });
    ASSERT_FALSE(unset.ok());
    EXPECT_EQ(unset.status().errnum(), EINVAL);
    EXPECT_NE(unset.status().message().find("800"), std::string::npos);
}

// The soft "Max open files" of a running process, or nothing once it is gone.
std::optional<rlim_t> SoftOpenFiles(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Max open files", 0) != 0)
            continue;
        std::istringstream fields(line.substr(std::string("Max open files").size()));
        std::string soft;
        fields >> soft;
        return soft == "unlimited" ? RLIM_INFINITY : static_cast<rlim_t>(std::stoull(soft));
    }
    return std::nullopt;
}

TEST(OpenFileLimitTest, TheProgramSetsItsLimitAtLaunch)
{
    const struct {
        const char* limits;
        rlim_t soft;
    } cases[] = {
        { "256:800", 800 },
        { "800:800", 800 },
        { "256:4096", 1100 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limits);
        test::TempDir home;
        test::TempDir runtime;
        ASSERT_EQ(::chmod(runtime.str().c_str(), 0700), 0);
        test::SpawnOptions options;
        options.argv = { "prlimit", std::string("--nofile=") + c.limits, CORVANTIS_APP_PROGRAM };
        options.env = { { "HOME", home.str() }, { "CORVANTIS_HOME", (home / "app").string() },
            { "XDG_RUNTIME_DIR", runtime.str() }, { "QT_QPA_PLATFORM", "offscreen" } };
        options.ownGroup = true;
        const pid_t pid = test::spawnChild(options);
        // The single-instance socket is made just before the limit is set; the limit itself is what counts.
        const bool reached = test::waitUntil([&] {
            if (test::hasExited(pid))
                return true;
            const auto soft = SoftOpenFiles(pid);
            return std::filesystem::exists(runtime / "Corvantis.instance") && soft && *soft == c.soft;
        });
        const auto soft = SoftOpenFiles(pid);
        const bool alive = !test::hasExited(pid);
        test::stopChild(pid, true);
        ASSERT_TRUE(alive) << "the program ended";
        EXPECT_TRUE(reached);
        ASSERT_TRUE(soft);
        EXPECT_EQ(*soft, c.soft);
    }
}

} // namespace
} // namespace corvantis
