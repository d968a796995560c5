#pragma once

// Loopback helpers of the DNS tests: a UDP socket on 127.0.0.1, a child process whose output is collected, and a
// dnsmasq started on a free loopback port. Children are stopped by their process id.

#include "UniqueFd.h"
#include "support/TempDir.h"

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

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline deadlineIn(std::chrono::milliseconds span)
{
    return std::chrono::steady_clock::now() + span;
}

inline int millisLeft(Deadline deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
class LoopbackUdp final {
public:
    LoopbackUdp()
        : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!m_fd || bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        socklen_t length = sizeof address;
        getsockname(m_fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }

    uint16_t port() const { return m_port; }
    int fd() const { return m_fd.get(); }

    // One datagram, or nothing when none arrives before the deadline.
    std::optional<std::vector<uint8_t>> receive(Deadline deadline, sockaddr_in* from = nullptr)
    {
        for (;;) {
            pollfd p { m_fd.get(), POLLIN, 0 };
            const int ready = poll(&p, 1, millisLeft(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return std::nullopt;
            }
            std::vector<uint8_t> buffer(65536);
            sockaddr_in source {};
            socklen_t length = sizeof source;
            const ssize_t n
                = recvfrom(m_fd.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source), &length);
            if (n < 0) {
                return std::nullopt;
            }
            buffer.resize(static_cast<size_t>(n));
            if (from != nullptr) {
                *from = source;
            }
            return buffer;
        }
    }

    bool sendTo(const std::vector<uint8_t>& data, const sockaddr_in& to)
    {
        return sendto(m_fd.get(), data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to)
            == static_cast<ssize_t>(data.size());
    }

    bool sendToLoopback(const std::vector<uint8_t>& data, uint16_t port)
    {
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return sendTo(data, to);
    }

private:
    UniqueFd m_fd;
    uint16_t m_port = 0;
};

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

// dnsmasq answering from its command line only (no upstream, no hosts file) on 127.0.0.1 and a free port.
class Dnsmasq final {
public:
    explicit Dnsmasq(const std::vector<std::string>& records)
    {
        // The port is found free, then handed to dnsmasq; another process taking it in between would make start-up
        // fail, so a few ports are tried.
        for (int attempt = 0; attempt < 5 && !m_ready; ++attempt) {
            uint16_t port = 0;
            {
                LoopbackUdp probe;
                port = probe.port();
            }
            std::vector<std::string> argv { "dnsmasq", "--no-daemon", "--port=" + std::to_string(port),
                "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv", "--no-hosts", "--conf-file=/dev/null",
                "--pid-file=" + (m_dir / "dnsmasq.pid").string(), "--log-facility=" + (m_dir / "log").string() };
            if (getuid() == 0) {
                argv.push_back("--user=root");
            }
            argv.insert(argv.end(), records.begin(), records.end());
            m_process = std::make_unique<ChildProcess>(argv);
            if (!m_process->started()) {
                return;
            }
            m_port = port;
            m_ready = waitUntilAnswering(deadlineIn(std::chrono::seconds(10)));
            if (!m_ready) {
                m_process->stop();
            }
        }
    }

    bool ready() const { return m_ready; }
    uint16_t port() const { return m_port; }

    // Sends `query` and returns the answer, or nothing when none comes before the deadline.
    std::optional<std::vector<uint8_t>> ask(const std::vector<uint8_t>& query, Deadline deadline)
    {
        LoopbackUdp client;
        if (!client.sendToLoopback(query, m_port)) {
            return std::nullopt;
        }
        return client.receive(deadline);
    }

private:
    bool waitUntilAnswering(Deadline deadline)
    {
        // A root query; any answer at all means dnsmasq listens.
        const std::vector<uint8_t> probe { 0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1 };
        while (millisLeft(deadline) > 0) {
            if (ask(probe, deadlineIn(std::chrono::milliseconds(200)))) {
                return true;
            }
            int status = 0;
            if (waitpid(m_process->pid(), &status, WNOHANG) != 0) {
                return false;
            }
        }
        return false;
    }

    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    uint16_t m_port = 0;
    bool m_ready = false;
};

} // namespace corvantis::test
