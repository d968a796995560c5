#include "tests/support/NetNamespace.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/socket.h>
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

int NetNamespace::socket(int domain, int type) const
{
    int fd = -1;
    int err = 0;
    if (!runInside([&] {
            fd = ::socket(domain, type, 0);
            err = errno;
        }))
        err = EPERM;
    errno = err;
    return fd;
}

bool NetNamespace::linkTo(const NetNamespace& peer) const
{
    return run("ip link add d0 type veth peer name d1 netns " + peer.name()
               + " && ip addr add 10.0.0.1/24 dev d0 && ip -6 addr add fd00::1/64 dev d0 nodad && ip link set d0 up"
                 " && ip route add default dev d0 && ip -6 route add default dev d0")
        && peer.run("ip addr add 10.0.0.2/24 dev d1 && ip -6 addr add fd00::2/64 dev d1 nodad && ip link set d1 up");
}

} // namespace corvantis::test
