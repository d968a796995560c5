#include "tests/support/Subprocess.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvantis::test {

namespace {

struct Pipe {
    int fds[2] = { -1, -1 };
    Pipe()
    {
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
    }
    ~Pipe()
    {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i)
    {
        if (fds[i] >= 0)
            ::close(fds[i]);
        fds[i] = -1;
    }
};

std::vector<char*> cArgv(const std::vector<std::string>& argv)
{
    std::vector<char*> out;
    for (const std::string& arg : argv)
        out.push_back(const_cast<char*>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

int waitExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

} // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input)
{
    // A command that exits before reading all its input must not kill the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
    pid_t pid = -1;
    std::vector<char*> args = cArgv(argv);
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);

    CommandResult result;
    size_t written = 0;
    if (input.empty())
        in.closeEnd(1);
    while (out.fds[0] >= 0 || err.fds[0] >= 0) {
        pollfd fds[3] = { { out.fds[0], POLLIN, 0 }, { err.fds[0], POLLIN, 0 }, { in.fds[1], POLLOUT, 0 } };
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents) {
            const ssize_t n = ::write(in.fds[1], input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 || written == input.size())
                in.closeEnd(1);
        }
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            Pipe& pipe = i == 0 ? out : err;
            if (n <= 0)
                pipe.closeEnd(0);
            else
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
    }
    in.closeEnd(1);
    result.exitCode = waitExit(pid);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    Pipe out;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args = cArgv(argv);
    const int rc = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    m_out = out.fds[0];
    out.fds[0] = -1;
}

ChildProcess::~ChildProcess()
{
    stop();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t newline = m_buffer.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return line;
        }
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (m_out < 0 || left.count() <= 0)
            return std::nullopt;
        pollfd fd { m_out, POLLIN, 0 };
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            return std::nullopt;
        m_buffer.append(buffer, static_cast<size_t>(n));
    }
}

void ChildProcess::stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        // A server that ignores SIGTERM must not hang the suite.
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid || (done < 0 && errno != EINTR)) {
                m_pid = -1;
                break;
            }
            pollfd none {};
            ::poll(&none, 0, 50);
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            waitExit(m_pid);
            m_pid = -1;
        }
    }
    if (m_out >= 0)
        ::close(m_out);
    m_out = -1;
}

} // namespace corvantis::test
