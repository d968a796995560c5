#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

namespace corvantis {

class CSafeSocket;
using CSafeSocketPtr = std::unique_ptr<CSafeSocket>;

// Owns one socket descriptor and closes it exactly once. Sends never raise SIGPIPE (MSG_NOSIGNAL), and the bytes
// that successful sends and receives move are counted.
//
// Thread safety: one thread may send while another receives (each counter has a single writer), and any thread
// may call Close while others are blocked in the wrapper. Close from another thread does not close the
// descriptor under the feet of a blocked call: it shuts the socket down, which wakes such calls, and the
// descriptor is closed when the last call in progress leaves. From then on every operation fails with EBADF
// without touching the descriptor number, so a number reused by the process is never written to by mistake.
// Other uses from several threads at once need the holder's own lock.
class CSafeSocket final {
public:
    // Takes ownership of `sock`, which must be a valid descriptor (asserted).
    explicit CSafeSocket(int sock);
    // Closes the descriptor unless Close did. No call may be in progress.
    ~CSafeSocket();
    CSafeSocket(const CSafeSocket&) = delete;
    CSafeSocket& operator=(const CSafeSocket&) = delete;

    // A new close-on-exec socket of the given kind, or null (errno set) when the system refuses.
    static CSafeSocketPtr Create(int domain, int type, int protocol);

    // Marks the wrapper closed. Returns -1 when it was closed already. When no other call is in progress the
    // descriptor is closed at once and the result of close is returned; otherwise the socket is shut down in both
    // directions to wake those calls, the last of them closes the descriptor, and 0 is returned.
    int Close();
    bool IsClosed() const;

    // The descriptor number, for registration with an event loop. It keeps the old number after Close.
    int GetSocket() const { return m_sock; }
    std::uint64_t GetBytesSent() const { return m_bytesSent.load(std::memory_order_relaxed); }
    std::uint64_t GetBytesReceived() const { return m_bytesReceived.load(std::memory_order_relaxed); }

    // Forwards to the system call of the same purpose and return its result unchanged (-1 with errno EBADF
    // once closed).
    int Shutdown();
    int ShutdownSend();
    int ShutdownReceive();
    int SetSockOpt(int level, int name, const void* value, socklen_t length);
    int GetSockOpt(int level, int name, void* value, socklen_t* length);
    int Bind(const sockaddr* address, socklen_t length);
    int Listen(int backlog);
    int GetSockName(sockaddr* address, socklen_t* length);
    int GetPeerName(sockaddr* address, socklen_t* length);
    int Ioctl(unsigned long request, void* argument);
    int SetCloseOnExec();

    // Connects to `address`. With `timeoutSeconds` of 2 or more on a blocking socket the connect gives up after
    // that long with -1 and errno ETIMEDOUT (the socket is left blocking either way); smaller values keep the
    // system's own limit. A deadline (SetDeadline) bounds the wait as well. A non-blocking socket connects as the
    // system call does (EINPROGRESS).
    int Connect(const sockaddr* address, socklen_t length, int timeoutSeconds);

    // A point in time after which Connect, Recv and Send on this blocking socket no longer wait: a call that
    // would still have to wait then fails with -1 and errno ETIMEDOUT instead, however the peer dribbles its
    // bytes. Calls with MSG_DONTWAIT, and every call on a non-blocking socket, are not affected. A shutdown from
    // another thread still wakes a waiting call at once. The deadline holds until cleared or replaced; any
    // thread may set it, and a call already waiting keeps the deadline it started with.
    void SetDeadline(std::chrono::steady_clock::time_point deadline);
    void ClearDeadline();
    // Whether a call has given up because the deadline passed, since the deadline was last set.
    bool DeadlinePassed() const { return m_deadlinePassed.load(std::memory_order_acquire); }

    // Accepts one connection. `timeoutMs` -1 waits in accept itself; otherwise it waits for a pending
    // connection at most that long. Returns the new socket (close-on-exec), or null with `error` set to the
    // reason (ETIMEDOUT in errno on time-out). `address` and `length` may be null.
    CSafeSocketPtr Accept(sockaddr* address, socklen_t* length, int timeoutMs, std::string& error);

    // recv; `error` receives errno after every call (meaningful when the result is -1).
    ssize_t Recv(void* buffer, size_t length, int flags, int& error);
    ssize_t RecvFrom(void* buffer, size_t length, int flags, sockaddr* address, socklen_t* addressLength);
    // recvmsg into one buffer. When the message carries descriptors, the first becomes a new wrapper stored in
    // `received` (close-on-exec) and any others are closed; without one `received` is left as it was.
    ssize_t RecvMsg(void* buffer, size_t length, int flags, CSafeSocketPtr& received);

    // send; on -1 `error` receives errno.
    ssize_t Send(const void* buffer, size_t length, int flags, int& error);
    // Sends until all `length` bytes have gone (true) or a send fails (false). Zero bytes send once.
    bool SendAll(const void* buffer, size_t length, int flags);
    ssize_t SendTo(
        const void* buffer, size_t length, int flags, const sockaddr* address, socklen_t addressLength, int& error);
    // Moves at most `length` bytes from the socket into the pipe `pipeWrite`, or from the pipe `pipeRead` into
    // the socket, with splice: the bytes never enter the process. Neither waits for the pipe; each waits for the
    // socket as the socket is set (make it non-blocking first to never wait). Counted like Recv and Send; on -1
    // `error` receives errno.
    ssize_t SpliceToPipe(int pipeWrite, size_t length, int& error);
    ssize_t SpliceFromPipe(int pipeRead, size_t length, int& error);
    // sendmsg of one buffer, passing the descriptor `passFd` along unless it is -1.
    ssize_t SendMsg(const void* buffer, size_t length, int flags, int passFd);

    // Waits until the socket reports one of `events` (POLLIN, POLLOUT, ...) or `timeoutMs` passes (-1: no
    // limit). Returns 1 with `revents` set, 0 on time-out, -1 with errno. Works for every descriptor number.
    int Poll(short events, int timeoutMs, short& revents);

    bool IsNonBlocking();
    // Set or clear O_NONBLOCK; false when the flags cannot be read or written.
    bool SetNonBlocking();
    bool ClearNonBlocking();

private:
    class Use;
    bool enter();
    void leave();
    void addReceived(ssize_t n);
    void addSent(ssize_t n);
    bool setNonBlocking(bool on);
    // Milliseconds left before the deadline (at least 1, rounded up), 0 once it has passed, -1 without one.
    int msUntilDeadline() const;
    void markDeadlinePassed();
    // Runs `call(flags)` for a receive or a send that waits for `events`; under a deadline on a blocking socket
    // the wait happens in poll, bounded by the deadline, and the call itself never blocks.
    template <typename Call> ssize_t callWithDeadline(short events, int flags, Call call);

    const int m_sock;
    // Bit 0: closed. The rest counts the calls in progress, in steps of 2.
    std::atomic<std::uint32_t> m_state { 0 };
    std::atomic<std::uint64_t> m_bytesSent { 0 };
    std::atomic<std::uint64_t> m_bytesReceived { 0 };
    // The deadline on the steady clock in nanoseconds; kNoDeadline when there is none.
    std::atomic<std::int64_t> m_deadline;
    std::atomic<bool> m_deadlinePassed { false };
};

} // namespace corvantis
