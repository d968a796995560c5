#include "tests/peers/EchoServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace corvantis::test {

namespace {

// Binds a listening socket on host with port 0 and returns it with the port the system chose.
UniqueFd listenOn(const std::string& host, uint16_t& port)
{
    sockaddr_storage storage {};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        len = sizeof *v6;
    } else {
        throw std::runtime_error("not an address: " + host);
    }
    UniqueFd fd(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), len) != 0 || listen(fd.get(), 64) != 0
        || getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &len) != 0)
        throw std::runtime_error("cannot listen on " + host);
    port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return fd;
}

} // namespace

EchoServer::EchoServer(const std::string& host)
    : m_host(host)
{
    m_listener = listenOn(host, m_port);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_wakeRead.reset(fds[0]);
    m_wakeWrite.reset(fds[1]);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

EchoServer::~EchoServer()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        // Wakes connection threads blocked in recv; each closes nothing itself.
        for (auto& fd : m_connections)
            shutdown(fd.get(), SHUT_RDWR);
    }
    const char byte = 0;
    retryOnEintr([&] { return write(m_wakeWrite.get(), &byte, 1); });
    m_acceptThread.join();
    for (auto& thread : m_threads)
        thread.join();
}

void EchoServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = { { m_listener.get(), POLLIN, 0 }, { m_wakeRead.get(), POLLIN, 0 } };
        if (retryOnEintr([&] { return poll(fds, 2, -1); }) < 0 || fds[1].revents != 0)
            return;
        UniqueFd conn(retryOnEintr([&] { return accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC); }));
        if (!conn)
            continue;
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        const int fd = conn.get();
        m_connections.push_back(std::move(conn));
        m_threads.emplace_back([this, fd] { serve(fd); });
    }
}

void EchoServer::serve(int fd)
{
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = retryOnEintr([&] { return recv(fd, buffer.data(), buffer.size(), 0); });
        if (got <= 0)
            break;
        for (ssize_t sent = 0; sent < got;) {
            const ssize_t n = retryOnEintr(
                [&] { return send(fd, buffer.data() + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL); });
            if (n <= 0)
                return;
            sent += n;
        }
    }
    shutdown(fd, SHUT_WR);
}

} // namespace corvantis::test
