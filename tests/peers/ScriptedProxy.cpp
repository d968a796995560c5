#include "tests/peers/ScriptedProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace corvantis::test {

namespace {

constexpr auto kDrainTimeout = std::chrono::seconds(10);

} // namespace

ScriptedProxy::Step ScriptedProxy::Step::read(size_t count)
{
    return Step { Step::Kind::Read, count, {} };
}

ScriptedProxy::Step ScriptedProxy::Step::write(std::vector<uint8_t> bytes)
{
    return Step { Step::Kind::Write, 0, std::move(bytes) };
}

ScriptedProxy::Step ScriptedProxy::Step::writeRepeatedly(std::vector<uint8_t> bytes, size_t upTo)
{
    return Step { Step::Kind::WriteRepeatedly, upTo, std::move(bytes) };
}

ScriptedProxy::Step ScriptedProxy::Step::waitDrained()
{
    return Step { Step::Kind::WaitDrained, 0, {} };
}

ScriptedProxy::Step ScriptedProxy::Step::closeConnection()
{
    return Step { Step::Kind::Close, 0, {} };
}

ScriptedProxy::Step ScriptedProxy::Step::dribble(std::vector<uint8_t> bytes, std::chrono::milliseconds interval)
{
    return Step { Step::Kind::Dribble, 0, std::move(bytes), interval };
}

ScriptedProxy::ScriptedProxy(std::vector<Step> script, bool ipv6)
    : m_script(std::move(script))
    , m_listener(ipv6 ? "::1" : "127.0.0.1", 4)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_wakeRead.reset(fds[0]);
    m_wakeWrite.reset(fds[1]);
    m_thread = std::thread([this] { run(); });
}

ScriptedProxy::~ScriptedProxy()
{
    if (m_thread.joinable()) {
        const char byte = 0;
        retryOnEintr([&] { return ::write(m_wakeWrite.get(), &byte, 1); });
        m_thread.join();
    }
}

std::vector<uint8_t> ScriptedProxy::finish()
{
    if (m_thread.joinable())
        m_thread.join();
    return received();
}

std::vector<uint8_t> ScriptedProxy::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

// Reads up to `wanted` bytes (0: any amount until the end). False when the client closed, the wait was
// cancelled or the read failed.
bool ScriptedProxy::readSome(int fd, size_t wanted)
{
    size_t got = 0;
    uint8_t buffer[4096];
    while (wanted == 0 || got < wanted) {
        pollfd fds[2] = { { fd, POLLIN, 0 }, { m_wakeRead.get(), POLLIN, 0 } };
        if (retryOnEintr([&] { return poll(fds, 2, -1); }) < 0 || fds[1].revents != 0)
            return false;
        const size_t room = wanted == 0 ? sizeof buffer : std::min(sizeof buffer, wanted - got);
        const ssize_t n = retryOnEintr([&] { return recv(fd, buffer, room, 0); });
        if (n <= 0)
            return false;
        std::lock_guard lock(m_mutex);
        m_received.insert(m_received.end(), buffer, buffer + n);
        got += static_cast<size_t>(n);
    }
    return true;
}

bool ScriptedProxy::waitDrained(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    for (;;) {
        // Our bytes are acknowledged once they sit in the client's receive queue, and gone from that queue once
        // the client has read them.
        int unacked = 0;
        int unread = 0;
        const int client = m_clientFd.load();
        if (ioctl(fd, SIOCOUTQ, &unacked) == 0 && unacked == 0 && client >= 0 && ioctl(client, FIONREAD, &unread) == 0
            && unread == 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pollfd wake { m_wakeRead.get(), POLLIN, 0 };
        if (poll(&wake, 1, 1) != 0)
            return false;
    }
}

bool ScriptedProxy::dribble(int fd, const Step& step)
{
    for (uint8_t byte : step.bytes) {
        // The pause ends early only when the proxy is being destroyed.
        pollfd wake { m_wakeRead.get(), POLLIN, 0 };
        if (retryOnEintr([&] { return poll(&wake, 1, static_cast<int>(step.interval.count())); }) != 0)
            return false;
        if (retryOnEintr([&] { return send(fd, &byte, 1, MSG_NOSIGNAL); }) != 1)
            return false;
    }
    return true;
}

void ScriptedProxy::run()
{
    pollfd fds[2] = { { m_listener.fd(), POLLIN, 0 }, { m_wakeRead.get(), POLLIN, 0 } };
    if (retryOnEintr([&] { return poll(fds, 2, -1); }) < 0 || fds[1].revents != 0)
        return;
    UniqueFd conn = m_listener.accept();
    if (!conn)
        return;
    for (const Step& step : m_script) {
        switch (step.kind) {
        case Step::Kind::Read:
            if (!readSome(conn.get(), step.count))
                return;
            break;
        case Step::Kind::Write:
            if (!sendAll(conn.get(), step.bytes))
                return;
            break;
        case Step::Kind::WriteRepeatedly:
            if (step.bytes.empty())
                break;
            for (size_t sent = 0; sent < step.count; sent += step.bytes.size()) {
                if (!sendAll(conn.get(), step.bytes))
                    return;
            }
            break;
        case Step::Kind::WaitDrained:
            if (!waitDrained(conn.get()))
                return;
            break;
        case Step::Kind::Close:
            return;
        case Step::Kind::Dribble:
            if (!dribble(conn.get(), step))
                return;
            break;
        }
    }
    readSome(conn.get(), 0);
}

} // namespace corvantis::test
