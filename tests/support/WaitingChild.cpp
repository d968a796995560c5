#include "tests/support/WaitingChild.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantis::test {

namespace {

// The kernel lays out the new program's arguments after the spawning parent has already been let go; until
// then /proc shows none.
bool HasArguments(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    return file && file.peek() != std::ifstream::traits_type::eof();
}

} // namespace

WaitingChild::WaitingChild(const std::string& path, const std::vector<std::string>& argv)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    m_input = fds[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, path.c_str(), &actions, nullptr, args.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m_pid > 0 && !HasArguments(m_pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

WaitingChild::~WaitingChild()
{
    if (m_input >= 0)
        close(m_input);
    if (m_pid > 0)
        waitpid(m_pid, nullptr, 0);
}

} // namespace corvantis::test
