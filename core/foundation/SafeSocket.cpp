#include "core/foundation/SafeSocket.h"

#include "platform/Assert.h"
#include "platform/Poll.h"
#include "platform/SocketMark.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace corvantis {

namespace {

constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();
constexpr std::uint32_t kClosed = 1;
constexpr std::uint32_t kOneUse = 2;
// Room for this many descriptors in one received message; the kernel drops (and closes) any beyond it.
constexpr std::size_t kMaxReceivedFds = 8;

// The descriptor value no socket has.
constexpr int INVALID_SOCKET = -1;

std::string errnoText(int err)
{
    char buffer[256];
    // The GNU strerror_r returns the text, either in the buffer or a static one; it is thread-safe.
    const char* text = strerror_r(err, buffer, sizeof buffer);
    return text ? text : "";
}

} // namespace

// Registers one call in progress for its scope; false (errno EBADF) when the wrapper is closed.
class CSafeSocket::Use final {
public:
    explicit Use(CSafeSocket& socket)
        : m_socket(socket)
        , m_entered(socket.enter())
    {
    }
    ~Use()
    {
        if (m_entered)
            m_socket.leave();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return m_entered; }

private:
    CSafeSocket& m_socket;
    const bool m_entered;
};

CSafeSocket::CSafeSocket(int sock)
    : m_sock(sock)
    , m_deadline(kNoDeadline)
{
    CORVANTIS_ASSERT(sock != INVALID_SOCKET, "a socket wrapper needs an open descriptor");
}

CSafeSocket::~CSafeSocket()
{
    // With no call in progress, a set closed bit means the descriptor is gone already.
    if ((m_state.load(std::memory_order_acquire) & kClosed) == 0)
        ::close(m_sock);
}

CSafeSocketPtr CSafeSocket::Create(int domain, int type, int protocol)
{
    int sock = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    if (sock == -1)
        return nullptr;
    // An unmarked socket of the daemon's would be captured by its own filter and loop back into it.
    if ((domain == AF_INET || domain == AF_INET6) && !ApplyOwnSocketMark(sock)) {
        const int saved = errno;
        ::close(sock);
        errno = saved;
        return nullptr;
    }
    return std::make_unique<CSafeSocket>(sock);
}

bool CSafeSocket::enter()
{
    std::uint32_t state = m_state.load(std::memory_order_acquire);
    do {
        if (state & kClosed) {
            errno = EBADF;
            return false;
        }
    } while (!m_state.compare_exchange_weak(state, state + kOneUse, std::memory_order_acq_rel));
    return true;
}

void CSafeSocket::leave()
{
    // The last call to leave a closed wrapper closes the descriptor; nobody can enter any more.
    if (m_state.fetch_sub(kOneUse, std::memory_order_acq_rel) == (kClosed | kOneUse)) {
        int saved = errno;
        ::close(m_sock);
        errno = saved;
    }
}

int CSafeSocket::Close()
{
    if (!enter())
        return -1;
    std::uint32_t before = m_state.fetch_or(kClosed, std::memory_order_acq_rel);
    if (before & kClosed) {
        leave();
        errno = EBADF;
        return -1;
    }
    // Other calls are in progress: closing now would let the number be reused under them, and close does not
    // wake a blocked call on Linux. A shutdown wakes them and makes every further call on the socket fail.
    // Only then: a shutdown acts on the connection itself, including copies of the descriptor passed to others.
    if ((before >> 1) > 1)
        ::shutdown(m_sock, SHUT_RDWR);
    if (m_state.fetch_sub(kOneUse, std::memory_order_acq_rel) == (kClosed | kOneUse))
        return ::close(m_sock);
    return 0;
}

bool CSafeSocket::IsClosed() const
{
    return (m_state.load(std::memory_order_acquire) & kClosed) != 0;
}

void CSafeSocket::addReceived(ssize_t n)
{
    if (n > 0)
        m_bytesReceived.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
}

void CSafeSocket::addSent(ssize_t n)
{
    if (n > 0)
        m_bytesSent.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
}

int CSafeSocket::Shutdown()
{
    Use use(*this);
    return use ? ::shutdown(m_sock, SHUT_RDWR) : -1;
}

int CSafeSocket::ShutdownSend()
{
    Use use(*this);
    return use ? ::shutdown(m_sock, SHUT_WR) : -1;
}

int CSafeSocket::ShutdownReceive()
{
    Use use(*this);
    return use ? ::shutdown(m_sock, SHUT_RD) : -1;
}

int CSafeSocket::SetSockOpt(int level, int name, const void* value, socklen_t length)
{
    Use use(*this);
    return use ? ::setsockopt(m_sock, level, name, value, length) : -1;
}

int CSafeSocket::GetSockOpt(int level, int name, void* value, socklen_t* length)
{
    Use use(*this);
    return use ? ::getsockopt(m_sock, level, name, value, length) : -1;
}

int CSafeSocket::Bind(const sockaddr* address, socklen_t length)
{
    Use use(*this);
    return use ? ::bind(m_sock, address, length) : -1;
}

int CSafeSocket::Listen(int backlog)
{
    Use use(*this);
    return use ? ::listen(m_sock, backlog) : -1;
}

int CSafeSocket::GetSockName(sockaddr* address, socklen_t* length)
{
    Use use(*this);
    return use ? ::getsockname(m_sock, address, length) : -1;
}

int CSafeSocket::GetPeerName(sockaddr* address, socklen_t* length)
{
    Use use(*this);
    return use ? ::getpeername(m_sock, address, length) : -1;
}

int CSafeSocket::Ioctl(unsigned long request, void* argument)
{
    Use use(*this);
    return use ? ::ioctl(m_sock, request, argument) : -1;
}

int CSafeSocket::SetCloseOnExec()
{
    Use use(*this);
    return use ? ::fcntl(m_sock, F_SETFD, FD_CLOEXEC) : -1;
}

void CSafeSocket::SetDeadline(std::chrono::steady_clock::time_point deadline)
{
    m_deadlinePassed.store(false, std::memory_order_release);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    m_deadline.store(std::min<std::int64_t>(ns, kNoDeadline - 1), std::memory_order_release);
}

void CSafeSocket::ClearDeadline()
{
    m_deadline.store(kNoDeadline, std::memory_order_release);
}

int CSafeSocket::msUntilDeadline() const
{
    const std::int64_t deadline = m_deadline.load(std::memory_order_acquire);
    if (deadline == kNoDeadline)
        return -1;
    const auto now
        = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
    if (deadline <= now)
        return 0;
    // Rounded up, so a wait never ends just before the deadline and spins.
    const std::int64_t ms = (deadline - now + 999999) / 1000000;
    return static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
}

void CSafeSocket::markDeadlinePassed()
{
    m_deadlinePassed.store(true, std::memory_order_release);
    errno = ETIMEDOUT;
}

template <typename Call> ssize_t CSafeSocket::callWithDeadline(short events, int flags, Call call)
{
    if (msUntilDeadline() == -1 || (flags & MSG_DONTWAIT) != 0)
        return retryOnEintr([&] { return call(flags); });
    const int fileFlags = ::fcntl(m_sock, F_GETFL);
    if (fileFlags == -1)
        return -1;
    if (fileFlags & O_NONBLOCK) // the caller waits itself
        return retryOnEintr([&] { return call(flags); });
    // Wait in poll, never in the call: a peer that sends one byte at a time would otherwise keep each call
    // short and the whole exchange without end.
    for (;;) {
        // Past the deadline, what is there already may still be taken; only waiting is over.
        const int left = msUntilDeadline();
        short revents = 0;
        const int ready = pollFd(m_sock, events, left, revents);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            if (left == 0) {
                markDeadlinePassed();
                return -1;
            }
            continue; // the clock decides
        }
        const ssize_t n = retryOnEintr([&] { return call(flags | MSG_DONTWAIT); });
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n;
    }
}

int CSafeSocket::Connect(const sockaddr* address, socklen_t length, int timeoutSeconds)
{
    Use use(*this);
    if (!use)
        return -1;
    const int deadlineMs = msUntilDeadline();
    if (timeoutSeconds < 2 && deadlineMs == -1)
        return ::connect(m_sock, address, length);

    int flags = ::fcntl(m_sock, F_GETFL);
    if (flags == -1)
        return -1;
    if (flags & O_NONBLOCK) // the caller waits for the connect itself
        return ::connect(m_sock, address, length);
    if (deadlineMs == 0) {
        markDeadlinePassed();
        return -1;
    }
    int timeoutMs = -1;
    if (timeoutSeconds >= 2)
        timeoutMs = timeoutSeconds > INT_MAX / 1000 ? INT_MAX : timeoutSeconds * 1000;
    const bool deadlineBinds = deadlineMs != -1 && (timeoutMs == -1 || deadlineMs < timeoutMs);
    if (deadlineBinds)
        timeoutMs = deadlineMs;

    // The system has no per-socket connect time-out: connect without blocking, wait for the outcome with a
    // bounded poll, then put the socket back to blocking.
    if (::fcntl(m_sock, F_SETFL, flags | O_NONBLOCK) == -1)
        return -1;
    int err = 0;
    if (::connect(m_sock, address, length) == -1) {
        err = errno;
        if (err == EINPROGRESS) {
            short revents = 0;
            int ready = pollFd(m_sock, POLLOUT, timeoutMs, revents);
            if (ready == 0) {
                err = ETIMEDOUT;
                if (deadlineBinds)
                    m_deadlinePassed.store(true, std::memory_order_release);
                // End the attempt, as an expired connect would: no more SYNs, and the socket can connect again.
                sockaddr unspecified {};
                unspecified.sa_family = AF_UNSPEC;
                ::connect(m_sock, &unspecified, sizeof unspecified);
            } else if (ready < 0) {
                err = errno;
            } else {
                socklen_t errLength = sizeof err;
                if (::getsockopt(m_sock, SOL_SOCKET, SO_ERROR, &err, &errLength) == -1)
                    err = errno;
                else if (err == 0 && IsClosed())
                    err = EBADF; // closed by another thread while the connect was in flight
            }
        }
    }
    int restored = ::fcntl(m_sock, F_SETFL, flags);
    if (err == 0 && restored == -1)
        err = errno;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

CSafeSocketPtr CSafeSocket::Accept(sockaddr* address, socklen_t* length, int timeoutMs, std::string& error)
{
    Use use(*this);
    if (use && timeoutMs != -1) {
        short revents = 0;
        int ready = pollFd(m_sock, POLLIN | POLLPRI, timeoutMs < 0 ? 0 : timeoutMs, revents);
        if (ready == 1) {
            if (revents & (POLLPRI | POLLERR | POLLNVAL)) {
                error = "select() returns an exceptional state on socket " + std::to_string(m_sock);
                return nullptr;
            }
        } else if (ready == 0) {
            error = "select() finished with timout on socket " + std::to_string(m_sock);
            errno = ETIMEDOUT;
            return nullptr;
        } else if (ready == -1) {
            int err = errno;
            error = "select() failed with error " + std::to_string(err) + " (" + errnoText(err) + ") on socket "
                + std::to_string(m_sock);
            errno = err;
            return nullptr;
        } else {
            error
                = "select() return unexpected value " + std::to_string(ready) + " on socket " + std::to_string(m_sock);
            return nullptr;
        }
    }
    int sock = use ? retryOnEintr([&] { return ::accept4(m_sock, address, length, SOCK_CLOEXEC); }) : -1;
    if (sock == -1) {
        int err = errno;
        error = "accept() failed with error " + std::to_string(err) + " (" + errnoText(err) + ") on socket "
            + std::to_string(m_sock);
        errno = err;
        return nullptr;
    }
    return std::make_unique<CSafeSocket>(sock);
}

ssize_t CSafeSocket::Recv(void* buffer, size_t length, int flags, int& error)
{
    Use use(*this);
    ssize_t n = use
        ? callWithDeadline(POLLIN, flags, [&](int callFlags) { return ::recv(m_sock, buffer, length, callFlags); })
        : -1;
    error = errno;
    addReceived(n);
    return n;
}

ssize_t CSafeSocket::RecvFrom(void* buffer, size_t length, int flags, sockaddr* address, socklen_t* addressLength)
{
    Use use(*this);
    ssize_t n
        = use ? retryOnEintr([&] { return ::recvfrom(m_sock, buffer, length, flags, address, addressLength); }) : -1;
    addReceived(n);
    return n;
}

ssize_t CSafeSocket::RecvMsg(void* buffer, size_t length, int flags, CSafeSocketPtr& received)
{
    Use use(*this);
    if (!use)
        return -1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int) * kMaxReceivedFds)] = {};
    iovec part { buffer, length };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // Close-on-exec from the start: a descriptor must not leak into a program started meanwhile.
    ssize_t n = retryOnEintr([&] { return ::recvmsg(m_sock, &message, flags | MSG_CMSG_CLOEXEC); });
    if (n < 0)
        return n;
    addReceived(n);

    // Keep the first descriptor; every other one would otherwise stay open with nobody owning it.
    int kept = -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS || header->cmsg_len < CMSG_LEN(0))
            continue;
        std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (kept == -1)
                kept = fd;
            else
                ::close(fd);
        }
    }
    if (kept != -1)
        received = std::make_unique<CSafeSocket>(kept);
    return n;
}

ssize_t CSafeSocket::Send(const void* buffer, size_t length, int flags, int& error)
{
    Use use(*this);
    ssize_t n = use ? callWithDeadline(POLLOUT, flags,
                    [&](int callFlags) { return ::send(m_sock, buffer, length, callFlags | MSG_NOSIGNAL); })
                    : -1;
    if (n == -1)
        error = errno;
    addSent(n);
    return n;
}

ssize_t CSafeSocket::SpliceToPipe(int pipeWrite, size_t length, int& error)
{
    Use use(*this);
    const ssize_t n = use ? retryOnEintr([&] {
        return ::splice(m_sock, nullptr, pipeWrite, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    })
                          : -1;
    if (n == -1)
        error = errno;
    addReceived(n);
    return n;
}

ssize_t CSafeSocket::SpliceFromPipe(int pipeRead, size_t length, int& error)
{
    Use use(*this);
    const ssize_t n = use ? retryOnEintr([&] {
        return ::splice(pipeRead, nullptr, m_sock, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    })
                          : -1;
    if (n == -1)
        error = errno;
    addSent(n);
    return n;
}

bool CSafeSocket::SendAll(const void* buffer, size_t length, int flags)
{
    const char* rest = static_cast<const char*>(buffer);
    size_t left = length;
    do {
        int error = 0;
        ssize_t n = Send(rest, left, flags, error);
        if (n < 0 || (n == 0 && left > 0))
            return false;
        rest += n;
        left -= static_cast<size_t>(n);
    } while (left > 0);
    return true;
}

ssize_t CSafeSocket::SendTo(
    const void* buffer, size_t length, int flags, const sockaddr* address, socklen_t addressLength, int& error)
{
    Use use(*this);
    ssize_t n = use
        ? retryOnEintr([&] { return ::sendto(m_sock, buffer, length, flags | MSG_NOSIGNAL, address, addressLength); })
        : -1;
    if (n == -1)
        error = errno;
    addSent(n);
    return n;
}

ssize_t CSafeSocket::SendMsg(const void* buffer, size_t length, int flags, int passFd)
{
    Use use(*this);
    if (!use)
        return -1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part { const_cast<void*>(buffer), length };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (passFd != -1) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passFd, sizeof passFd);
    }
    ssize_t n = retryOnEintr([&] { return ::sendmsg(m_sock, &message, flags | MSG_NOSIGNAL); });
    addSent(n);
    return n;
}

int CSafeSocket::Poll(short events, int timeoutMs, short& revents)
{
    Use use(*this);
    revents = 0;
    return use ? pollFd(m_sock, events, timeoutMs, revents) : -1;
}

bool CSafeSocket::IsNonBlocking()
{
    Use use(*this);
    if (!use)
        return false;
    int flags = ::fcntl(m_sock, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

bool CSafeSocket::setNonBlocking(bool on)
{
    Use use(*this);
    if (!use)
        return false;
    int flags = ::fcntl(m_sock, F_GETFL);
    if (flags == -1)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(m_sock, F_SETFL, flags) != -1;
}

bool CSafeSocket::SetNonBlocking()
{
    return setNonBlocking(true);
}

bool CSafeSocket::ClearNonBlocking()
{
    return setNonBlocking(false);
}

} // namespace corvantis
