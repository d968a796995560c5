#include "tests/support/NetNamespace.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace corvantis::test {

namespace {

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

void removeNamespace(const std::string& name)
{
    int status = std::system(("ip netns del " + name + " >/dev/null 2>&1").c_str());
    (void)status; // nothing more can be done about a namespace that will not go
}

} // namespace

NetNamespace::NetNamespace(const std::string& tag)
{
    static std::atomic<int> counter { 0 };
    m_name = "corv-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    if (geteuid() != 0)
        return;
    std::string add = "ip netns add " + m_name + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0)
        return;
    m_valid = true;
    if (!run("ip link set lo up")) {
        m_valid = false;
        removeNamespace(m_name);
    }
}

NetNamespace::~NetNamespace()
{
    if (m_valid)
        removeNamespace(m_name);
}

std::string NetNamespace::inside(const std::string& command) const
{
    return "ip netns exec " + m_name + " sh -c " + quoted(command);
}

bool NetNamespace::run(const std::string& command) const
{
    if (!m_valid)
        return false;
    return std::system((inside(command) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string NetNamespace::output(const std::string& command) const
{
    std::string text;
    if (!m_valid)
        return text;
    FILE* pipe = popen((inside(command) + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return text;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        text.append(buffer.data(), n);
    pclose(pipe);
    return text;
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
