#pragma once

#include "platform/Mutex.h"
#include "platform/netext/NEAppProxyFlow.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <sys/socket.h>
#include <sys/types.h>
#include <unordered_map>

namespace corvantis {

// The kernel's view of an application's socket: the user that created it and its inode (the number that
// /proc/PID/fd links name as "socket:[inode]").
struct SocketIdentity {
    uid_t uid = 0;
    uint64_t inode = 0;
};

// Asks the kernel (one sock_diag round trip) for the client socket of a captured flow: the IPPROTO_TCP or IPPROTO_UDP
// socket whose local address and port are `clientLocal` and whose peer is `clientRemote`, the address the application
// sent to. An unconnected UDP socket bound to `clientLocal` counts. IPv4 addresses, also when written as IPv4-mapped
// IPv6 ones, find IPv4 and dual-stack sockets alike. Nothing when no such socket exists, when no process holds it any
// more (a TCP socket closed but not yet gone), for mixed or unknown address families, or on any error. Waits at most
// about a second for the kernel's answer. Thread-safe: each thread keeps a netlink socket of its own.
std::optional<SocketIdentity> FindSocket(
    int protocol, const sockaddr_storage& clientLocal, const sockaddr_storage& clientRemote);

// Whether the client socket of a flow still exists and is held by a process (FindSocket finds it).
bool SocketExists(int protocol, const sockaddr_storage& clientLocal, const sockaddr_storage& clientRemote);

// Finds the process that holds a socket, by its inode, through /proc/PID/fd. A scan reads the descriptors of
// every process whose real or effective user is the socket's user (every process for root) and remembers all
// the sockets it saw, so that the next flows of the same processes cost one link check instead of a scan. A
// remembered answer is checked against /proc before use and dropped when the process no longer holds the
// socket at that descriptor; one that holds up is given whatever the `uid` asked with, since the descriptor
// alone proves the holder. A socket opened since the last scan is looked for first among the processes that
// held the latest sockets found, since an application tends to open one connection after another: first one
// link check at the descriptor number each of them got its latest socket at and at the number after it (a socket
// closed before the next one opens leaves its number to it; one kept open leaves the next), then a look at their
// own descriptors, and only then a scan of every process. Those processes are looked at only for a user they run
// as; the link checks take only those found for that very user (any, when asked for root).
//
// Thread-safety: pidOf may be called from several threads at once; the cache is guarded by a mutex that no
// /proc scan holds, so concurrent misses may each scan.
class SocketProcessFinder final {
public:
    static constexpr std::size_t kDefaultCapacity = 4096;

    // `capacity` bounds how many sockets the cache remembers (at least one); once a scan would exceed it, the
    // cache starts over with that scan's sockets.
    explicit SocketProcessFinder(std::size_t capacity = kDefaultCapacity);
    SocketProcessFinder(const SocketProcessFinder&) = delete;
    SocketProcessFinder& operator=(const SocketProcessFinder&) = delete;

    // The pid of a process holding the socket `inode` created by `uid`; nothing when no process of that user
    // holds it (it was closed, or /proc does not show it to this process).
    std::optional<pid_t> pidOf(uid_t uid, uint64_t inode);

private:
    // Where a socket was seen: the process and the descriptor number within it.
    struct Holder {
        pid_t pid = -1;
        int fd = -1;
    };
    using Sockets = std::unordered_map<uint64_t, Holder>;

    // A process that held one of the latest sockets found: where it held it, and the user it was found for.
    struct Recent {
        Holder holder;
        uid_t uid = 0;
    };

    // Adds `scanned` to the cache, `inode` first so that a scan larger than the capacity still keeps it.
    void remember(const Sockets& scanned, uint64_t inode);
    // Puts the process of `holder` first among the latest holders.
    void noteRecent(const Holder& holder, uid_t uid);

    const std::size_t m_capacity;
    Mutex m_mutex;
    Sockets m_cache GUARDED_BY(m_mutex);
    std::deque<Recent> m_recent GUARDED_BY(m_mutex); // latest first, each pid once
};

// Who opened a captured flow: finds the client socket, the process holding it and that process's audit token,
// executable name (the file name of /proc/PID/exe, else /proc/PID/comm) and executable path (when it could be read). An
// empty FlowMetaData (no token, no identifier) when any step fails. Thread-safe as far as `finder` is.
FlowMetaData IdentifyFlowOwner(SocketProcessFinder& finder, int protocol, const sockaddr_storage& clientLocal,
    const sockaddr_storage& clientRemote);

} // namespace corvantis
