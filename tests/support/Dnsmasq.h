#pragma once

// A UDP socket on 127.0.0.1 and a dnsmasq started by the test, answering from its command line only. dnsmasq lives
// in the network namespace of the thread that starts it, is stopped by its process id, and never uses a fixed port
// unless the test asks for one (inside a namespace of its own, where port 53 is free).

#include "platform/UniqueFd.h"
#include "tests/support/Loopback.h"
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
        m_host = where.address;
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
        if (!client.sendTo(query, m_host, m_port)) {
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
    std::string m_host;
    uint16_t m_port = 0;
    bool m_ready = false;
};

} // namespace corvantis::test
