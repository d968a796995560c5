#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/un.h>

#include <cerrno>
#include <stdexcept>

namespace corvantis::test {

namespace {

uint16_t portOf(const sockaddr_storage& address)
{
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// A socket of `type` bound to host:0, with the port the system gave it; an empty descriptor on failure.
UniqueFd bindLoopback(const std::string& host, int type, uint16_t& port)
{
    std::optional<sockaddr_storage> address = socketAddress(host, 0);
    if (!address)
        return UniqueFd();
    socklen_t length = addressLength(*address);
    UniqueFd fd(::socket(address->ss_family, type | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&*address), length) != 0
        || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&*address), &length) != 0)
        return UniqueFd();
    port = portOf(*address);
    return fd;
}

} // namespace

std::optional<sockaddr_storage> socketAddress(const std::string& host, uint16_t port)
{
    sockaddr_storage storage {};
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
    } else {
        return std::nullopt;
    }
    return storage;
}

socklen_t addressLength(const sockaddr_storage& address)
{
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t freeLoopbackPort()
{
    uint16_t port = 0;
    if (!bindLoopback("127.0.0.1", SOCK_STREAM, port))
        throw std::runtime_error("cannot bind a loopback port");
    return port;
}

UniqueFd connectLoopback(uint16_t port, const std::string& host)
{
    const std::optional<sockaddr_storage> address = socketAddress(host, port);
    if (!address)
        return UniqueFd();
    UniqueFd fd(::socket(address->ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || retryOnEintr([&] {
            return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), addressLength(*address));
        }) != 0)
        return UniqueFd();
    return fd;
}

bool canConnect(const std::string& host, uint16_t port)
{
    return connectLoopback(port, host).valid();
}

bool canConnectLocal(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    path.copy(address.sun_path, path.size());
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool sendAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = retryOnEintr([&] { return ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL); });
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

SocketPair::SocketPair(int type)
{
    int fds[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    a.reset(fds[0]);
    b.reset(fds[1]);
}

LoopbackListener::LoopbackListener(const std::string& host, int backlog)
    : m_host(host)
{
    m_fd = bindLoopback(host, SOCK_STREAM, m_port);
    if (!m_fd || ::listen(m_fd.get(), backlog) != 0)
        throw std::runtime_error("cannot listen on " + host);
}

UniqueFd LoopbackListener::accept() const
{
    return UniqueFd(retryOnEintr([&] { return ::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC); }));
}

void LoopbackListener::shutdown() const
{
    ::shutdown(m_fd.get(), SHUT_RDWR);
}

LoopbackUdp::LoopbackUdp(int family)
{
    m_fd = bindLoopback(family == AF_INET6 ? "::1" : "127.0.0.1", SOCK_DGRAM, m_port);
}

std::optional<std::vector<uint8_t>> LoopbackUdp::receive(Deadline deadline, sockaddr_storage* from)
{
    for (;;) {
        pollfd p { m_fd.get(), POLLIN, 0 };
        const int ready = ::poll(&p, 1, millisLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        // Larger than any datagram, so none is cut.
        std::vector<uint8_t> buffer(65536);
        sockaddr_storage source {};
        socklen_t length = sizeof source;
        const ssize_t n
            = ::recvfrom(m_fd.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source), &length);
        if (n < 0)
            return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        if (from != nullptr)
            *from = source;
        return buffer;
    }
}

bool LoopbackUdp::sendTo(const std::vector<uint8_t>& data, const sockaddr_storage& to)
{
    return ::sendto(m_fd.get(), data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
               addressLength(to))
        == static_cast<ssize_t>(data.size());
}

bool LoopbackUdp::sendTo(const std::vector<uint8_t>& data, const std::string& host, uint16_t port)
{
    const std::optional<sockaddr_storage> to = socketAddress(host, port);
    return to && sendTo(data, *to);
}

} // namespace corvantis::test
