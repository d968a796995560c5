#pragma once

// Plain sockets on the loopback interface for tests: a TCP listener, a TCP connection, a UDP socket, and a
// blocking send of a whole buffer. Every port is one the system picks, so suites can run side by side.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"
#include "tests/support/Wait.h"

namespace corvantis::test {

// `host` (a numeric IPv4 or IPv6 address) and `port` as a socket address; nothing when `host` is no address.
std::optional<sockaddr_storage> socketAddress(const std::string& host, uint16_t port);
// The length of the address `address` holds (IPv4 or IPv6).
socklen_t addressLength(const sockaddr_storage& address);

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call: bound with port 0, read back and
// released. Another process may take it before the caller does; callers that hand it to a server retry.
uint16_t freeLoopbackPort();

// A blocking TCP connection to host:port; an empty descriptor when it is refused or fails.
UniqueFd connectLoopback(uint16_t port, const std::string& host = "127.0.0.1");

// True when a TCP connection to host:port is accepted (closed again at once).
bool canConnect(const std::string& host, uint16_t port);
// True when a connection to the local stream socket at `path` is accepted (closed again at once). A socket file
// alone does not tell that a server listens: one left by a stopped server, or bound but not yet listening,
// refuses connections.
bool canConnectLocal(const std::string& path);

// Writes all `size` bytes to the blocking socket `fd` (EINTR retried, no SIGPIPE); false when the peer went
// away or the socket failed first.
bool sendAll(int fd, const void* data, size_t size);
inline bool sendAll(int fd, std::string_view text)
{
    return sendAll(fd, text.data(), text.size());
}
inline bool sendAll(int fd, const std::vector<uint8_t>& bytes)
{
    return sendAll(fd, bytes.data(), bytes.size());
}

// Two connected, non-blocking local sockets of `type` (SOCK_STREAM or SOCK_DGRAM). Throws std::runtime_error
// when the system gives none.
struct SocketPair {
    explicit SocketPair(int type = SOCK_STREAM);
    UniqueFd a;
    UniqueFd b;
};

// A TCP socket listening on a loopback address with a port the system picks. The descriptor stays open until
// the object goes; shutdown() makes a blocked accept() return, which is how server threads are ended.
class LoopbackListener final {
public:
    // Throws std::runtime_error when it cannot listen. A small `backlog` lets a test fill the accept queue.
    explicit LoopbackListener(const std::string& host = "127.0.0.1", int backlog = 64);
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int fd() const { return m_fd.get(); }
    uint16_t port() const { return m_port; }
    const std::string& host() const { return m_host; }

    // The next connection (blocking, EINTR retried); an empty descriptor after shutdown() or on failure.
    UniqueFd accept() const;
    // Ends a blocked accept() at once, and makes every later one fail. May be called from any thread.
    void shutdown() const;

private:
    std::string m_host;
    UniqueFd m_fd;
    uint16_t m_port = 0;
};

// A UDP socket bound to 127.0.0.1 (or ::1 for AF_INET6) on a port the system picks; port() is 0 when it could
// not be bound.
class LoopbackUdp final {
public:
    explicit LoopbackUdp(int family = AF_INET);
    LoopbackUdp(const LoopbackUdp&) = delete;
    LoopbackUdp& operator=(const LoopbackUdp&) = delete;

    uint16_t port() const { return m_port; }
    int fd() const { return m_fd.get(); }

    // One datagram, with its sender in `from` when given; nothing when none arrives before the deadline.
    std::optional<std::vector<uint8_t>> receive(Deadline deadline, sockaddr_storage* from = nullptr);
    // The same, waiting as long as kPatience.
    std::optional<std::vector<uint8_t>> receive(sockaddr_storage* from = nullptr)
    {
        return receive(deadlineIn(kPatience), from);
    }

    // Sends `data` as one datagram; true when all of it went.
    bool sendTo(const std::vector<uint8_t>& data, const sockaddr_storage& to);
    bool sendTo(const std::vector<uint8_t>& data, const std::string& host, uint16_t port);

private:
    UniqueFd m_fd;
    uint16_t m_port = 0;
};

} // namespace corvantis::test
