#include "extension/engine/DnsResolveProcessor.h"
#include "core/foundation/FakeAddressRange.h"
#include "platform/UniqueFd.h"
#include "tests/engine/DnsPeers.h"
#include "tests/engine/DnsWire.h"
#include "tests/engine/EventLoopHarness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <future>
#include <sys/socket.h>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::deadlineIn;
using test::Dnsmasq;
using test::DnsWire;
using test::LoopbackUdp;

std::vector<uint8_t> query(uint16_t id, const std::string& first, uint16_t type)
{
    return DnsWire().header(id, 0x0100, 1, 0, 0, 0).name({ first, "test" }).u16(type).u16(kDnsClassIN).bytes;
}

// The answer a server gives to `request`: the request with the answer record after its question.
std::vector<uint8_t> answerTo(const std::vector<uint8_t>& request, const char* ipv4, uint32_t ttl)
{
    std::vector<uint8_t> message(request);
    message.resize(request.size() + 64);
    size_t length = request.size();
    sockaddr_in address {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, ipv4, &address.sin_addr);
    EXPECT_TRUE(AppendDnsAnswer(message.data(), length, message.size(), reinterpret_cast<sockaddr*>(&address), ttl));
    message.resize(length);
    return message;
}

sockaddr_in loopbackPort(uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Every result a resolution reports, from any thread.
class Outcome final {
public:
    HostResultProcessor processor()
    {
        return [this](bool success, const CHost& host) {
            std::lock_guard lock(m_mutex);
            m_results.emplace_back(success, host);
            m_changed.notify_all();
        };
    }
    bool wait(std::chrono::milliseconds limit = 30s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return !m_results.empty(); });
    }
    std::vector<std::pair<bool, CHost>> results()
    {
        std::lock_guard lock(m_mutex);
        return m_results;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<bool, CHost>> m_results;
};

std::string hostAddress(const CHost& host)
{
    return host.m_AddressFamily == 0 ? "" : SockAddrToString(host.GetSockAddr());
}

class DnsResolveProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Placeholders come from 198.18.0.0/15 in these tests.
        SetAddressRange("198.18.0.0", 15, htonl(0xfd005a17));
        settings.storage = &storage;
        settings.resendInterval = 20ms;
        settings.systemTimeout = 2s;
    }

    // Stores `request` as the application's last request for `name`, sent to 127.0.0.1:`port`.
    void storeRequest(const std::string& name, int family, const std::vector<uint8_t>& request, uint16_t port)
    {
        const sockaddr_in server = loopbackPort(port);
        uint64_t ttl = 0;
        if (family == AF_INET) {
            storage.AddressForNameIPv4(
                name, true, request.data(), request.size(), reinterpret_cast<const sockaddr*>(&server), ttl);
        } else {
            storage.AddressForNameIPv6(
                name, true, request.data(), request.size(), reinterpret_cast<const sockaddr*>(&server), ttl);
        }
    }

    bool resolve(const std::string& name, Outcome& outcome)
    {
        return DnsResolveProcessor::resolveHost(
            CHost(name, 443, false), loop.shared(), nullptr, outcome.processor(), settings);
    }

    CDnsStorage storage;
    DnsResolverSettings settings;
    test::RunningEventLoop loop;
};

// The application's own request is sent again to its server, and the real address comes back and is remembered.
TEST_F(DnsResolveProcessorTest, RepeatsStoredRequestsToTheirServer)
{
    Dnsmasq dnsmasq({ "--host-record=both.test,192.0.2.7,2001:db8::7", "--host-record=four.test,192.0.2.4",
        "--host-record=six.test,2001:db8::6" });
    ASSERT_TRUE(dnsmasq.ready());
    ASSERT_TRUE(loop.ready());
    struct Case {
        const char* name;
        bool storeA;
        bool storeAAAA;
        std::vector<std::string> acceptable;
    };
    const Case cases[] = {
        { "four", true, false, { "192.0.2.4" } },
        { "six", false, true, { "2001:db8::6" } },
        { "both", true, true, { "192.0.2.7", "2001:db8::7" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = std::string(c.name) + ".test";
        if (c.storeA) {
            storeRequest(name, AF_INET, query(0x1111, c.name, kDnsTypeA), dnsmasq.port());
        }
        if (c.storeAAAA) {
            storeRequest(name, AF_INET6, query(0x2222, c.name, kDnsTypeAAAA), dnsmasq.port());
        }
        Outcome outcome;
        EXPECT_TRUE(resolve(name, outcome));
        ASSERT_TRUE(outcome.wait());
        const auto results = outcome.results();
        ASSERT_TRUE(results.front().first);
        const CHost& host = results.front().second;
        EXPECT_FALSE(host.m_FakeIp);
        EXPECT_EQ(host.m_Port, 443);
        EXPECT_NE(std::find(c.acceptable.begin(), c.acceptable.end(), hostAddress(host)), c.acceptable.end())
            << hostAddress(host);
        EXPECT_EQ(storage.NameForIPv4(host.GetIPv4()) == name || host.m_AddressFamily == AF_INET6, true);
    }
    loop.stop();
}

// Without a stored request the system resolver (here pointed at dnsmasq) answers, in either family.
TEST_F(DnsResolveProcessorTest, SystemResolverAnswersAAndAAAA)
{
    Dnsmasq dnsmasq({ "--host-record=four.test,192.0.2.44", "--host-record=six.test,2001:db8::66" });
    ASSERT_TRUE(dnsmasq.ready());
    ASSERT_TRUE(loop.ready());
    settings.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
    const std::pair<const char*, const char*> cases[]
        = { { "four.test", "192.0.2.44" }, { "six.test", "2001:db8::66" } };
    for (const auto& [name, address] : cases) {
        SCOPED_TRACE(name);
        Outcome outcome;
        EXPECT_TRUE(resolve(name, outcome));
        ASSERT_TRUE(outcome.wait());
        const auto results = outcome.results();
        ASSERT_TRUE(results.front().first);
        EXPECT_EQ(hostAddress(results.front().second), address);
        // The address is in the table now, with a short lifetime: the next resolution is a table hit.
        Outcome again;
        EXPECT_TRUE(resolve(name, again));
        ASSERT_EQ(again.results().size(), 1u);
        EXPECT_EQ(hostAddress(again.results().front().second), address);
    }
    loop.stop();
}

// A server that never answers: six sends, then failure, reported once; the system resolver gives up at its
// deadline.
TEST_F(DnsResolveProcessorTest, SilentServersTimeOut)
{
    ASSERT_TRUE(loop.ready());
    LoopbackUdp silent;
    {
        SCOPED_TRACE("stored request");
        storeRequest("quiet.test", AF_INET, query(0x3333, "quiet", kDnsTypeA), silent.port());
        Outcome outcome;
        const auto start = Clock::now();
        EXPECT_TRUE(resolve("quiet.test", outcome));
        ASSERT_TRUE(outcome.wait());
        EXPECT_GE(Clock::now() - start, settings.resendInterval * 5);
        EXPECT_FALSE(outcome.results().front().first);
        int sends = 0;
        while (silent.receive(deadlineIn(200ms))) {
            ++sends;
        }
        EXPECT_EQ(sends, 6);
        EXPECT_EQ(outcome.results().size(), 1u);
    }
    {
        SCOPED_TRACE("system resolver");
        settings.systemServers = "127.0.0.1:" + std::to_string(silent.port());
        settings.systemTimeout = 300ms;
        Outcome outcome;
        const auto start = Clock::now();
        EXPECT_TRUE(resolve("mute.test", outcome));
        ASSERT_TRUE(outcome.wait());
        EXPECT_GE(Clock::now() - start, 300ms);
        EXPECT_FALSE(outcome.results().front().first);
    }
    loop.stop();
}

// Only the server's own answer to our question counts: a datagram from another port, or with another id, is
// ignored and the resolution goes on.
TEST_F(DnsResolveProcessorTest, IgnoresForgedAnswers)
{
    ASSERT_TRUE(loop.ready());
    LoopbackUdp server;
    LoopbackUdp forger;
    const std::vector<uint8_t> request = query(0x4444, "forged", kDnsTypeA);
    storeRequest("forged.test", AF_INET, request, server.port());
    settings.resendInterval = 2s; // slow enough that the exchange below happens between two sends
    Outcome outcome;
    EXPECT_TRUE(resolve("forged.test", outcome));

    sockaddr_storage resolver {};
    const auto received = server.receive(deadlineIn(20s), &resolver);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, request);
    ASSERT_TRUE(forger.sendTo(answerTo(request, "203.0.113.66", 300), resolver));
    std::vector<uint8_t> otherId = answerTo(request, "203.0.113.67", 300);
    otherId[1] ^= 0xFF;
    ASSERT_TRUE(server.sendTo(otherId, resolver));
    ASSERT_TRUE(server.sendTo(answerTo(request, "192.0.2.9", 300), resolver));

    ASSERT_TRUE(outcome.wait());
    const auto results = outcome.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results.front().first);
    EXPECT_EQ(hostAddress(results.front().second), "192.0.2.9");
    EXPECT_EQ(storage.NameForIPv4(inet_addr("203.0.113.66")), "");
    loop.stop();
}

// The loop is busy while the server's answer arrives and the resend time passes, so the time-out comes first:
// the answer already there is taken, not given up on.
TEST_F(DnsResolveProcessorTest, AnAnswerWaitingWhenTheTimeOutComesIsTaken)
{
    ASSERT_TRUE(loop.ready());
    LoopbackUdp server;
    const std::vector<uint8_t> request = query(0x4545, "late", kDnsTypeA);
    storeRequest("late.test", AF_INET, request, server.port());
    settings.maxSends = 1; // the first time-out is the last one

    // Holds the loop thread inside a processor until released.
    int pair[2] = { -1, -1 };
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const UniqueFd busy(pair[0]);
    const UniqueFd poke(pair[1]);
    std::promise<void> held;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::uint64_t busyId = 0;
    ASSERT_TRUE(loop.manager().AddSocket(busy.get(), false, 0, busyId, [&, released](eventDescription event) {
        if (event.read) {
            held.set_value();
            released.wait();
        }
    }));
    ASSERT_EQ(::send(poke.get(), "x", 1, MSG_NOSIGNAL), 1);
    held.get_future().wait();

    Outcome outcome;
    EXPECT_TRUE(resolve("late.test", outcome));
    sockaddr_storage resolver {};
    const auto received = server.receive(deadlineIn(20s), &resolver);
    ASSERT_TRUE(received);
    // The resend timer has expired by now; only then does the answer arrive.
    std::this_thread::sleep_for(settings.resendInterval * 5);
    ASSERT_TRUE(server.sendTo(answerTo(request, "192.0.2.45", 300), resolver));
    release.set_value();

    ASSERT_TRUE(outcome.wait());
    const auto results = outcome.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results.front().first);
    EXPECT_EQ(hostAddress(results.front().second), "192.0.2.45");
    loop.manager().RemoveSocketId(busyId);
    loop.stop();
}

// A live real address in the table answers at once, before resolveHost returns, and nothing is sent.
TEST_F(DnsResolveProcessorTest, TableHitAnswersWithoutAQuery)
{
    ASSERT_TRUE(loop.ready());
    LoopbackUdp server;
    settings.systemServers = "127.0.0.1:" + std::to_string(server.port());
    storeRequest("live.test", AF_INET, query(0x5555, "live", kDnsTypeA), server.port());
    ASSERT_TRUE(storage.AddRealIPv4(inet_addr("192.0.2.55"), "live.test", 300, true));
    Outcome outcome;
    EXPECT_TRUE(resolve("live.test", outcome));
    const auto results = outcome.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results.front().first);
    EXPECT_EQ(hostAddress(results.front().second), "192.0.2.55");
    EXPECT_TRUE(results.front().second.m_Resolved);
    EXPECT_FALSE(server.receive(deadlineIn(300ms)));
    loop.stop();
}

// An answer holding only placeholder addresses is no answer: neither way of resolving delivers one, while a real
// address from the same server is delivered.
TEST_F(DnsResolveProcessorTest, NeverDeliversAPlaceholder)
{
    Dnsmasq dnsmasq({ "--host-record=fake.test,198.18.0.20", "--host-record=fake6.test,fd00:5a17::c612:14",
        "--host-record=real.test,192.0.2.80" });
    ASSERT_TRUE(dnsmasq.ready());
    ASSERT_TRUE(loop.ready());
    settings.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
    struct Case {
        const char* name;
        const char* label;
        bool stored;
        bool resolved;
    };
    const Case cases[] = {
        { "fake.test", "fake", true, false },
        { "fake.test", "fake", false, false },
        { "fake6.test", "fake6", false, false },
        { "real.test", "real", true, true },
        { "real.test", "real", false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.stored ? " stored" : " system"));
        CDnsStorage fresh;
        settings.storage = &fresh;
        if (c.stored) {
            const std::vector<uint8_t> request = query(0x6666, c.label, kDnsTypeA);
            const sockaddr_in server = loopbackPort(dnsmasq.port());
            uint64_t ttl = 0;
            fresh.AddressForNameIPv4(
                c.name, true, request.data(), request.size(), reinterpret_cast<const sockaddr*>(&server), ttl);
        }
        Outcome outcome;
        EXPECT_TRUE(resolve(c.name, outcome));
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ(outcome.results().front().first, c.resolved);
        EXPECT_FALSE(outcome.results().front().second.m_FakeIp);
        if (c.resolved) {
            EXPECT_EQ(hostAddress(outcome.results().front().second), "192.0.2.80");
        }
        settings.storage = &storage;
    }
    loop.stop();
}

// Stored requests that cannot be sent, or whose server refuses them, end in exactly one failure.
TEST_F(DnsResolveProcessorTest, FailedStartsReportOnce)
{
    ASSERT_TRUE(loop.ready());
    LoopbackUdp server;
    uint16_t closedPort = 0;
    {
        LoopbackUdp gone;
        closedPort = gone.port();
    }
    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        uint16_t port;
    };
    std::vector<uint8_t> oversized = query(0x7777, "big", kDnsTypeA);
    oversized.resize(70000); // a valid question followed by more than a datagram can carry
    const Case cases[] = {
        { "big.test", oversized, server.port() },
        { "broken.test", { 0x12, 0x34, 0x01 }, server.port() }, // not a request at all
        { "closed.test", query(0x7778, "closed", kDnsTypeA), closedPort }, // nobody listens: the server refuses
    };
    std::vector<std::unique_ptr<Outcome>> outcomes;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        storeRequest(c.name, AF_INET, c.request, c.port);
        outcomes.push_back(std::make_unique<Outcome>());
        EXPECT_TRUE(resolve(c.name, *outcomes.back()));
        ASSERT_TRUE(outcomes.back()->wait());
        EXPECT_FALSE(outcomes.back()->results().front().first);
    }
    // Well past the time the six sends would have taken, nothing else was reported.
    EXPECT_FALSE(server.receive(deadlineIn(settings.resendInterval * 10)));
    loop.stop();
    for (const auto& outcome : outcomes) {
        EXPECT_EQ(outcome->results().size(), 1u);
    }
}

} // namespace
} // namespace corvantis
