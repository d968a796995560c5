#include "extension/engine/SimpleSocket.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/DnsResolveProcessor.h"
#include "platform/UniqueFd.h"
#include "tests/engine/DnsPeers.h"
#include "tests/engine/EventLoopHarness.h"
#include "tests/peers/PeerProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::LoopbackUdp;

// Waits for socket events and reads datagrams until one with data arrives.
class Reader final {
public:
    SocketEventCallback callback()
    {
        return [this] {
            std::lock_guard lock(m_mutex);
            ++m_events;
            m_changed.notify_all();
        };
    }

    std::optional<SimpleSocketReadResult> nextDatagram(SimpleSocket& socket)
    {
        const auto deadline = Clock::now() + 20s;
        for (;;) {
            std::unique_lock lock(m_mutex);
            const int seen = m_events;
            lock.unlock();
            auto result = socket.readDatagram();
            if (!result || !result->data.empty()) {
                return result;
            }
            lock.lock();
            if (!m_changed.wait_until(lock, deadline, [&] { return m_events != seen; })) {
                return SimpleSocketReadResult {};
            }
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_events = 0;
};

// Collects the outcome of a send that may be reported on another thread.
class SendOutcome final {
public:
    SendResultProcessor processor()
    {
        return [this](const std::optional<std::string>& error) {
            std::lock_guard lock(m_mutex);
            m_results.push_back(error.value_or(""));
            m_changed.notify_all();
        };
    }
    // The error text ("" for success) once reported, or "<none>".
    std::string wait()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 20s, [&] { return !m_results.empty(); });
        return m_results.empty() ? "<none>" : m_results.front();
    }
    size_t count()
    {
        std::lock_guard lock(m_mutex);
        return m_results.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_results;
};

// A resolver that knows a few names and counts its calls; it answers on a thread of its own, as the real one
// answers on the event loop's.
struct TableResolver {
    std::map<std::string, std::string> addresses;
    std::atomic<int> calls { 0 };
    std::vector<std::thread> threads;

    ~TableResolver()
    {
        for (auto& thread : threads) {
            thread.join();
        }
    }

    HostResolver resolver()
    {
        return [this](const CHost& host, HostResultProcessor done) {
            ++calls;
            threads.emplace_back([this, host, done] {
                const auto found = addresses.find(host.GetHostName());
                if (found == addresses.end()) {
                    done(false, host);
                    return;
                }
                done(true, CHost(host.GetHostName(), found->second, host.m_Port, host.m_isUdp));
            });
        };
    }
};

SimpleSocketEndpoint endpoint(const std::string& host, const std::string& port)
{
    return SimpleSocketEndpoint { host, port };
}

class SimpleSocketTest : public ::testing::Test {
protected:
    TableResolver names;
    Reader reader;
    test::RunningEventLoop loop; // after the reader: stopped before the reader goes

    SimpleSocketPtr make(const std::string& host, const std::string& port)
    {
        return SimpleSocket::createAndSetDefaultHostname(
            endpoint(host, port), loop.shared(), nullptr, true, names.resolver());
    }
};

// Datagrams go out to the default host and to other hosts of both families and come back whole, with the
// sender's numeric address and port, also when longer than 4096 bytes.
TEST_F(SimpleSocketTest, RelaysDatagramsOverLoopbackInBothFamilies)
{
    struct Case {
        const char* name;
        int family;
        const char* address;
        size_t size;
    };
    const Case cases[] = {
        { "IPv4 small", AF_INET, "127.0.0.1", 5 },
        { "IPv4 large", AF_INET, "127.0.0.1", 20000 },
        { "IPv6 small", AF_INET6, "::1", 7 },
        { "IPv6 large", AF_INET6, "::1", 60000 },
    };
    ASSERT_TRUE(loop.ready());
    LoopbackUdp defaultPeer(AF_INET);
    const SimpleSocketPtr socket = make("127.0.0.1", std::to_string(defaultPeer.port()));
    std::atomic<int> status { -1 };
    socket->resolveDefaultHostname([&](bool ok) { status = ok ? 1 : 0; }, reader.callback());
    ASSERT_EQ(status.load(), 1);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackUdp peer(c.family);
        std::vector<std::uint8_t> payload(c.size);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<std::uint8_t>(i * 7 + c.size);
        }
        SendOutcome sent;
        socket->writeDatagram(
            payload, endpoint(c.address, std::to_string(peer.port())), sent.processor(), reader.callback());
        EXPECT_EQ(sent.wait(), "");
        sockaddr_storage from {};
        const auto arrived = peer.receive(&from);
        ASSERT_TRUE(arrived);
        EXPECT_EQ(*arrived, payload);

        std::vector<std::uint8_t> answer(payload.rbegin(), payload.rend());
        ASSERT_TRUE(peer.sendTo(answer, from));
        const auto read = reader.nextDatagram(*socket);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->data, answer);
        EXPECT_EQ(read->host, c.address);
        EXPECT_EQ(read->port, peer.port());
    }
    EXPECT_EQ(names.calls.load(), 0);
    socket->close();
}

// A name is resolved once; later datagrams to it, with any port, are addressed from memory.
TEST_F(SimpleSocketTest, NamesAreResolvedOnceAndAnsweredWithEachDatagramsPort)
{
    ASSERT_TRUE(loop.ready());
    names.addresses["echo.test"] = "127.0.0.1";
    LoopbackUdp first(AF_INET);
    LoopbackUdp second(AF_INET);
    const SimpleSocketPtr socket = make("echo.test", std::to_string(first.port()));

    std::atomic<int> status { -1 };
    socket->resolveDefaultHostname([&](bool ok) { status = ok ? 1 : 0; }, reader.callback());
    test::waitUntil([&] { return status.load() >= 0; });
    ASSERT_EQ(status.load(), 1);
    EXPECT_EQ(names.calls.load(), 1);

    for (LoopbackUdp* peer : { &first, &second, &first }) {
        SendOutcome sent;
        socket->writeDatagram(
            { 1, 2, 3 }, endpoint("echo.test", std::to_string(peer->port())), sent.processor(), nullptr);
        EXPECT_EQ(sent.wait(), "");
        const auto arrived = peer->receive();
        ASSERT_TRUE(arrived);
        EXPECT_EQ(arrived->size(), 3u);
    }
    EXPECT_EQ(names.calls.load(), 1);
}

TEST_F(SimpleSocketTest, SendFailuresAreReportedOnceWithTheirText)
{
    ASSERT_TRUE(loop.ready());
    const SimpleSocketPtr socket = make("127.0.0.1", "9");
    struct Case {
        const char* name;
        std::optional<SimpleSocketEndpoint> destination;
        size_t size;
        std::string expected;
    };
    const Case cases[] = {
        { "unknown name", endpoint("nowhere.test", "53"), 3, "hostname cannot be resolved" },
        { "no destination", std::nullopt, 3, "hostname cannot be resolved" },
        { "too large for one datagram", endpoint("127.0.0.1", "9"), 70000,
            "cannot send data to 127.0.0.1:9 with error " + std::to_string(EMSGSIZE) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SendOutcome sent;
        socket->writeDatagram(std::vector<std::uint8_t>(c.size), c.destination, sent.processor(), nullptr);
        EXPECT_EQ(sent.wait(), c.expected);
        EXPECT_EQ(sent.count(), 1u);
    }
}

TEST_F(SimpleSocketTest, ReadingWithoutSocketsOrDataGivesEmptyData)
{
    ASSERT_TRUE(loop.ready());
    const SimpleSocketPtr socket = make("127.0.0.1", "9");
    auto read = socket->readDatagram();
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->data.empty());
    EXPECT_EQ(read->port, 0);

    // An empty datagram on the IPv4 socket does not hide a datagram waiting on the IPv6 one.
    LoopbackUdp v4(AF_INET);
    LoopbackUdp v6(AF_INET6);
    SendOutcome sent4;
    SendOutcome sent6;
    socket->writeDatagram(
        { 1 }, endpoint("127.0.0.1", std::to_string(v4.port())), sent4.processor(), reader.callback());
    socket->writeDatagram({ 2 }, endpoint("::1", std::to_string(v6.port())), sent6.processor(), reader.callback());
    ASSERT_EQ(sent4.wait(), "");
    ASSERT_EQ(sent6.wait(), "");
    sockaddr_storage from4 {};
    sockaddr_storage from6 {};
    ASSERT_TRUE(v4.receive(&from4));
    ASSERT_TRUE(v6.receive(&from6));
    ASSERT_TRUE(v4.sendTo({}, from4));
    ASSERT_TRUE(v6.sendTo({ 9, 9 }, from6));
    read = reader.nextDatagram(*socket);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->data, (std::vector<std::uint8_t> { 9, 9 }));
    EXPECT_EQ(read->host, "::1");
}

TEST_F(SimpleSocketTest, CloseEndsEventDeliveryAndMayBeRepeated)
{
    ASSERT_TRUE(loop.ready());
    LoopbackUdp peer(AF_INET);
    const SimpleSocketPtr socket = make("127.0.0.1", std::to_string(peer.port()));
    std::atomic<int> events { 0 };
    std::atomic<int> status { -1 };
    socket->resolveDefaultHostname([&](bool ok) { status = ok ? 1 : 0; }, [&] { ++events; });
    ASSERT_EQ(status.load(), 1);
    SendOutcome sent;
    socket->writeDatagram({ 1 }, endpoint("127.0.0.1", std::to_string(peer.port())), sent.processor(), nullptr);
    ASSERT_EQ(sent.wait(), "");
    sockaddr_storage from {};
    ASSERT_TRUE(peer.receive(&from));
    socket->close();
    socket->close();
    const int before = events.load();
    ASSERT_TRUE(peer.sendTo({ 5 }, from));
    // A fence on the same loop: once it is served, the datagram's event (if any) has been dispatched.
    int fence[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fence), 0);
    UniqueFd fenceMine(fence[0]);
    UniqueFd fencePeer(fence[1]);
    test::EventRecorder fenceEvents;
    std::uint64_t fenceId = 0;
    ASSERT_TRUE(loop.manager().AddSocket(fenceMine.get(), false, 0, fenceId, fenceEvents.processor()));
    ASSERT_EQ(write(fencePeer.get(), "f", 1), 1);
    ASSERT_TRUE(fenceEvents.waitForEvents([](const auto& e) { return !e.empty(); }));
    loop.manager().RemoveSocketId(fenceId);
    EXPECT_EQ(events.load(), before);
}

TEST_F(SimpleSocketTest, SameHostMeansASharedName)
{
    ASSERT_TRUE(loop.ready());
    const SimpleSocketPtr a = make("example.test", "53");
    const SimpleSocketPtr b = make("example.test", "5353");
    const SimpleSocketPtr c = make("other.test", "53");
    EXPECT_TRUE(a->isSameHostContained(*b));
    EXPECT_FALSE(a->isSameHostContained(*c));
}

// The default host's own name, once resolved, is answered from memory with the requested port.
TEST_F(SimpleSocketTest, DefaultHostNameIsKnownAfterResolution)
{
    ASSERT_TRUE(loop.ready());
    names.addresses["self.test"] = "::1";
    const SimpleSocketPtr socket = make("self.test", "53");
    std::atomic<int> status { -1 };
    socket->resolveDefaultHostname([&](bool ok) { status = ok ? 1 : 0; }, nullptr);
    test::waitUntil([&] { return status.load() >= 0; });
    ASSERT_EQ(status.load(), 1);
    bool ok = false;
    CHost answered;
    socket->getResolvedHostForName("self.test", "8053", [&](bool success, const CHost& host) {
        ok = success;
        answered = host;
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(answered.m_AddressFamily, AF_INET6);
    EXPECT_EQ(answered.m_Port, 8053);
    EXPECT_EQ(names.calls.load(), 1);
}

// A resolver built with default settings answers from the extension's own address table, so a datagram to a name
// only the table knows goes out without any DNS query; only a resolver told to have no table asks the system
// (here a loopback port nobody serves, so that request fails).
TEST_F(SimpleSocketTest, DefaultResolverSettingsAnswerFromTheExtensionsTable)
{
    ASSERT_TRUE(loop.ready());
    const std::string name = "known-to-the-table-only.test";
    ASSERT_TRUE(GetAppProxy().GetDnsStorage().AddRealIPv4(htonl(INADDR_LOOPBACK), name, 600, true));
    const uint16_t silentServer = test::freeLoopbackPort();
    struct Case {
        const char* name;
        bool withoutTable;
        std::string outcome;
    };
    const Case cases[] = {
        { "default settings", false, "" },
        { "no table", true, "hostname cannot be resolved" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DnsResolverSettings settings;
        settings.withoutTable = c.withoutTable;
        settings.systemServers = "127.0.0.1:" + std::to_string(silentServer);
        settings.systemTimeout = 500ms;
        LoopbackUdp peer(AF_INET);
        const std::string port = std::to_string(peer.port());
        const SimpleSocketPtr socket = SimpleSocket::createAndSetDefaultHostname(endpoint(name, port), loop.shared(),
            nullptr, true, DnsResolveProcessor::hostResolver(loop.shared(), nullptr, settings));
        SendOutcome sent;
        socket->writeDatagram({ 7, 7 }, endpoint(name, port), sent.processor(), reader.callback());
        EXPECT_EQ(sent.wait(), c.outcome);
        if (c.outcome.empty()) {
            EXPECT_EQ(peer.receive(), (std::vector<std::uint8_t> { 7, 7 }));
        }
        socket->close();
    }
}

// With the engine's resolver behind it, a name is resolved through DNS and the datagram reaches its target.
TEST_F(SimpleSocketTest, SendsToANameThroughTheResolver)
{
    test::Dnsmasq dnsmasq({ "--address=/peer.test/127.0.0.1" });
    ASSERT_TRUE(dnsmasq.ready());
    ASSERT_TRUE(loop.ready());
    CDnsStorage storage;
    DnsResolverSettings settings;
    settings.storage = &storage;
    settings.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
    LoopbackUdp peer(AF_INET);
    const SimpleSocketPtr socket
        = SimpleSocket::createAndSetDefaultHostname(endpoint("peer.test", std::to_string(peer.port())), loop.shared(),
            nullptr, true, DnsResolveProcessor::hostResolver(loop.shared(), nullptr, settings));
    SendOutcome sent;
    socket->writeDatagram(
        { 4, 2 }, endpoint("peer.test", std::to_string(peer.port())), sent.processor(), reader.callback());
    EXPECT_EQ(sent.wait(), "");
    const auto arrived = peer.receive();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(*arrived, (std::vector<std::uint8_t> { 4, 2 }));
    socket->close();
    loop.stop();
}

} // namespace
} // namespace corvantis
