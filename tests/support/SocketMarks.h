#pragma once

// Helpers for the tests of the daemon's socket mark: the mark set for one scope, a thread that may not mark
// sockets (as an unprivileged daemon could not), and counters of what a namespace of the test's sends with and
// without the mark.

#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <regex>
#include <string>

#include "platform/SocketMark.h"
#include "platform/UniqueFd.h"
#include "tests/support/NetNamespace.h"

namespace corvantis::test {

inline constexpr uint32_t kTestMark = 0x77;

// The mark of `fd` as the kernel holds it; -1 when it cannot be read.
inline int64_t socketMark(int fd)
{
    uint32_t mark = 0;
    socklen_t length = sizeof mark;
    if (getsockopt(fd, SOL_SOCKET, SO_MARK, &mark, &length) != 0)
        return -1;
    return mark;
}

// True when this process may mark its sockets (root, or CAP_NET_ADMIN); the tests of the mark skip otherwise.
inline bool canMarkSockets()
{
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const uint32_t mark = kTestMark;
    return probe && setsockopt(probe.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0;
}

// Gives this process's sockets `mark` for the object's lifetime, and none again afterwards.
class OwnMarkScope final {
public:
    explicit OwnMarkScope(uint32_t mark) { SetOwnSocketMark(mark); }
    ~OwnMarkScope() { SetOwnSocketMark(0); }
    OwnMarkScope(const OwnMarkScope&) = delete;
    OwnMarkScope& operator=(const OwnMarkScope&) = delete;
};

// Takes the capabilities that allow marking a socket (CAP_NET_ADMIN, CAP_NET_RAW) out of the calling thread's
// effective set; the other threads keep theirs. Call it only on a thread of the test's own that ends afterwards.
// True on success.
inline bool dropMarkingPrivilegeOfThisThread()
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const int capability : { CAP_NET_ADMIN, CAP_NET_RAW })
        data[capability / 32].effective &= ~(1u << (capability % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

// Counts, in the output path of the namespace `ns`, what is sent to `port` of `protocol` ("tcp": connection
// openings only, so retransmissions and the server's side do not count; "udp": every datagram), split by
// whether it carries `mark`. The table goes with the namespace.
class SentPacketCounter final {
public:
    SentPacketCounter(const NetNamespace& ns, const std::string& protocol, uint16_t port, uint32_t mark)
        : m_ns(ns)
    {
        const std::string match = protocol == "tcp"
            ? "tcp dport " + std::to_string(port) + " tcp flags & (syn | ack) == syn"
            : "udp dport " + std::to_string(port);
        const std::string markText = std::to_string(mark);
        m_ok = ns.run("nft 'add table inet marks; add counter inet marks marked; add counter inet marks unmarked; "
                      "add chain inet marks out { type filter hook output priority 0; }; "
                      "add rule inet marks out "
            + match + " meta mark " + markText + " counter name marked; add rule inet marks out " + match
            + " meta mark != " + markText + " counter name unmarked'");
    }
    SentPacketCounter(const SentPacketCounter&) = delete;
    SentPacketCounter& operator=(const SentPacketCounter&) = delete;

    // False when nft could not add the table.
    bool ok() const { return m_ok; }
    // Packets so far that carried the mark, and that did not; -1 when the counter cannot be read.
    int64_t marked() const { return packets("marked"); }
    int64_t unmarked() const { return packets("unmarked"); }

private:
    int64_t packets(const std::string& counter) const
    {
        const std::string text = m_ns.output("nft list counter inet marks " + counter);
        std::smatch found;
        if (!std::regex_search(text, found, std::regex("packets ([0-9]+)")))
            return -1;
        return std::stoll(found[1]);
    }

    const NetNamespace& m_ns;
    bool m_ok = false;
};

} // namespace corvantis::test
