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

EchoServer::EchoServer(const std::string& host)
    : m_listener(host)
{
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
        pollfd fds[2] = { { m_listener.fd(), POLLIN, 0 }, { m_wakeRead.get(), POLLIN, 0 } };
        if (retryOnEintr([&] { return poll(fds, 2, -1); }) < 0 || fds[1].revents != 0)
            return;
        UniqueFd conn = m_listener.accept();
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
        if (!sendAll(fd, buffer.data(), static_cast<size_t>(got)))
            return;
    }
    shutdown(fd, SHUT_WR);
}

} // namespace corvantis::test
