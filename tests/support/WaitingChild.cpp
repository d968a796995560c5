#include "tests/support/WaitingChild.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "tests/support/Subprocess.h"
#include "tests/support/Wait.h"

namespace corvantis::test {

namespace {

// The kernel lays out the new program's arguments after the spawning parent has already been let go; until
// then /proc shows none.
bool hasArguments(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    return file && file.peek() != std::ifstream::traits_type::eof();
}

} // namespace

WaitingChild::WaitingChild(const std::string& path, const std::vector<std::string>& argv)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    const UniqueFd readEnd(fds[0]);
    m_input.reset(fds[1]);
    SpawnOptions options;
    options.argv = argv;
    options.path = path;
    options.in = readEnd.get();
    try {
        m_pid = spawnChild(options);
    } catch (const std::runtime_error&) {
        return;
    }
    waitUntil([&] { return hasArguments(m_pid); }, deadlineIn(std::chrono::seconds(10)));
}

WaitingChild::~WaitingChild()
{
    stopChild(m_pid, false);
}

} // namespace corvantis::test
