#pragma once

// Loopback helpers of the DNS tests: a UDP socket on 127.0.0.1 and a dnsmasq on a free loopback port (both in
// support/Dnsmasq.h), and a child process whose output is collected. Children are stopped by their process id.

#include "platform/UniqueFd.h"
#include "tests/support/Dnsmasq.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace corvantis::test {

// Its own namespace keeps it apart from support/Subprocess.h's ChildProcess, which test binaries link as well.
namespace dns_peers {

// A child process (found on PATH) with its standard output collected through a pipe.
class ChildProcess final {
public:
    explicit ChildProcess(const std::vector<std::string>& argv)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        m_output = UniqueFd(fds[0]);
        UniqueFd writeEnd(fds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
            m_pid = pid;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    // Everything the child writes until it closes its output or the deadline passes; then the child is waited for
    // (and stopped if it is still running).
    std::string readAll(Deadline deadline)
    {
        std::string text;
        char buffer[4096];
        while (m_output) {
            pollfd p { m_output.get(), POLLIN, 0 };
            const int ready = poll(&p, 1, millisLeft(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                break;
            }
            const ssize_t n = read(m_output.get(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        stop();
        return text;
    }

    void stop()
    {
        if (m_pid <= 0) {
            return;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }

private:
    UniqueFd m_output;
    pid_t m_pid = -1;
};

} // namespace dns_peers
using dns_peers::ChildProcess;

// Runs `dig` against 127.0.0.1:port and returns what it prints.
inline std::string runDig(uint16_t port, const std::vector<std::string>& options)
{
    std::vector<std::string> argv { "dig", "@127.0.0.1", "-p", std::to_string(port), "+tries=1", "+time=5" };
    argv.insert(argv.end(), options.begin(), options.end());
    ChildProcess dig(argv);
    if (!dig.started()) {
        return "";
    }
    return dig.readAll(deadlineIn(std::chrono::seconds(30)));
}

} // namespace corvantis::test
