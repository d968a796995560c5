#include "supervisor/ExtensionProcess.h"

#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Bounds no test is meant to reach: they only stop a test that would otherwise hang.
constexpr milliseconds kLong { 60000 };

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

// The exit observer's calls, as the test thread sees them.
class ExitLog {
public:
    ExtensionProcess::ExitObserver observer()
    {
        return [this](pid_t pid, int status) {
            MutexLock lock(m_mutex);
            m_exits.emplace_back(pid, status);
        };
    }
    std::vector<std::pair<pid_t, int>> exits() const
    {
        MutexLock lock(m_mutex);
        return m_exits;
    }

private:
    mutable Mutex m_mutex;
    std::vector<std::pair<pid_t, int>> m_exits GUARDED_BY(m_mutex);
};

class ExtensionProcessTest : public ::testing::Test {
protected:
    ExtensionProcessTest()
        : m_queue(DispatchQueue::create("test observer"))
        , m_process(m_queue)
    {
        m_process.setExitObserver(m_log.observer());
    }
    // The log must outlive every observer call: end the child and let the queue run dry first.
    void TearDown() override
    {
        m_process.stop(milliseconds(0));
        drainObserver();
    }

    // An executable shell script in the test's folder.
    fs::path script(const std::string& name, const std::string& body)
    {
        const fs::path path = m_dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    // Waits until the observer queue has run everything submitted so far.
    void drainObserver()
    {
        m_queue->sync([] {});
    }

    test::TempDir m_dir;
    DispatchQueuePtr m_queue;
    ExitLog m_log;
    ExtensionProcess m_process;
};

TEST_F(ExtensionProcessTest, StopEndsTheChildWithSigtermAndTheObserverHearsItOnce)
{
    ASSERT_TRUE(m_process.start("/bin/sleep", { "60" }, {}).ok());
    const pid_t pid = m_process.pid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(m_process.running());
    EXPECT_EQ(m_process.start("/bin/sleep", { "60" }, {}).errnum(), EBUSY);

    const auto status = m_process.stop(kLong);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << ExtensionProcess::describeExit(*status);
    EXPECT_EQ(m_process.pid(), 0);
    // Reaped: the pid no longer names our child.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_FALSE(m_process.stop(kLong).has_value());

    ASSERT_TRUE(test::waitUntil([&] { return !m_log.exits().empty(); }));
    drainObserver();
    ASSERT_EQ(m_log.exits().size(), 1u);
    EXPECT_EQ(m_log.exits()[0], std::make_pair(pid, *status));
}

TEST_F(ExtensionProcessTest, AChildThatIgnoresSigtermIsKilledAfterTheBound)
{
    const fs::path ready = m_dir / "ready";
    // The ignored SIGTERM survives the exec of sleep.
    const fs::path stubborn = script("stubborn", "trap '' TERM\ntouch " + ready.string() + "\nexec /bin/sleep 60");
    ASSERT_TRUE(m_process.start(stubborn, {}, {}).ok());
    ASSERT_TRUE(test::waitUntil([&] { return fs::exists(ready); }));

    const milliseconds bound { 300 };
    const auto began = Clock::now();
    const auto status = m_process.stop(bound);
    const auto took = Clock::now() - began;
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << ExtensionProcess::describeExit(*status);
    EXPECT_GE(took, bound);
    EXPECT_LT(took, kLong);
}

TEST_F(ExtensionProcessTest, AChildThatEndsByItselfIsReportedOnceWithItsStatus)
{
    const fs::path go = m_dir / "go";
    // Held until the test has read its pid.
    const fs::path exits = script("exits", "while [ ! -e " + go.string() + " ]; do sleep 0.01; done\nexit 3");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        fs::remove(go);
        ASSERT_TRUE(m_process.start(exits, {}, {}).ok());
        const pid_t pid = m_process.pid();
        ASSERT_GT(pid, 0);
        std::ofstream(go) << "";
        ASSERT_TRUE(test::waitUntil([&] { return m_log.exits().size() == static_cast<size_t>(round + 1); }));
        EXPECT_EQ(m_log.exits().back().first, pid);
        EXPECT_TRUE(WIFEXITED(m_log.exits().back().second) && WEXITSTATUS(m_log.exits().back().second) == 3);
        EXPECT_FALSE(m_process.running());
        // Whoever asks later learns how it ended, nothing is left to stop, and the observer does not run again.
        EXPECT_EQ(m_process.waitForExit(milliseconds(0)), m_log.exits().back().second);
        EXPECT_FALSE(m_process.stop(milliseconds(0)).has_value());
    }
    drainObserver();
    EXPECT_EQ(m_log.exits().size(), 2u);
}

TEST_F(ExtensionProcessTest, StartsAgainAtOnceWhileTheLastEndIsStillBeingHandled)
{
    // Each start races the watch of the child before, which may still be reaping or retiring on its queue.
    constexpr size_t kRounds = 40;
    for (size_t round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(m_process.start("/bin/true", {}, {}).ok());
        const auto status = m_process.waitForExit(kLong);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(ExtensionProcess::describeExit(*status), "exit status 0");
    }
    ASSERT_TRUE(test::waitUntil([&] { return m_log.exits().size() == kRounds; }));
    drainObserver();
    EXPECT_EQ(m_log.exits().size(), kRounds);
}

TEST_F(ExtensionProcessTest, WaitForExitReturnsTheStatusOrNothingWhileItRuns)
{
    const fs::path go = m_dir / "go";
    const fs::path waits = script("waits", "while [ ! -e " + go.string() + " ]; do sleep 0.01; done\nexit 5");
    ASSERT_TRUE(m_process.start(waits, {}, {}).ok());
    EXPECT_FALSE(m_process.waitForExit(milliseconds(50)).has_value());
    EXPECT_TRUE(m_process.running());
    std::ofstream(go) << "";
    const auto status = m_process.waitForExit(kLong);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ExtensionProcess::describeExit(*status), "exit status 5");
    ASSERT_TRUE(test::waitUntil([&] { return m_log.exits().size() == 1; }));
}

TEST_F(ExtensionProcessTest, AProgramThatCannotRunFailsWithTheReason)
{
    const fs::path notExecutable = m_dir / "plain";
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
    struct Case {
        fs::path binary;
        int err;
    };
    const Case cases[] = {
        { m_dir / "missing", ENOENT },
        { notExecutable, EACCES },
        { m_dir.path(), EACCES },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.binary);
        if (c.err == EACCES && ::geteuid() == 0 && c.binary == notExecutable) {
            // Root may read it, but exec still wants an execute bit.
        }
        Status st = m_process.start(c.binary, {}, {});
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.errnum(), c.err) << st.message();
        EXPECT_EQ(st.message().rfind("Cannot run " + c.binary.string(), 0), 0u) << st.message();
        EXPECT_FALSE(m_process.running());
    }
    drainObserver();
    EXPECT_TRUE(m_log.exits().empty());
}

TEST_F(ExtensionProcessTest, TheChildGetsArgumentsEnvironmentAndNoStrayDescriptors)
{
    // A descriptor the supervisor opened without close-on-exec.
    UniqueFd stray(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(stray);
    const fs::path out = m_dir / "out";
    const fs::path probe = script("probe",
        "fd=no; [ -e /proc/self/fd/" + std::to_string(stray.get())
            + " ] && fd=yes\n"
              "echo \"$1|$CORVANTIS_TEST_A|$CORVANTIS_TEST_B|$fd\" > "
            + out.string());
    ::setenv("CORVANTIS_TEST_A", "from the supervisor", 1);
    ::setenv("CORVANTIS_TEST_B", "replaced", 1);
    ASSERT_TRUE(m_process.start(probe, { "first argument" }, { "CORVANTIS_TEST_B=given" }).ok());
    const auto status = m_process.waitForExit(kLong);
    ::unsetenv("CORVANTIS_TEST_A");
    ::unsetenv("CORVANTIS_TEST_B");
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(readText(out), "first argument|from the supervisor|given|no\n");
}

TEST_F(ExtensionProcessTest, RecordsTheIdentityAndTheManifestsVersion)
{
    const fs::path binary = m_dir / "CorvantisExtension";
    fs::copy_file("/bin/sleep", binary);
    const fs::path manifest = m_dir / "Info.plist";
    std::ofstream(manifest) << "<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key>"
                               "<string>3.12.2</string></dict></plist>";
    EXPECT_FALSE(m_process.identityChanged());
    ASSERT_TRUE(m_process.start(binary, { "60" }, {}, manifest).ok());
    EXPECT_EQ(m_process.startedVersion(), "3.12.2");
    EXPECT_EQ(m_process.binary(), binary);
    EXPECT_FALSE(m_process.identityChanged());

    // A running binary cannot be written in place; an update puts a copy over it.
    const fs::path copy = m_dir / "copy";
    fs::copy_file("/bin/sleep", copy);
    fs::rename(copy, binary);
    EXPECT_TRUE(m_process.identityChanged());
    // Still true once the child is gone: the record belongs to the last start.
    m_process.stop(kLong);
    EXPECT_TRUE(m_process.identityChanged());

    ASSERT_TRUE(m_process.start(binary, { "60" }, {}, m_dir / "no-manifest").ok());
    EXPECT_EQ(m_process.startedVersion(), "");
    EXPECT_FALSE(m_process.identityChanged());
    // Touching the file changes its time; removing it counts as a change too.
    const auto old = fs::last_write_time(binary);
    fs::last_write_time(binary, old + std::chrono::seconds(1));
    EXPECT_TRUE(m_process.identityChanged());
    fs::last_write_time(binary, old);
    EXPECT_FALSE(m_process.identityChanged());
    fs::remove(binary);
    EXPECT_TRUE(m_process.identityChanged());
}

TEST_F(ExtensionProcessTest, DestructionKillsAndReapsARunningChild)
{
    pid_t pid = 0;
    {
        ExtensionProcess process(m_queue);
        process.setExitObserver(m_log.observer());
        ASSERT_TRUE(process.start("/bin/sleep", { "60" }, {}).ok());
        pid = process.pid();
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    drainObserver();
    EXPECT_TRUE(m_log.exits().empty());
}

// A listening Unix socket owned by the test.
UniqueFd listenOn(const fs::path& path)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un address { };
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || ::listen(fd.get(), 4) != 0)
        return {};
    return fd;
}

TEST_F(ExtensionProcessTest, WaitUntilAcceptingSucceedsOnceTheSocketListens)
{
    const fs::path socket = m_dir / "service";
    ASSERT_TRUE(m_process.start("/bin/sleep", { "60" }, {}).ok());
    UniqueFd listener;
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(100));
        listener = listenOn(socket);
    });
    Status st = m_process.waitUntilAccepting(socket, kLong, milliseconds(5));
    late.join();
    EXPECT_TRUE(st.ok()) << st.message();
    EXPECT_TRUE(listener);
}

TEST_F(ExtensionProcessTest, WaitUntilAcceptingFailsEarlyWhenTheChildEnds)
{
    ASSERT_TRUE(m_process.start(script("quits", "exit 4"), {}, {}).ok());
    const auto began = Clock::now();
    Status st = m_process.waitUntilAccepting(m_dir / "service", kLong);
    ASSERT_FALSE(st.ok());
    EXPECT_LT(Clock::now() - began, kLong / 2);
    EXPECT_NE(st.message().find("exit status 4"), std::string::npos) << st.message();
    EXPECT_NE(st.message().find((m_dir / "service").string()), std::string::npos) << st.message();
}

TEST_F(ExtensionProcessTest, WaitUntilAcceptingGivesUpAfterTheTimeout)
{
    ASSERT_TRUE(m_process.start("/bin/sleep", { "60" }, {}).ok());
    const milliseconds timeout { 200 };
    const auto began = Clock::now();
    Status st = m_process.waitUntilAccepting(m_dir / "silent", timeout, milliseconds(10));
    const auto took = Clock::now() - began;
    EXPECT_EQ(st.errnum(), ETIMEDOUT) << st.message();
    EXPECT_GE(took, timeout);
    EXPECT_LT(took, kLong);
    EXPECT_TRUE(m_process.running());
}

TEST_F(ExtensionProcessTest, WaitUntilAcceptingRefusesAPathTooLongForASocket)
{
    ASSERT_TRUE(m_process.start("/bin/sleep", { "60" }, {}).ok());
    const fs::path longPath = m_dir / std::string(120, 's');
    Status st = m_process.waitUntilAccepting(longPath, kLong);
    EXPECT_EQ(st.errnum(), ENAMETOOLONG);
    EXPECT_NE(st.message().find(longPath.string()), std::string::npos) << st.message();
}

TEST(ExtensionCleanupTest, RunsTheBinaryWithCleanupAndReportsItsEnd)
{
    test::TempDir dir;
    auto write = [&](const std::string& name, const std::string& body) {
        const fs::path path = dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    };
    const fs::path args = dir / "args";
    Status ok = ExtensionProcess::runCleanup(write("cleans", "echo \"$*|$CORVANTIS_RUNTIME_DIR\" > " + args.string()),
        kLong, { "CORVANTIS_RUNTIME_DIR=/run/test" });
    EXPECT_TRUE(ok.ok()) << ok.message();
    EXPECT_EQ(readText(args), "--cleanup|/run/test\n");

    const fs::path fails = write("fails", "exit 2");
    Status failed = ExtensionProcess::runCleanup(fails, kLong);
    EXPECT_EQ(failed.message(), fails.string() + " --cleanup failed: exit status 2");

    const fs::path hangs = write("hangs", "exec /bin/sleep 60");
    const milliseconds bound { 200 };
    const auto began = Clock::now();
    Status hung = ExtensionProcess::runCleanup(hangs, bound);
    const auto took = Clock::now() - began;
    EXPECT_EQ(hung.errnum(), ETIMEDOUT) << hung.message();
    EXPECT_NE(hung.message().find(hangs.string()), std::string::npos);
    EXPECT_GE(took, bound);
    EXPECT_LT(took, kLong);

    EXPECT_EQ(ExtensionProcess::runCleanup(dir / "missing", kLong).errnum(), ENOENT);
}

} // namespace
} // namespace corvantis
