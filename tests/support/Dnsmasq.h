#pragma once

// A UDP socket on 127.0.0.1 and a dnsmasq started by the test, answering from its command line only. dnsmasq lives
// in the network namespace of the thread that starts it, is stopped by its process id, and never uses a fixed port
// unless the test asks for one (inside a namespace of its own, where port 53 is free).

#include "platform/UniqueFd.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
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

// dnsmasq answering from its command line only (no upstream, no hosts file).
class Dnsmasq final {
public:
    struct Where {
        std::string address = "127.0.0.1"; // a loopback address
        uint16_t port = 0; // 0: a free port
    };

    // On 127.0.0.1 and a free port.
    explicit Dnsmasq(const std::vector<std::string>& records)
        : Dnsmasq(Where {}, records)
    {
    }

    Dnsmasq(const Where& where, const std::vector<std::string>& records)
    {
        if (inet_pton(AF_INET, where.address.c_str(), &m_address) != 1) {
            return;
        }
        // A free port is found, then handed to dnsmasq; another process taking it in between would make start-up
        // fail, so a few ports are tried.
        for (int attempt = 0; attempt < 5 && !m_ready; ++attempt) {
            uint16_t port = where.port;
            if (port == 0) {
                LoopbackUdp probe;
                port = probe.port();
            }
            std::vector<std::string> argv { "dnsmasq", "--no-daemon", "--port=" + std::to_string(port),
                "--listen-address=" + where.address, "--bind-interfaces", "--no-resolv", "--no-hosts",
                "--conf-file=/dev/null", "--pid-file=" + (m_dir / "dnsmasq.pid").string(),
                "--log-facility=" + (m_dir / "log").string() };
            if (getuid() == 0) {
                argv.push_back("--user=root");
            }
            argv.insert(argv.end(), records.begin(), records.end());
            if (!spawn(argv)) {
                return;
            }
            m_port = port;
            m_ready = waitUntilAnswering(deadlineIn(std::chrono::seconds(10)));
            if (!m_ready) {
                stop();
            }
            if (where.port != 0) {
                break;
            }
        }
    }

    ~Dnsmasq() { stop(); }
    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    bool ready() const { return m_ready; }
    uint16_t port() const { return m_port; }

    // Sends `query` and returns the answer, or nothing when none comes before the deadline.
    std::optional<std::vector<uint8_t>> ask(const std::vector<uint8_t>& query, Deadline deadline)
    {
        LoopbackUdp client;
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = m_address;
        to.sin_port = htons(m_port);
        if (!client.sendTo(query, to)) {
            return std::nullopt;
        }
        return client.receive(deadline);
    }

    // Ends dnsmasq (by its process id) and waits for it.
    void stop()
    {
        if (m_pid > 0) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                kill(m_pid, SIGTERM);
                waitpid(m_pid, &status, 0);
            }
        }
        m_pid = -1;
        m_ready = false;
    }

private:
    bool spawn(const std::vector<std::string>& argv)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        pid_t pid = -1;
        const bool spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        m_pid = spawned ? pid : -1;
        return spawned;
    }

    bool waitUntilAnswering(Deadline deadline)
    {
        // A root query; any answer at all means dnsmasq listens.
        const std::vector<uint8_t> probe { 0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1 };
        while (millisLeft(deadline) > 0) {
            if (ask(probe, deadlineIn(std::chrono::milliseconds(200)))) {
                return true;
            }
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) != 0) {
                m_pid = -1;
                return false;
            }
        }
        return false;
    }

    TempDir m_dir;
    pid_t m_pid = -1;
    uint32_t m_address = 0; // network order
    uint16_t m_port = 0;
    bool m_ready = false;
};

} // namespace corvantis::test
