#include "platform/netext/UdpTproxySource.h"

#include "platform/UniqueFd.h"
#include "platform/netext/SocketAddress.h"
#include "tests/support/Loopback.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <future>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::NetNamespace;
using test::waitUntil;

constexpr uint32_t kOwnMark = 0x5a19;
constexpr uint32_t kTproxyMark = 0x5a18;

std::vector<uint8_t> bytes(const std::string& text)
{
    return { text.begin(), text.end() };
}

std::string textOf(const std::vector<uint8_t>& data)
{
    return { data.begin(), data.end() };
}

// One read of the flow: the batch, or nothing when the read failed or took too long.
std::optional<std::vector<FlowDatagram>> ReadBatch(const NEAppProxyUDPFlowPtr& flow)
{
    auto done = std::make_shared<std::promise<std::optional<std::vector<FlowDatagram>>>>();
    flow->readDatagramsWithCompletionHandler([done](std::optional<std::vector<FlowDatagram>> batch,
                                                 std::optional<FlowError>) { done->set_value(std::move(batch)); });
    auto future = done->get_future();
    if (future.wait_for(test::kPatience) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}

void Write(const NEAppProxyUDPFlowPtr& flow, std::vector<FlowDatagram> datagrams)
{
    std::promise<std::optional<FlowError>> done;
    flow->writeDatagrams(std::move(datagrams), [&](std::optional<FlowError> error) { done.set_value(error); });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(test::kPatience), std::future_status::ready);
    EXPECT_FALSE(future.get());
}

// A datagram as a client received it: its payload and who sent it ("10.9.9.9:5353").
struct Received {
    std::string data;
    std::string from;
};

// One datagram on `fd` and its sender's socket address; nothing when none came in time.
std::optional<std::pair<std::string, sockaddr_storage>> ReceiveWithSender(int fd)
{
    pollfd p { fd, POLLIN, 0 };
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(test::kPatience).count())) != 1)
        return std::nullopt;
    char buffer[2048];
    sockaddr_storage from {};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0)
        return std::nullopt;
    return std::make_pair(std::string(buffer, static_cast<std::size_t>(n)), from);
}

std::optional<Received> ReceiveOn(int fd)
{
    const auto received = ReceiveWithSender(fd);
    if (!received)
        return std::nullopt;
    const sockaddr_storage& from = received->second;
    return Received { received->first,
        NWEndpoint::Host(SocketAddressText(from), std::to_string(SocketPort(from))).description() };
}

// Receives one datagram on `fd` and sends `answer` back to its sender, as a server would.
bool AnswerOnce(int fd, const std::string& answer)
{
    const auto received = ReceiveWithSender(fd);
    if (!received)
        return false;
    const sockaddr_storage& to = received->second;
    return ::sendto(
               fd, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&to), test::addressLength(to))
        == static_cast<ssize_t>(answer.size());
}

uint16_t LocalPortOf(int fd)
{
    sockaddr_storage bound {};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return 0;
    return SocketPort(bound);
}

bool SendTo(int fd, const std::string& data, const std::string& host, uint16_t port)
{
    const auto address = test::socketAddress(host, port);
    return address
        && ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&*address),
               test::addressLength(*address))
        == static_cast<ssize_t>(data.size());
}

// What the flow code was offered, in order.
class Offers {
public:
    struct Offer {
        NEAppProxyUDPFlowPtr flow;
        NWEndpoint remote;
    };

    // The offer handler: records the flow and answers `take`.
    UdpTproxySource::Offer handler(bool take)
    {
        return [this, take](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& remote) {
            std::lock_guard lock(m_mutex);
            m_offers.push_back({ flow, remote });
            return take;
        };
    }
    std::size_t size()
    {
        std::lock_guard lock(m_mutex);
        return m_offers.size();
    }
    // The `index`th offer once it came; a flow of nothing when it does not come.
    Offer at(std::size_t index)
    {
        if (!waitUntil([&] { return size() > index; }))
            return {};
        std::lock_guard lock(m_mutex);
        return m_offers[index];
    }

private:
    std::mutex m_mutex;
    std::vector<Offer> m_offers;
};

// Two namespaces joined by a veth pair: the machine under test (10.0.0.1, fd00::1), where the source runs with
// the capture rules the daemon installs, and a peer (10.0.0.2, fd00::2) that echoes UDP on port 7777.
// Datagrams to port 5353 or 7777 are captured. 10.9.9.9 and fd00::9 exist nowhere: only the source can answer
// from them.
class UdpTproxySourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!m_host.valid() || !m_peer.valid())
            GTEST_SKIP() << "needs root";
        ASSERT_TRUE(m_host.linkTo(m_peer));
        ASSERT_TRUE(m_host.run("ip rule add fwmark 0x5a18 lookup 100 && ip route add local default dev lo table 100"
                               " && ip -6 rule add fwmark 0x5a18 lookup 100"
                               " && ip -6 route add local default dev lo table 100"));
    }

    void TearDown() override
    {
        m_echoing = false;
        if (m_echo.joinable())
            m_echo.join();
    }

    // Opens the source in the host namespace and installs the rules that send captured datagrams to its port.
    UdpTproxySourcePtr open(UdpTproxyOptions options, UdpTproxySource::Offer offer,
        UdpTproxySource::Alive alive = nullptr, UdpTproxySource::Identify identify = nullptr)
    {
        options.ownMark = kOwnMark;
        // The source makes reply and relay sockets on its pool threads, which live in the test's namespace.
        options.makeSocket = [this](int domain, int type) { return m_host.socket(domain, type); };
        Result<UdpTproxySourcePtr> opened = Status::error(EINVAL, "not run");
        EXPECT_TRUE(m_host.runInside(
            [&] { opened = UdpTproxySource::open(options, std::move(identify), std::move(alive), std::move(offer)); }));
        if (!opened) {
            ADD_FAILURE() << opened.status().message();
            return nullptr;
        }
        const std::string port = std::to_string((*opened)->port());
        const std::string ruleset = "table inet capture {\n"
                                    "    chain udp_capture {\n"
                                    "        type route hook output priority mangle; policy accept;\n"
                                    "        meta mark "
            + std::to_string(kOwnMark)
            + " return\n"
              "        meta l4proto udp udp dport { 5353, 7777 } meta mark set "
            + std::to_string(kTproxyMark)
            + "\n"
              "    }\n"
              "    chain udp_divert {\n"
              "        type filter hook prerouting priority mangle; policy accept;\n"
              "        meta mark "
            + std::to_string(kTproxyMark) + " meta nfproto ipv4 meta l4proto udp tproxy ip to 127.0.0.1:" + port
            + " accept\n"
              "        meta mark "
            + std::to_string(kTproxyMark) + " meta nfproto ipv6 meta l4proto udp tproxy ip6 to [::1]:" + port
            + " accept\n"
              "    }\n"
              "}\n";
        EXPECT_TRUE(m_host.run("nft -f - <<'EOF'\n" + ruleset + "EOF\n"));
        return std::move(*opened);
    }

    // A client of the host namespace, bound so that its address is known.
    UniqueFd client(int family)
    {
        UniqueFd fd(m_host.socket(family, SOCK_DGRAM | SOCK_CLOEXEC));
        EXPECT_TRUE(fd);
        return fd;
    }

    // A client of the host namespace that the capture rules pass over, as they pass over the source's own
    // sockets: it carries the own mark.
    UniqueFd uncapturedClient(int family)
    {
        UniqueFd fd = client(family);
        const int mark = static_cast<int>(kOwnMark);
        EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark), 0);
        return fd;
    }

    // A server of the host namespace on [address]:port, bound with SO_REUSEADDR as DNS servers bind.
    UniqueFd localServer(const std::string& address, uint16_t port)
    {
        const auto local = test::socketAddress(address, port);
        EXPECT_TRUE(local);
        if (!local)
            return {};
        UniqueFd fd(m_host.socket(local->ss_family, SOCK_DGRAM | SOCK_CLOEXEC));
        const int on = 1;
        EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*local), test::addressLength(*local)), 0);
        return fd;
    }

    // True when a socket of the host namespace is bound to [address]:port (the kernel's own list).
    bool boundInHost(const std::string& address, uint16_t port) const
    {
        const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
        return !m_host.output("ss -Hnua 'src " + host + ":" + std::to_string(port) + "'").empty();
    }

    // Echoes every datagram on the peer's [address]:7777 back to its sender.
    // Ends the echo server of an earlier round and starts one on `address`.
    void restartEcho(const std::string& address)
    {
        m_echoing = false;
        if (m_echo.joinable())
            m_echo.join();
        m_echoing = true;
        startEcho(address);
    }

    void startEcho(const std::string& address)
    {
        const auto local = test::socketAddress(address, 7777);
        ASSERT_TRUE(local);
        UniqueFd fd(m_peer.socket(local->ss_family, SOCK_DGRAM | SOCK_CLOEXEC));
        ASSERT_TRUE(fd);
        ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*local), test::addressLength(*local)), 0);
        m_echo = std::thread([this, fd = std::move(fd)] {
            char buffer[2048];
            while (m_echoing) {
                pollfd p { fd.get(), POLLIN, 0 };
                if (::poll(&p, 1, 20) != 1)
                    continue;
                sockaddr_storage from {};
                socklen_t length = sizeof from;
                const ssize_t n
                    = ::recvfrom(fd.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n > 0)
                    ::sendto(
                        fd.get(), buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        });
    }

    NetNamespace m_host { "tproxy" };
    NetNamespace m_peer { "tpeer" };
    std::atomic<bool> m_echoing { true };
    std::thread m_echo;
};

struct Family {
    const char* name;
    int family;
    const char* target; // captured, answered by nobody but the source
    const char* otherTarget;
    const char* peer; // the echoing peer
};

const Family kFamilies[] = {
    { "IPv4", AF_INET, "10.9.9.9", "10.9.9.10", "10.0.0.2" },
    { "IPv6", AF_INET6, "fd00::9", "fd00::10", "fd00::2" },
};

TEST_F(UdpTproxySourceTest, TakenClientGetsOneFlowAndRepliesComeFromTheEndpoint)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        Offers offers;
        std::mutex identified;
        std::vector<std::pair<sockaddr_storage, sockaddr_storage>> asked;
        auto source = open({}, offers.handler(true), nullptr, [&](const auto& client, const auto& destination) {
            std::lock_guard lock(identified);
            asked.emplace_back(client, destination);
            return FlowMetaData { "probe", std::nullopt };
        });
        ASSERT_TRUE(source);
        if (f.family == AF_INET6 && !source->hasIpv6())
            continue;
        UniqueFd app = client(f.family);
        ASSERT_TRUE(SendTo(app.get(), "ping", f.target, 5353));
        ASSERT_TRUE(SendTo(app.get(), "ping again", f.otherTarget, 5353));

        const Offers::Offer offer = offers.at(0);
        ASSERT_TRUE(offer.flow);
        EXPECT_EQ(offer.remote, NWEndpoint::Host(f.target, "5353"));
        EXPECT_EQ(offer.flow->metaData().sourceAppSigningIdentifier, "probe");
        {
            sockaddr_storage bound {};
            socklen_t length = sizeof bound;
            ASSERT_EQ(::getsockname(app.get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
            std::lock_guard lock(identified);
            ASSERT_EQ(asked.size(), 1u);
            EXPECT_EQ(SocketPort(asked[0].first), SocketPort(bound));
            EXPECT_EQ(SocketAddressText(asked[0].second), f.target);
            EXPECT_EQ(SocketPort(asked[0].second), 5353);
        }

        // Both datagrams reach the one flow, each with the destination it was sent to.
        std::vector<FlowDatagram> received;
        while (received.size() < 2) {
            auto batch = ReadBatch(offer.flow);
            ASSERT_TRUE(batch && !batch->empty());
            received.insert(received.end(), batch->begin(), batch->end());
        }
        EXPECT_EQ(textOf(received[0].data), "ping");
        EXPECT_EQ(received[0].endpoint, NWEndpoint::Host(f.target, "5353"));
        EXPECT_EQ(textOf(received[1].data), "ping again");
        EXPECT_EQ(received[1].endpoint, NWEndpoint::Host(f.otherTarget, "5353"));
        EXPECT_EQ(offers.size(), 1u);
        EXPECT_EQ(source->flowCount(), 1u);

        // A reply from a name cannot be sent from anywhere and is dropped; the others arrive in order.
        Write(offer.flow,
            { { bytes("from a name"), NWEndpoint::Host("resolver.example", "5353") },
                { bytes("pong"), NWEndpoint::Host(f.target, "5353") },
                { bytes("pong 2"), NWEndpoint::Host(f.otherTarget, "5353") } });
        auto reply = ReceiveOn(app.get());
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->data, "pong");
        EXPECT_EQ(reply->from, NWEndpoint::Host(f.target, "5353").description());
        reply = ReceiveOn(app.get());
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->data, "pong 2");
        EXPECT_EQ(reply->from, NWEndpoint::Host(f.otherTarget, "5353").description());
    }
}

TEST_F(UdpTproxySourceTest, DeclinedClientIsRelayedToItsDestination)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        restartEcho(f.peer);
        Offers offers;
        auto source = open({}, offers.handler(false));
        ASSERT_TRUE(source);
        if (f.family == AF_INET6 && !source->hasIpv6())
            continue;
        UniqueFd app = client(f.family);
        for (const std::string text : { "one", "two" }) {
            ASSERT_TRUE(SendTo(app.get(), text, f.peer, 7777));
            const auto answer = ReceiveOn(app.get());
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->data, text);
            EXPECT_EQ(answer->from, NWEndpoint::Host(f.peer, "7777").description());
        }
        EXPECT_EQ(offers.size(), 1u);
        EXPECT_EQ(source->flowCount(), 1u);
    }
}

// A relayed client hears only from the destinations it sent to: a datagram another host sends to the relay's
// port is dropped, not passed on as if that host had been asked.
TEST_F(UdpTproxySourceTest, RelayedClientHearsOnlyTheDestinationsItSentTo)
{
    restartEcho("10.0.0.2");
    Offers offers;
    auto source = open({}, offers.handler(false));
    ASSERT_TRUE(source);
    UniqueFd app = client(AF_INET);
    ASSERT_TRUE(SendTo(app.get(), "one", "10.0.0.2", 7777));
    auto answer = ReceiveOn(app.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->data, "one");

    // The relay's socket is the unconnected IPv4 socket of the host that is neither the application's nor a
    // listener (those are bound to the loopback).
    const std::string appLocal = "0.0.0.0:" + std::to_string(LocalPortOf(app.get()));
    std::istringstream sockets(m_host.output("ss -uanH4 state unconnected"));
    std::optional<uint16_t> relayPort;
    for (std::string field; sockets >> field;) {
        if (field.rfind("0.0.0.0:", 0) == 0 && field != "0.0.0.0:*" && field != appLocal)
            relayPort = static_cast<uint16_t>(std::stoi(field.substr(8)));
    }
    ASSERT_TRUE(relayPort) << m_host.output("ss -uanH4");

    UniqueFd stranger(m_peer.socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC));
    ASSERT_TRUE(stranger);
    ASSERT_TRUE(SendTo(stranger.get(), "forged", "10.0.0.1", *relayPort));
    ASSERT_TRUE(SendTo(app.get(), "two", "10.0.0.2", 7777));
    answer = ReceiveOn(app.get());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->data, "two") << "the stranger's datagram was passed on";
    EXPECT_EQ(answer->from, NWEndpoint::Host("10.0.0.2", "7777").description());
}

TEST_F(UdpTproxySourceTest, IdleFlowEndsAndTheNextDatagramStartsAnother)
{
    Offers offers;
    UdpTproxyOptions options;
    options.idleLimit = 200ms;
    options.checkInterval = 20ms;
    auto source = open(options, offers.handler(true));
    ASSERT_TRUE(source);
    UniqueFd app = client(AF_INET);
    // Taken before the send: the idle time counts from when the source got the datagram, which the flow's read
    // only learns later.
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(SendTo(app.get(), "ping", "10.9.9.9", 5353));
    const auto first = offers.at(0);
    ASSERT_TRUE(first.flow);
    auto batch = ReadBatch(first.flow);
    ASSERT_TRUE(batch && batch->size() == 1);

    batch = ReadBatch(first.flow);
    const auto waited = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(batch);
    EXPECT_TRUE(batch->empty());
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 5s);
    EXPECT_TRUE(waitUntil([&] { return source->flowCount() == 0; }));

    ASSERT_TRUE(SendTo(app.get(), "again", "10.9.9.9", 5353));
    const auto second = offers.at(1);
    ASSERT_TRUE(second.flow);
    EXPECT_NE(second.flow, first.flow);
    batch = ReadBatch(second.flow);
    ASSERT_TRUE(batch && batch->size() == 1);
    EXPECT_EQ(textOf((*batch)[0].data), "again");
}

TEST_F(UdpTproxySourceTest, RepliesKeepAFlowFromGoingIdle)
{
    Offers offers;
    UdpTproxyOptions options;
    options.idleLimit = 300ms;
    options.checkInterval = 20ms;
    auto source = open(options, offers.handler(true));
    ASSERT_TRUE(source);
    UniqueFd app = client(AF_INET);
    ASSERT_TRUE(SendTo(app.get(), "ping", "10.9.9.9", 5353));
    const auto offer = offers.at(0);
    ASSERT_TRUE(offer.flow);
    const auto start = std::chrono::steady_clock::now();
    // Replies only, for twice the idle limit: the flow stays.
    while (std::chrono::steady_clock::now() - start < 600ms) {
        Write(offer.flow, { { bytes("tick"), NWEndpoint::Host("10.9.9.9", "5353") } });
        ASSERT_TRUE(ReceiveOn(app.get()));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(source->flowCount(), 1u);
    EXPECT_EQ(offers.size(), 1u);
}

TEST_F(UdpTproxySourceTest, FlowEndsAtTheCheckAfterItsSocketIsGone)
{
    Offers offers;
    std::atomic<bool> alive { true };
    UdpTproxyOptions options;
    options.checkInterval = 20ms;
    auto source = open(options, offers.handler(true), [&](const auto&, const auto&) { return alive.load(); });
    ASSERT_TRUE(source);
    UniqueFd app = client(AF_INET);
    ASSERT_TRUE(SendTo(app.get(), "ping", "10.9.9.9", 5353));
    const auto offer = offers.at(0);
    ASSERT_TRUE(offer.flow);
    auto batch = ReadBatch(offer.flow);
    ASSERT_TRUE(batch && batch->size() == 1);

    alive = false;
    batch = ReadBatch(offer.flow);
    ASSERT_TRUE(batch);
    EXPECT_TRUE(batch->empty());
    EXPECT_TRUE(waitUntil([&] { return source->flowCount() == 0; }));
}

TEST_F(UdpTproxySourceTest, FlowClosedByTheFlowCodeIsForgotten)
{
    Offers offers;
    UdpTproxyOptions options;
    options.checkInterval = 20ms;
    auto source = open(options, offers.handler(true));
    ASSERT_TRUE(source);
    UniqueFd app = client(AF_INET);
    ASSERT_TRUE(SendTo(app.get(), "ping", "10.9.9.9", 5353));
    const auto first = offers.at(0);
    ASSERT_TRUE(first.flow);
    first.flow->closeReadWithError(std::nullopt);
    first.flow->closeWriteWithError(std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return source->flowCount() == 0; }));

    ASSERT_TRUE(SendTo(app.get(), "again", "10.9.9.9", 5353));
    const auto second = offers.at(1);
    ASSERT_TRUE(second.flow);
    auto batch = ReadBatch(second.flow);
    ASSERT_TRUE(batch && batch->size() == 1);
    EXPECT_EQ(textOf((*batch)[0].data), "again");
}

TEST_F(UdpTproxySourceTest, ClientsBeyondTheBoundAreDropped)
{
    Offers offers;
    UdpTproxyOptions options;
    options.maxClients = 1;
    auto source = open(options, offers.handler(true));
    ASSERT_TRUE(source);
    UniqueFd first = client(AF_INET);
    UniqueFd second = client(AF_INET);
    ASSERT_TRUE(SendTo(first.get(), "first", "10.9.9.9", 5353));
    const auto offer = offers.at(0);
    ASSERT_TRUE(offer.flow);
    ASSERT_TRUE(SendTo(second.get(), "second", "10.9.9.9", 5353));
    ASSERT_TRUE(SendTo(first.get(), "first again", "10.9.9.9", 5353));
    // The listener reads in order: once the first client's later datagram is in, the second client's was seen.
    std::vector<std::string> received;
    while (received.size() < 2) {
        auto batch = ReadBatch(offer.flow);
        ASSERT_TRUE(batch && !batch->empty());
        for (const FlowDatagram& datagram : *batch)
            received.push_back(textOf(datagram.data));
    }
    EXPECT_EQ(received, (std::vector<std::string> { "first", "first again" }));
    EXPECT_EQ(offers.size(), 1u);
    EXPECT_EQ(source->flowCount(), 1u);
}

// A client whose lookup hangs gives its place up after the idle time, so that it cannot hold a place for good.
TEST_F(UdpTproxySourceTest, AClientWhoseLookupHangsGivesItsPlaceUp)
{
    Offers offers;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    UdpTproxyOptions options;
    options.maxClients = 1;
    options.idleLimit = std::chrono::milliseconds(200);
    options.checkInterval = std::chrono::milliseconds(20);
    auto source
        = open(options, offers.handler(true), nullptr, [&](const sockaddr_storage&, const sockaddr_storage& to) {
              if (SocketAddressText(to) == "10.9.9.9")
                  released.wait();
              return FlowMetaData {};
          });
    // Released at the test's end, whatever it is, and before the source's stop, which waits for the lookup.
    struct Releaser {
        std::promise<void>& promise;
        ~Releaser() { promise.set_value(); }
    } releaser { release };
    ASSERT_TRUE(source);
    UniqueFd hung = client(AF_INET);
    UniqueFd next = client(AF_INET);
    ASSERT_TRUE(SendTo(hung.get(), "hung", "10.9.9.9", 5353));
    ASSERT_TRUE(waitUntil([&] { return source->flowCount() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return source->flowCount() == 0; })) << "the hung client keeps its place";
    ASSERT_TRUE(SendTo(next.get(), "next", "10.9.9.10", 5353));
    const auto offer = offers.at(0);
    ASSERT_TRUE(offer.flow);
    EXPECT_EQ(offer.remote, NWEndpoint::Host("10.9.9.10", "5353"));
}

TEST_F(UdpTproxySourceTest, SlowIdentifyHoldsUpNoOtherClient)
{
    Offers offers;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto source = open({}, offers.handler(true), nullptr, [&](const sockaddr_storage&, const sockaddr_storage& to) {
        if (SocketAddressText(to) == "10.9.9.9")
            released.wait();
        return FlowMetaData {};
    });
    ASSERT_TRUE(source);
    UniqueFd slow = client(AF_INET);
    UniqueFd quick = client(AF_INET);
    ASSERT_TRUE(SendTo(slow.get(), "slow", "10.9.9.9", 5353));
    ASSERT_TRUE(SendTo(quick.get(), "quick", "10.9.9.10", 5353));
    const auto first = offers.at(0);
    ASSERT_TRUE(first.flow);
    EXPECT_EQ(first.remote, NWEndpoint::Host("10.9.9.10", "5353"));
    ASSERT_TRUE(SendTo(slow.get(), "slow again", "10.9.9.9", 5353));
    release.set_value();

    // The slow client's datagrams waited for its offer and all reach its flow.
    const auto second = offers.at(1);
    ASSERT_TRUE(second.flow);
    std::vector<std::string> received;
    while (received.size() < 2) {
        auto batch = ReadBatch(second.flow);
        ASSERT_TRUE(batch && !batch->empty());
        for (const FlowDatagram& datagram : *batch)
            received.push_back(textOf(datagram.data));
    }
    EXPECT_EQ(received, (std::vector<std::string> { "slow", "slow again" }));
}

TEST_F(UdpTproxySourceTest, StopEndsEveryFlowAndWaitsForAnOfferUnderWay)
{
    Offers offers;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> stopReturned { false };
    std::atomic<bool> calledAfterStop { false };
    auto record = offers.handler(true);
    auto offer = [&](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& remote) {
        if (stopReturned)
            calledAfterStop = true;
        return record(flow, remote);
    };
    // The offer of the client to 10.9.9.10 is under way (its identify waits) when stop() is called.
    auto source = open({}, offer, nullptr, [&](const sockaddr_storage&, const sockaddr_storage& to) {
        if (SocketAddressText(to) == "10.9.9.10") {
            entered.set_value();
            released.wait();
        }
        return FlowMetaData {};
    });
    ASSERT_TRUE(source);
    UniqueFd a = client(AF_INET);
    UniqueFd b = client(AF_INET6);
    UniqueFd slow = client(AF_INET);
    ASSERT_TRUE(SendTo(a.get(), "a", "10.9.9.9", 5353));
    const auto first = offers.at(0);
    ASSERT_TRUE(first.flow);
    NEAppProxyUDPFlowPtr second;
    if (source->hasIpv6()) {
        ASSERT_TRUE(SendTo(b.get(), "b", "fd00::9", 5353));
        second = offers.at(1).flow;
        ASSERT_TRUE(second);
    }
    ASSERT_TRUE(SendTo(slow.get(), "slow", "10.9.9.10", 5353));
    entered.get_future().wait();

    std::thread stopper([&] {
        source->stop();
        stopReturned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(stopReturned) << "stop() must wait for the offer under way";
    release.set_value();
    stopper.join();

    EXPECT_FALSE(calledAfterStop);
    EXPECT_EQ(source->flowCount(), 0u);
    for (const NEAppProxyUDPFlowPtr& flow : { first.flow, second, offers.at(offers.size() - 1).flow }) {
        if (!flow)
            continue;
        auto batch = ReadBatch(flow);
        ASSERT_TRUE(batch);
        // The flow may still hold its datagram; the end follows it.
        if (!batch->empty())
            batch = ReadBatch(flow);
        ASSERT_TRUE(batch);
        EXPECT_TRUE(batch->empty());
    }
    // Replies after the stop go nowhere, and nothing breaks.
    Write(first.flow, { { bytes("late"), NWEndpoint::Host("10.9.9.9", "5353") } });
    source.reset();
}

// A server of this machine listens on an endpoint the capture rules take for the client (a DNS server on a
// local address, bound with SO_REUSEADDR), and the client is answered from that endpoint: the socket answering
// it must leave the server's own traffic alone. The daemon's relayed queries, for one, reach a local DNS
// server in just this way, uncaptured.
TEST_F(UdpTproxySourceTest, ReplySocketLeavesALocalServerOnItsEndpointItsDatagrams)
{
    struct Case {
        const char* name;
        int family;
        const char* server;
        bool take;
    };
    const Case cases[] = {
        { "taken, IPv4", AF_INET, "10.0.0.1", true },
        { "relayed, loopback stub resolver", AF_INET, "127.0.0.53", false },
        { "taken, IPv6", AF_INET6, "fd00::1", true },
        { "relayed, IPv6", AF_INET6, "fd00::1", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Offers offers;
        auto source = open({}, offers.handler(c.take));
        ASSERT_TRUE(source);
        if (c.family == AF_INET6 && !source->hasIpv6())
            continue;
        UniqueFd server = localServer(c.server, 5353);
        ASSERT_TRUE(server);
        const NWEndpoint serverEndpoint = NWEndpoint::Host(c.server, "5353");
        UniqueFd app = client(c.family);
        ASSERT_TRUE(SendTo(app.get(), "query", c.server, 5353));
        const auto offer = offers.at(0);
        ASSERT_TRUE(offer.flow);
        if (c.take) {
            auto batch = ReadBatch(offer.flow);
            ASSERT_TRUE(batch && batch->size() == 1);
            EXPECT_EQ((*batch)[0].endpoint, serverEndpoint);
            Write(offer.flow, { { bytes("answer"), serverEndpoint } });
        } else {
            // The relay brings the query to the server, which answers it.
            ASSERT_TRUE(AnswerOnce(server.get(), "answer"));
        }
        const auto answer = ReceiveOn(app.get());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->data, "answer");
        EXPECT_EQ(answer->from, serverEndpoint.description());

        // Now a socket answers the client as the server's endpoint; what another, uncaptured socket sends there
        // reaches the server straight from that socket.
        UniqueFd other = uncapturedClient(c.family);
        ASSERT_TRUE(SendTo(other.get(), "direct", c.server, 5353));
        const auto direct = ReceiveWithSender(server.get());
        EXPECT_TRUE(direct) << "the server got nothing";
        if (direct) {
            EXPECT_EQ(direct->first, "direct");
            EXPECT_EQ(SocketPort(direct->second), LocalPortOf(other.get())) << "not sent by the other socket";
        }
        EXPECT_EQ(offers.size(), 1u);
    }
}

// Once the client was answered from an endpoint, the kernel hands what it sends to that endpoint to the socket
// answering it rather than to the listener; it must still reach the client's flow, in order.
TEST_F(UdpTproxySourceTest, DatagramsToAnAnsweringEndpointReachTheSameFlowInOrder)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        Offers offers;
        auto source = open({}, offers.handler(true));
        ASSERT_TRUE(source);
        if (f.family == AF_INET6 && !source->hasIpv6())
            continue;
        const NWEndpoint target = NWEndpoint::Host(f.target, "5353");
        const NWEndpoint otherTarget = NWEndpoint::Host(f.otherTarget, "5353");
        UniqueFd app = client(f.family);
        ASSERT_TRUE(SendTo(app.get(), "ping", f.target, 5353));
        const auto offer = offers.at(0);
        ASSERT_TRUE(offer.flow);
        auto batch = ReadBatch(offer.flow);
        ASSERT_TRUE(batch && batch->size() == 1);
        Write(offer.flow, { { bytes("pong"), target } });
        ASSERT_TRUE(ReceiveOn(app.get()));
        ASSERT_TRUE(boundInHost(f.target, 5353));

        // Those to the answering endpoint now come in through its socket; the one to an endpoint that never
        // answered still comes through the listener.
        const std::vector<std::string> toTarget { "1", "2", "3", "4", "5" };
        for (std::size_t i = 0; i < toTarget.size(); ++i) {
            ASSERT_TRUE(SendTo(app.get(), toTarget[i], f.target, 5353));
            if (i == 2) {
                ASSERT_TRUE(SendTo(app.get(), "elsewhere", f.otherTarget, 5353));
            }
        }
        std::vector<std::string> atTarget;
        std::vector<std::string> atOther;
        while (atTarget.size() + atOther.size() < toTarget.size() + 1) {
            batch = ReadBatch(offer.flow);
            ASSERT_TRUE(batch && !batch->empty());
            for (const FlowDatagram& datagram : *batch) {
                if (datagram.endpoint == target)
                    atTarget.push_back(textOf(datagram.data));
                else if (datagram.endpoint == otherTarget)
                    atOther.push_back(textOf(datagram.data));
                else
                    ADD_FAILURE() << "sent to " << datagram.endpoint.description();
            }
        }
        EXPECT_EQ(atTarget, toTarget);
        EXPECT_EQ(atOther, (std::vector<std::string> { "elsewhere" }));
        EXPECT_EQ(offers.size(), 1u);
        EXPECT_EQ(source->flowCount(), 1u);

        // And the conversation goes on both ways.
        Write(offer.flow, { { bytes("pong 2"), target } });
        const auto reply = ReceiveOn(app.get());
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->data, "pong 2");
    }
}

// The same for a relayed client: what it sends after the first answer comes in through the answering socket,
// goes out through the relay, and every answer comes back, in order.
TEST_F(UdpTproxySourceTest, RelayedClientKeepsBeingRelayedAfterTheFirstAnswer)
{
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        restartEcho(f.peer);
        Offers offers;
        auto source = open({}, offers.handler(false));
        ASSERT_TRUE(source);
        if (f.family == AF_INET6 && !source->hasIpv6())
            continue;
        UniqueFd app = client(f.family);
        ASSERT_TRUE(SendTo(app.get(), "first", f.peer, 7777));
        auto answer = ReceiveOn(app.get());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->data, "first");
        ASSERT_TRUE(boundInHost(f.peer, 7777));

        const std::vector<std::string> sent { "1", "2", "3", "4", "5" };
        for (const std::string& text : sent)
            ASSERT_TRUE(SendTo(app.get(), text, f.peer, 7777));
        std::vector<std::string> answers;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            answer = ReceiveOn(app.get());
            ASSERT_TRUE(answer) << "answers so far: " << answers.size();
            EXPECT_EQ(answer->from, NWEndpoint::Host(f.peer, "7777").description());
            answers.push_back(answer->data);
        }
        EXPECT_EQ(answers, sent);
        EXPECT_EQ(offers.size(), 1u);
        EXPECT_EQ(source->flowCount(), 1u);
    }
}

// An idle client's answering sockets close with it: its next datagram to an endpoint that answered reaches the
// listener again and starts a new flow.
TEST_F(UdpTproxySourceTest, IdleClientClosesItsAnsweringSocketsAndStartsAnew)
{
    struct Case {
        const char* name;
        bool take;
        const char* endpoint;
        uint16_t port;
    };
    const Case cases[] = {
        { "taken", true, "10.9.9.9", 5353 },
        { "relayed", false, "10.0.0.2", 7777 },
    };
    startEcho("10.0.0.2");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Offers offers;
        UdpTproxyOptions options;
        // Long enough for one exchange and a look at the sockets on a loaded machine.
        options.idleLimit = 500ms;
        options.checkInterval = 20ms;
        auto source = open(options, offers.handler(c.take));
        ASSERT_TRUE(source);
        const NWEndpoint endpoint = NWEndpoint::Host(c.endpoint, std::to_string(c.port));
        UniqueFd app = client(AF_INET);
        // Sends nothing: answers the client's `text`, through the flow when taken, else by the echoing peer.
        auto exchange = [&](const Offers::Offer& offer, const std::string& text) {
            ASSERT_TRUE(offer.flow);
            if (c.take) {
                auto batch = ReadBatch(offer.flow);
                ASSERT_TRUE(batch && batch->size() == 1);
                EXPECT_EQ(textOf((*batch)[0].data), text);
                EXPECT_EQ((*batch)[0].endpoint, endpoint);
                Write(offer.flow, { { bytes(text), endpoint } });
            }
            const auto answer = ReceiveOn(app.get());
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->data, text);
            EXPECT_EQ(answer->from, endpoint.description());
        };

        ASSERT_TRUE(SendTo(app.get(), "first", c.endpoint, c.port));
        const auto first = offers.at(0);
        ASSERT_NO_FATAL_FAILURE(exchange(first, "first"));
        ASSERT_TRUE(boundInHost(c.endpoint, c.port));

        ASSERT_TRUE(waitUntil([&] { return source->flowCount() == 0; }));
        EXPECT_TRUE(waitUntil([&] { return !boundInHost(c.endpoint, c.port); }));

        ASSERT_TRUE(SendTo(app.get(), "again", c.endpoint, c.port));
        const auto second = offers.at(1);
        ASSERT_TRUE(second.flow);
        EXPECT_NE(second.flow, first.flow);
        ASSERT_NO_FATAL_FAILURE(exchange(second, "again"));
        EXPECT_EQ(offers.size(), 2u);
    }
}

TEST_F(UdpTproxySourceTest, TakenPortIsAnError)
{
    Offers offers;
    auto first = open({}, offers.handler(true));
    ASSERT_TRUE(first);
    UdpTproxyOptions options;
    options.port = first->port();
    Result<UdpTproxySourcePtr> second = Status::error(EINVAL, "not run");
    ASSERT_TRUE(m_host.runInside([&] { second = UdpTproxySource::open(options, nullptr, nullptr, nullptr); }));
    ASSERT_FALSE(second);
    EXPECT_EQ(second.status().errnum(), EADDRINUSE);
}

} // namespace
} // namespace corvantis
