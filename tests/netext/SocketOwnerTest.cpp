#include "platform/netext/SocketOwner.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/UniqueFd.h"
#include "platform/netext/AuditToken.h"
#include "tests/support/Loopback.h"
#include "tests/support/WaitingChild.h"

namespace corvantis {
namespace {

using test::LoopbackListener;
using test::LoopbackUdp;

// A user id no process on a test machine runs as: a scan for it finds nothing.
constexpr uid_t kUnusedUid = 4000000000u;

uint64_t InodeOf(int fd)
{
    struct stat status { };
    if (::fstat(fd, &status) != 0)
        return 0;
    return status.st_ino;
}

sockaddr_storage LocalOf(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        address.ss_family = AF_UNSPEC;
    return address;
}

sockaddr_storage Address(const std::string& host, uint16_t port)
{
    std::optional<sockaddr_storage> address = test::socketAddress(host, port);
    EXPECT_TRUE(address) << host;
    return address.value_or(sockaddr_storage {});
}

uint16_t PortOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

sockaddr_storage WithPort(sockaddr_storage address, uint16_t port)
{
    if (address.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    return address;
}

// The same IPv4 address and port written as an IPv4-mapped IPv6 address.
sockaddr_storage Mapped(const sockaddr_storage& v4)
{
    const auto& in = reinterpret_cast<const sockaddr_in&>(v4);
    sockaddr_storage storage {};
    auto& out = reinterpret_cast<sockaddr_in6&>(storage);
    out.sin6_family = AF_INET6;
    out.sin6_port = in.sin_port;
    out.sin6_addr.s6_addr[10] = 0xFF;
    out.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(out.sin6_addr.s6_addr + 12, &in.sin_addr, sizeof in.sin_addr);
    return storage;
}

std::string FileName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string ExecutableName(pid_t pid)
{
    char target[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    return length > 0 ? FileName(std::string(target, static_cast<std::size_t>(length))) : std::string();
}

// A port of `protocol` on 127.0.0.1 that no socket holds: bound by the system's choice and released again.
uint16_t UnheldPort(int protocol)
{
    UniqueFd fd(::socket(AF_INET, protocol == IPPROTO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0));
    sockaddr_storage any = Address("127.0.0.1", 0);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof(sockaddr_in)) != 0)
        return 0;
    return PortOf(LocalOf(fd.get()));
}

// A client socket of the test process connected to a loopback peer of its own, the way an application's
// captured flow looks from the daemon: the client's local address and the peer it went to.
class Connection final {
public:
    // `clientFamily` may be AF_INET6 with an IPv4 `host`: a dual-stack socket that reaches it through a mapped
    // address.
    Connection(int protocol, const std::string& host, int clientFamily)
        : m_protocol(protocol)
    {
        const int family = host.find(':') == std::string::npos ? AF_INET : AF_INET6;
        if (protocol == IPPROTO_TCP) {
            m_listener.emplace(host);
            m_peer = Address(host, m_listener->port());
        } else {
            m_udpPeer.emplace(family);
            m_peer = Address(host, m_udpPeer->port());
        }
        sockaddr_storage target = clientFamily == family ? m_peer : Mapped(m_peer);
        m_client.reset(::socket(clientFamily, protocol == IPPROTO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0));
        int v6Only = 0;
        if (clientFamily == AF_INET6)
            ::setsockopt(m_client.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
        if (::connect(m_client.get(), reinterpret_cast<const sockaddr*>(&target), test::addressLength(target)) != 0) {
            ADD_FAILURE() << "connect: " << std::strerror(errno);
            return;
        }
        if (m_listener)
            m_accepted = m_listener->accept();
        m_local = LocalOf(m_client.get());
        // Seen from IPv4, as the capture reports a flow of a dual-stack socket.
        if (clientFamily != family)
            m_local = Address(host, PortOf(m_local));
    }

    int protocol() const { return m_protocol; }
    int client() const { return m_client.get(); }
    const sockaddr_storage& local() const { return m_local; }
    const sockaddr_storage& peer() const { return m_peer; }
    void closeClient() { m_client.reset(); }

private:
    int m_protocol;
    std::optional<LoopbackListener> m_listener;
    std::optional<LoopbackUdp> m_udpPeer;
    UniqueFd m_client;
    UniqueFd m_accepted;
    sockaddr_storage m_local {};
    sockaddr_storage m_peer {};
};

struct FlowCase {
    const char* name;
    int protocol;
    const char* host;
    int clientFamily;
};

const FlowCase kFlowCases[] = {
    { "tcp ipv4", IPPROTO_TCP, "127.0.0.1", AF_INET },
    { "tcp ipv6", IPPROTO_TCP, "::1", AF_INET6 },
    { "udp ipv4", IPPROTO_UDP, "127.0.0.1", AF_INET },
    { "udp ipv6", IPPROTO_UDP, "::1", AF_INET6 },
    { "tcp dual-stack socket to ipv4", IPPROTO_TCP, "127.0.0.1", AF_INET6 },
    { "udp dual-stack socket to ipv4", IPPROTO_UDP, "127.0.0.1", AF_INET6 },
};

TEST(SocketOwner, FindsTheClientSocketItsProcessAndItsName)
{
    for (const FlowCase& flowCase : kFlowCases) {
        SCOPED_TRACE(flowCase.name);
        Connection connection(flowCase.protocol, flowCase.host, flowCase.clientFamily);
        const uint64_t inode = InodeOf(connection.client());

        std::optional<SocketIdentity> identity
            = FindSocket(connection.protocol(), connection.local(), connection.peer());
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->uid, ::getuid());
        EXPECT_EQ(identity->inode, inode);
        EXPECT_TRUE(SocketExists(connection.protocol(), connection.local(), connection.peer()));

        SocketProcessFinder finder;
        EXPECT_EQ(finder.pidOf(identity->uid, identity->inode), ::getpid());

        FlowMetaData metaData = IdentifyFlowOwner(finder, connection.protocol(), connection.local(), connection.peer());
        EXPECT_EQ(metaData.sourceAppSigningIdentifier, ExecutableName(::getpid()));
        EXPECT_EQ(metaData.sourceAppCodePath, std::filesystem::read_symlink("/proc/self/exe").string());
        ASSERT_TRUE(metaData.sourceAppAuditToken);
        std::optional<AuditToken> token = AuditToken::FromBytes(*metaData.sourceAppAuditToken);
        ASSERT_TRUE(token);
        EXPECT_EQ(token->pid, ::getpid());
        EXPECT_EQ(token->socketInode, inode);

        connection.closeClient();
        EXPECT_FALSE(FindSocket(connection.protocol(), connection.local(), connection.peer()));
        EXPECT_FALSE(SocketExists(connection.protocol(), connection.local(), connection.peer()));
        EXPECT_FALSE(finder.pidOf(identity->uid, inode)) << "a closed socket's remembered holder is stale";
        metaData = IdentifyFlowOwner(finder, connection.protocol(), connection.local(), connection.peer());
        EXPECT_EQ(metaData.sourceAppSigningIdentifier, "");
        EXPECT_FALSE(metaData.sourceAppAuditToken);
        EXPECT_EQ(metaData.sourceAppCodePath, "");
    }
}

TEST(SocketOwner, Ipv4MappedAddressesFindIpv4AndDualStackSockets)
{
    for (const FlowCase& flowCase : kFlowCases) {
        if (std::string(flowCase.host) != "127.0.0.1")
            continue;
        SCOPED_TRACE(flowCase.name);
        Connection connection(flowCase.protocol, flowCase.host, flowCase.clientFamily);
        std::optional<SocketIdentity> identity
            = FindSocket(connection.protocol(), Mapped(connection.local()), Mapped(connection.peer()));
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->inode, InodeOf(connection.client()));
    }
}

TEST(SocketOwner, AnotherTupleFindsNothing)
{
    for (const FlowCase& flowCase : kFlowCases) {
        SCOPED_TRACE(flowCase.name);
        Connection connection(flowCase.protocol, flowCase.host, flowCase.clientFamily);
        const sockaddr_storage& local = connection.local();
        const sockaddr_storage& peer = connection.peer();
        // The reversed tuple is the peer's own socket, never the client's: each protocol's lookup puts the ends
        // its own way round.
        std::optional<SocketIdentity> reversed = FindSocket(connection.protocol(), peer, local);
        if (reversed) {
            EXPECT_NE(reversed->inode, InodeOf(connection.client())) << "tuple reversed";
        }
        EXPECT_FALSE(FindSocket(connection.protocol(), WithPort(local, UnheldPort(connection.protocol())), peer))
            << "other local port";
        EXPECT_FALSE(FindSocket(connection.protocol(), local, WithPort(peer, UnheldPort(connection.protocol()))))
            << "other remote port of a connected socket";
        const int other = connection.protocol() == IPPROTO_TCP ? IPPROTO_UDP : IPPROTO_TCP;
        EXPECT_FALSE(FindSocket(other, local, peer)) << "other protocol";
    }
}

TEST(SocketOwner, RejectsWhatItCannotLookUp)
{
    Connection connection(IPPROTO_TCP, "127.0.0.1", AF_INET);
    sockaddr_storage unix {};
    unix.ss_family = AF_UNIX;
    struct Case {
        const char* name;
        int protocol;
        sockaddr_storage local;
        sockaddr_storage remote;
    };
    const Case cases[] = {
        { "sctp", IPPROTO_SCTP, connection.local(), connection.peer() },
        { "raw", IPPROTO_RAW, connection.local(), connection.peer() },
        { "unix local", IPPROTO_TCP, unix, connection.peer() },
        { "empty remote", IPPROTO_TCP, connection.local(), sockaddr_storage {} },
        { "ipv4 to ipv6", IPPROTO_TCP, connection.local(), Address("::1", PortOf(connection.peer())) },
    };
    SocketProcessFinder finder;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_FALSE(FindSocket(testCase.protocol, testCase.local, testCase.remote));
        FlowMetaData metaData = IdentifyFlowOwner(finder, testCase.protocol, testCase.local, testCase.remote);
        EXPECT_EQ(metaData.sourceAppSigningIdentifier, "");
        EXPECT_FALSE(metaData.sourceAppAuditToken);
    }
    EXPECT_TRUE(FindSocket(IPPROTO_TCP, connection.local(), connection.peer())) << "the valid tuple still works";
}

// The daemon sees a UDP flow whose application only ever called sendto: the socket has no peer, yet the
// flow's tuple must still lead to it.
TEST(SocketOwner, FindsAnUnconnectedUdpSocket)
{
    for (const char* host : { "127.0.0.1", "::1" }) {
        SCOPED_TRACE(host);
        const int family = std::string(host) == "::1" ? AF_INET6 : AF_INET;
        LoopbackUdp peer(family);
        ASSERT_NE(peer.port(), 0);
        UniqueFd client(::socket(family, SOCK_DGRAM, 0));
        sockaddr_storage bound = Address(host, 0);
        ASSERT_EQ(::bind(client.get(), reinterpret_cast<const sockaddr*>(&bound), test::addressLength(bound)), 0);
        const sockaddr_storage target = Address(host, peer.port());
        const char byte = 'x';
        ASSERT_EQ(::sendto(client.get(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&target),
                      test::addressLength(target)),
            1);
        const sockaddr_storage local = LocalOf(client.get());

        std::optional<SocketIdentity> identity = FindSocket(IPPROTO_UDP, local, target);
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->inode, InodeOf(client.get()));
        SocketProcessFinder finder;
        EXPECT_EQ(finder.pidOf(identity->uid, identity->inode), ::getpid());

        client.reset();
        EXPECT_FALSE(SocketExists(IPPROTO_UDP, local, target));
    }
}

// A process that holds an outgoing TCP connection to `listener` until it is ended.
class SocketHolder final {
public:
    explicit SocketHolder(const LoopbackListener& listener)
        : m_child("/usr/bin/python3",
            { "python3", "-c",
                "import socket, sys\n"
                "s = socket.create_connection(('127.0.0.1', "
                    + std::to_string(listener.port())
                    + "))\n"
                      "sys.stdin.read()\n" })
    {
        if (m_child.pid() <= 0)
            return;
        m_accepted = listener.accept();
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        if (m_accepted && ::getpeername(m_accepted.get(), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            m_local = peer;
    }

    pid_t pid() const { return m_child.pid(); }
    // The child's end of the connection, as the accepted side sees it; nothing when it never connected.
    const std::optional<sockaddr_storage>& local() const { return m_local; }

private:
    test::WaitingChild m_child;
    UniqueFd m_accepted;
    std::optional<sockaddr_storage> m_local;
};

TEST(SocketOwner, FindsAnotherProcessAndForgetsItOnceItEnds)
{
    if (::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/python3 to hold a socket in another process";
    LoopbackListener listener;
    const sockaddr_storage remote = Address("127.0.0.1", listener.port());
    SocketProcessFinder finder;

    uint64_t firstInode = 0;
    sockaddr_storage firstLocal {};
    {
        SocketHolder holder(listener);
        ASSERT_TRUE(holder.local());
        firstLocal = *holder.local();
        std::optional<SocketIdentity> identity = FindSocket(IPPROTO_TCP, firstLocal, remote);
        ASSERT_TRUE(identity);
        firstInode = identity->inode;
        EXPECT_EQ(finder.pidOf(identity->uid, identity->inode), holder.pid());

        FlowMetaData metaData = IdentifyFlowOwner(finder, IPPROTO_TCP, firstLocal, remote);
        EXPECT_EQ(metaData.sourceAppSigningIdentifier, ExecutableName(holder.pid()));
        EXPECT_NE(metaData.sourceAppSigningIdentifier, ExecutableName(::getpid()));
        ASSERT_TRUE(metaData.sourceAppAuditToken);
        std::optional<AuditToken> token = AuditToken::FromBytes(*metaData.sourceAppAuditToken);
        ASSERT_TRUE(token);
        EXPECT_EQ(token->pid, holder.pid());
        EXPECT_EQ(token->socketInode, firstInode);
    }
    // The holder has ended and been reaped: its remembered socket must not be vouched for any more.
    EXPECT_FALSE(FindSocket(IPPROTO_TCP, firstLocal, remote));
    EXPECT_FALSE(finder.pidOf(::getuid(), firstInode));

    SocketHolder next(listener);
    ASSERT_TRUE(next.local());
    std::optional<SocketIdentity> identity = FindSocket(IPPROTO_TCP, *next.local(), remote);
    ASSERT_TRUE(identity);
    EXPECT_NE(identity->inode, firstInode);
    EXPECT_EQ(finder.pidOf(identity->uid, identity->inode), next.pid());
    std::optional<AuditToken> token
        = AuditToken::FromBytes(IdentifyFlowOwner(finder, IPPROTO_TCP, *next.local(), remote)
                                    .sourceAppAuditToken.value_or(std::vector<uint8_t> {}));
    ASSERT_TRUE(token);
    EXPECT_EQ(token->pid, next.pid());
}

// A scan remembers every socket of the processes it read, so a second flow of the same process is answered
// from the cache: asked with a user no process runs as, only a remembered answer can name the holder.
TEST(SocketProcessFinder, RemembersTheOtherSocketsOfAScannedProcessWithinItsCapacity)
{
    struct Case {
        const char* name;
        std::size_t capacity;
        bool secondRemembered;
    };
    const Case cases[] = {
        { "room for all", SocketProcessFinder::kDefaultCapacity, true },
        { "room for one", 1, false },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Connection first(IPPROTO_TCP, "127.0.0.1", AF_INET);
        Connection second(IPPROTO_UDP, "127.0.0.1", AF_INET);
        SocketProcessFinder finder(testCase.capacity);
        EXPECT_EQ(finder.pidOf(::getuid(), InodeOf(first.client())), ::getpid());
        std::optional<pid_t> remembered = finder.pidOf(kUnusedUid, InodeOf(second.client()));
        if (testCase.secondRemembered)
            EXPECT_EQ(remembered, ::getpid());
        else
            EXPECT_FALSE(remembered);
        // The socket asked for is kept even when the scan saw more than fits.
        EXPECT_EQ(finder.pidOf(kUnusedUid, InodeOf(first.client())), ::getpid());
    }
}

TEST(SocketProcessFinder, FindsASocketOpenedSinceTheScanAmongTheLatestHolders)
{
    Connection first(IPPROTO_TCP, "127.0.0.1", AF_INET);
    SocketProcessFinder finder;
    EXPECT_EQ(finder.pidOf(::getuid(), InodeOf(first.client())), ::getpid());
    // Opened after the scan: in no cache, but held by the process that held the last one found.
    Connection later(IPPROTO_TCP, "::1", AF_INET6);
    EXPECT_EQ(finder.pidOf(::getuid(), InodeOf(later.client())), ::getpid());
    // The latest holders are looked at only for their own user.
    Connection third(IPPROTO_UDP, "127.0.0.1", AF_INET);
    EXPECT_FALSE(finder.pidOf(kUnusedUid, InodeOf(third.client())));
}

// A socket at the lowest free descriptor number from `number` on (none below it is touched).
UniqueFd SocketAtOrAbove(int number)
{
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return {};
    return UniqueFd(::fcntl(socket.get(), F_DUPFD_CLOEXEC, number));
}

TEST(SocketProcessFinder, FindsTheNextSocketOfALatestHolderWhereverItsNumber)
{
    // Numbers well above what the test process holds, so that each socket lands where the case puts it.
    constexpr int kBase = 900;
    struct Case {
        const char* name;
        bool closeFirst; // the first socket is closed before the next one opens
        int offset; // the next socket's number: the first's plus this
    };
    const Case cases[] = {
        { "the number the closed socket left", true, 0 },
        { "the number after a socket kept open", false, 1 },
        { "a number further on", false, 7 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketProcessFinder finder;
        UniqueFd first = SocketAtOrAbove(kBase);
        ASSERT_EQ(first.get(), kBase);
        EXPECT_EQ(finder.pidOf(::getuid(), InodeOf(first.get())), ::getpid());
        if (c.closeFirst)
            first.reset();
        UniqueFd next = SocketAtOrAbove(kBase + c.offset);
        ASSERT_EQ(next.get(), kBase + c.offset);
        const uint64_t inode = InodeOf(next.get());
        // Never given for a user the process does not run as, however quickly it would be found.
        EXPECT_FALSE(finder.pidOf(kUnusedUid, inode));
        EXPECT_EQ(finder.pidOf(::getuid(), inode), ::getpid());
        // The number now holds another socket: the one asked for is still told apart.
        next.reset();
        UniqueFd other = SocketAtOrAbove(kBase + c.offset);
        ASSERT_EQ(other.get(), kBase + c.offset);
        EXPECT_FALSE(finder.pidOf(::getuid(), inode)) << "closed";
        EXPECT_EQ(finder.pidOf(::getuid(), InodeOf(other.get())), ::getpid());
    }
}

TEST(SocketProcessFinder, ScansOnlyTheProcessesOfTheSocketsUser)
{
    Connection connection(IPPROTO_TCP, "127.0.0.1", AF_INET);
    const uint64_t inode = InodeOf(connection.client());
    EXPECT_FALSE(SocketProcessFinder().pidOf(kUnusedUid, inode));
    EXPECT_EQ(SocketProcessFinder().pidOf(::getuid(), inode), ::getpid());
    EXPECT_FALSE(SocketProcessFinder().pidOf(::getuid(), 0)) << "no socket has inode 0";
}

} // namespace
} // namespace corvantis
