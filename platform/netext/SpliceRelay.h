#pragma once

#include "platform/Result.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <thread>

namespace corvantis {

// Carries TCP connections the flow code did not take straight to where they were going. The kernel has already
// diverted such a connection to the daemon, so the daemon connects to the original destination itself, through
// a socket that carries the daemon's mark (so it is not captured again), and moves the bytes both ways with
// splice: they never enter the daemon's memory. An orderly end of one side is passed on as an orderly end of the
// other; an error or a refused connect resets the application's connection.
//
// All connections run on one thread of the relay's own, which waits on epoll and never blocks otherwise.
//
// Thread-safety: add() and count() may be called from any thread; stop() (and the destructor) from one.
class SpliceRelay final {
    struct PrivateTag { };

public:
    // Makes a socket like ::socket: a descriptor, or -1 with errno.
    using MakeSocket = std::function<int(int domain, int type)>;

    // `ownMark`: the mark of every connection to a destination (0: none). `makeSocket` makes the sockets to the
    // destinations (empty: ::socket). A socket belongs to the network namespace of the thread that makes it and
    // the relay makes them on its own thread, so a relay serving another namespace passes a maker that creates
    // them there; it is called on the relay's thread only.
    static Result<std::unique_ptr<SpliceRelay>> open(uint32_t ownMark, MakeSocket makeSocket = nullptr);
    SpliceRelay(PrivateTag, UniqueFd epoll, UniqueFd wake, uint32_t ownMark, MakeSocket makeSocket);
    ~SpliceRelay();
    SpliceRelay(const SpliceRelay&) = delete;
    SpliceRelay& operator=(const SpliceRelay&) = delete;

    // Relays the application's connection `client` to `destination`. After stop(), closes it at once.
    void add(UniqueFd client, const sockaddr_storage& destination);
    // The connections being relayed.
    std::size_t count() const { return m_count.load(); }
    // Closes every connection and ends the thread.
    void stop();

private:
    struct Impl;
    void run();

    const UniqueFd m_epoll;
    const UniqueFd m_wake;
    const uint32_t m_ownMark;
    const MakeSocket m_makeSocket;
    std::unique_ptr<Impl> m_impl;
    std::atomic<std::size_t> m_count { 0 };
    std::thread m_thread;
};

// Makes a TCP or UDP socket of `family` for the daemon's own traffic (non-blocking, close-on-exec) with the mark
// `mark` (0: none), through `makeSocket` when given (::socket otherwise); invalid, with errno set, when the system
// refuses either.
UniqueFd MarkedSocket(int family, int type, uint32_t mark, const SpliceRelay::MakeSocket& makeSocket = nullptr);

} // namespace corvantis
