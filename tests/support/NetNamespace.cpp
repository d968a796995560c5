#include "tests/support/NetNamespace.h"

#include <atomic>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "tests/support/Subprocess.h"

namespace corvantis::test {

namespace {

// Runs `argv`; its exit code, or -1 when it cannot be started (no iproute2).
int exitCodeOf(const std::vector<std::string>& argv)
{
    try {
        return runCommand(argv).exitCode;
    } catch (const std::runtime_error&) {
        return -1;
    }
}

} // namespace

NetNamespace::NetNamespace(const std::string& tag)
{
    static std::atomic<int> counter { 0 };
    m_name = "corv-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    if (geteuid() != 0)
        return;
    if (exitCodeOf({ "ip", "netns", "add", m_name }) != 0)
        return;
    m_valid = true;
    if (!run("ip link set lo up")) {
        m_valid = false;
        exitCodeOf({ "ip", "netns", "del", m_name });
    }
}

NetNamespace::~NetNamespace()
{
    // Nothing more can be done about a namespace that will not go.
    if (m_valid)
        exitCodeOf({ "ip", "netns", "del", m_name });
}

std::vector<std::string> NetNamespace::inside(const std::string& command) const
{
    return { "ip", "netns", "exec", m_name, "sh", "-c", command };
}

bool NetNamespace::run(const std::string& command) const
{
    if (!m_valid)
        return false;
    return exitCodeOf(inside(command)) == 0;
}

std::string NetNamespace::output(const std::string& command) const
{
    if (!m_valid)
        return {};
    try {
        return runCommand(inside(command)).out;
    } catch (const std::runtime_error&) {
        return {};
    }
}

bool NetNamespace::runInside(const std::function<void()>& body) const
{
    if (!m_valid)
        return false;
    bool entered = false;
    std::thread thread([&] {
        int fd = open(("/var/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            return;
        entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (entered)
            body();
    });
    thread.join();
    return entered;
}

} // namespace corvantis::test
