#include "tests/extension/FlowTestSupport.h"
#include "tests/profile/ProfileTestSupport.h"

#include "extension/flows/UdpFlowProcessor.h"
#include "platform/netext/AuditToken.h"
#include "tests/engine/DnsWire.h"
#include "tests/peers/Dnsmasq.h"
#include "tests/peers/EchoServer.h"

#include <unistd.h>

namespace corvantis::test {
namespace {

// A UDP socket bound on a loopback address.
UniqueFd BoundUdp(const std::string& host, uint16_t port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return fd;
}

// The replies the application received, in order.
class ReplySink final {
public:
    NEAppProxyUDPFlow::ReplySink sink()
    {
        return [this](const FlowDatagram& reply) {
            std::lock_guard lock(m_mutex);
            m_replies.push_back(reply);
        };
    }
    std::vector<FlowDatagram> replies()
    {
        std::lock_guard lock(m_mutex);
        return m_replies;
    }

private:
    std::mutex m_mutex;
    std::vector<FlowDatagram> m_replies;
};

class UdpFlowTest : public FlowTest {
protected:
    void SetUp() override
    {
        FlowTest::SetUp();
        udpQueues.socketEvents = queues.socketEvents;
        udpQueues.processing = DispatchQueue::create("Corvantis UDP processing queue");
        udpQueues.api = queues.api;
        MakeUdpManager({});
    }
    void TearDown() override
    {
        udpManager->closeAllFlows();
        waitUntil([&] { return udpManager->flowCount() == 0; });
        udpManager.reset();
        FlowTest::TearDown();
    }

    void MakeUdpManager(UdpFlowSettings settings)
    {
        if (udpManager) {
            udpManager->closeAllFlows();
            waitUntil([&] { return udpManager->flowCount() == 0; });
        }
        udpManager = std::make_shared<UdpFlowsManager>(UdpFlowProcessor::factory(std::move(settings)));
        udpManager->setDnsFakeIp("10.0.0.1");
        injector.start({ [this](const NEAppProxyTCPFlowPtr& flow) { return manager->handleNewFlow(flow, queues); },
            [this](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint) {
                return udpManager->handleNewFlow(flow, endpoint, udpQueues, fromDnsProxy);
            } });
    }

    // A flow of this process ("dig", with its own audit token) whose first datagram goes to `host`:`port`.
    FlowInjector::OfferedUdp OfferUdp(const std::string& host, uint16_t port, ReplySink& replies)
    {
        const auto token = AuditToken::ForProcess(::getpid(), 0);
        return injector.offerUdp(NWEndpoint::Host(host, std::to_string(port)), std::nullopt,
            { "dig", token ? std::optional(token->Bytes()) : std::nullopt }, replies.sink());
    }

    UdpFlowQueues udpQueues;
    std::shared_ptr<UdpFlowsManager> udpManager;
    bool fromDnsProxy = false;
};

TEST_F(UdpFlowTest, AQueryToThePlaceholderServerIsAnsweredWithAPlaceholderAndNeverRelayed)
{
    EchoServer unused; // any proxy address: the rule only has to resolve names through a proxy
    UseProfile({ CProxy("127.0.0.1", unused.port(), kProxySocks5, 1) }, { RuleWith("Via proxy", kActionProxy, 1) });
    ReplySink replies;
    auto offered = OfferUdp("10.0.0.1", 53, replies);
    ASSERT_TRUE(offered.taken);
    offered.flow->deliver({ DnsQueryA(0x1234, { "placeholder", "example" }), NWEndpoint::Host("10.0.0.1", "53") });
    ASSERT_TRUE(waitUntil([&] { return !replies.replies().empty(); }));
    const FlowDatagram reply = replies.replies()[0];
    EXPECT_EQ(reply.endpoint, NWEndpoint::Host("10.0.0.1", "53")) << "sent as by the server asked";
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string warning;
    ASSERT_EQ(ParseDnsMessage(reply.data.data(), reply.data.size(), DnsMessageKind::Response, info, answers, warning),
        DnsParseResult::Accepted);
    EXPECT_EQ(info.id, 0x1234);
    ASSERT_EQ(answers.size(), 1u);
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&answers[0].address);
    EXPECT_EQ(ntohl(v4->sin_addr.s_addr) >> 24, 10u) << "a placeholder address";
}

TEST_F(UdpFlowTest, ARelayedQueryGetsTheRealAnswerOnlyFromTheServerAsked)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a DNS server on port 53 of a loopback address needs root";
    Dnsmasq dnsmasq({ "127.83.0.2", 53 }, { "--address=/real.test/192.0.2.44" });
    ASSERT_TRUE(dnsmasq.ready()) << dnsmasq.startError();
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    fromDnsProxy = true;
    ReplySink replies;
    auto offered = OfferUdp("127.83.0.2", 53, replies);
    ASSERT_TRUE(offered.taken);
    offered.flow->deliver({ DnsQueryA(0x2222, { "real", "test" }), NWEndpoint::Host("127.83.0.2", "53") });
    ASSERT_TRUE(waitUntil([&] { return !replies.replies().empty(); }));
    const FlowDatagram reply = replies.replies()[0];
    EXPECT_EQ(reply.endpoint, NWEndpoint::Host("127.83.0.2", "53"));
    EXPECT_EQ(reply.data[0], 0x22);
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("192.0.2.44")), "real.test") << "shown to the engine";
}

TEST_F(UdpFlowTest, ForgedRepliesAreNeitherWrittenNorShown)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a DNS server on port 53 of a loopback address needs root";
    UniqueFd server = BoundUdp("127.83.0.3", 53);
    ASSERT_TRUE(server);
    UniqueFd forger = BoundUdp("127.83.0.3", 0);
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    fromDnsProxy = true;
    ReplySink replies;
    auto offered = OfferUdp("127.83.0.3", 53, replies);
    ASSERT_TRUE(offered.taken);
    const auto query = DnsQueryA(0x3333, { "asked", "test" });
    offered.flow->deliver({ query, NWEndpoint::Host("127.83.0.3", "53") });

    // The server learns where the relay sends from.
    std::vector<uint8_t> buffer(512);
    sockaddr_in relay {};
    socklen_t length = sizeof relay;
    pollfd p { server.get(), POLLIN, 0 };
    ASSERT_EQ(::poll(&p, 1, 20000), 1);
    const ssize_t n
        = ::recvfrom(server.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&relay), &length);
    ASSERT_EQ(n, static_cast<ssize_t>(query.size()));

    // From another port: dropped, and the flow stays open for the real one.
    const auto forged = DnsAnswerA(query, IPv4("198.51.100.9"));
    ::sendto(forger.get(), forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&relay), length);
    // From the server, but to a query this flow never sent: written (the application judges it), not shown.
    const auto strange = DnsAnswerA(DnsQueryA(0x4444, { "other", "test" }), IPv4("198.51.100.10"));
    ::sendto(server.get(), strange.data(), strange.size(), 0, reinterpret_cast<sockaddr*>(&relay), length);
    const auto real = DnsAnswerA(query, IPv4("192.0.2.55"));
    ::sendto(server.get(), real.data(), real.size(), 0, reinterpret_cast<sockaddr*>(&relay), length);

    ASSERT_TRUE(waitUntil([&] { return replies.replies().size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto written = replies.replies();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].data, strange);
    EXPECT_EQ(written[1].data, real);
    for (const auto& reply : written)
        EXPECT_EQ(reply.endpoint, NWEndpoint::Host("127.83.0.3", "53"));
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("198.51.100.9")), "");
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("198.51.100.10")), "");
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("192.0.2.55")), "asked.test");
    EXPECT_FALSE(offered.flow->closeState().readClosed) << "the flow is still open";
}

TEST_F(UdpFlowTest, TheGlobalAndThePerProcessLimits)
{
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    fromDnsProxy = true;
    Lines();
    {
        UdpFlowSettings settings;
        settings.globalLimit = 501;
        settings.perProcessLimit = 1000;
        MakeUdpManager(settings);
        std::vector<FlowInjector::OfferedUdp> flows;
        ReplySink replies;
        for (int i = 0; i < 501; ++i) {
            flows.push_back(OfferUdp("127.0.0.1", 53, replies));
            ASSERT_TRUE(flows.back().taken) << i;
        }
        EXPECT_FALSE(OfferUdp("127.0.0.1", 53, replies).taken);
        const auto lines = Lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) {
                          return line.find("DNS request bypassed - too many DNS requests") != std::string::npos;
                      }),
            1);
    }
    {
        UdpFlowSettings settings;
        settings.perProcessLimit = 50;
        settings.freshness = std::chrono::minutes(5);
        MakeUdpManager(settings);
        std::vector<FlowInjector::OfferedUdp> flows;
        ReplySink replies;
        for (int i = 0; i < 50; ++i) {
            flows.push_back(OfferUdp("127.0.0.1", 53, replies));
            ASSERT_TRUE(flows.back().taken) << i;
        }
        EXPECT_FALSE(OfferUdp("127.0.0.1", 53, replies).taken);
        EXPECT_TRUE(HasLineWith(Lines(), "DNS request bypassed  - too many DNS requests from the same process"));
        // Another server is another count.
        EXPECT_TRUE(OfferUdp("127.0.0.2", 53, replies).taken);
    }
}

TEST_F(UdpFlowTest, RepliesArriveWhileTheLimitCountsReadThem)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a DNS server on port 53 of a loopback address needs root";
    Dnsmasq dnsmasq({ "127.83.0.4", 53 }, { "--address=/busy.test/192.0.2.66" });
    ASSERT_TRUE(dnsmasq.ready()) << dnsmasq.startError();
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    fromDnsProxy = true;
    UdpFlowSettings settings;
    settings.freshness = std::chrono::minutes(5);
    MakeUdpManager(settings);
    std::vector<FlowInjector::OfferedUdp> flows;
    std::vector<std::unique_ptr<ReplySink>> sinks;
    // Each new flow's preparation counts the earlier ones while their answers come in.
    for (int i = 0; i < 40; ++i) {
        sinks.push_back(std::make_unique<ReplySink>());
        flows.push_back(OfferUdp("127.83.0.4", 53, *sinks.back()));
        ASSERT_TRUE(flows.back().taken);
        flows.back().flow->deliver(
            { DnsQueryA(static_cast<uint16_t>(i), { "busy", "test" }), NWEndpoint::Host("127.83.0.4", "53") });
    }
    for (auto& sink : sinks)
        EXPECT_TRUE(waitUntil([&] { return sink->replies().size() == 1; }));
    // Answered flows no longer count: a process may go on asking.
    ReplySink more;
    EXPECT_TRUE(OfferUdp("127.83.0.4", 53, more).taken);
}

TEST_F(UdpFlowTest, AnEmptyBatchClosesWithoutAnError)
{
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    fromDnsProxy = true;
    ReplySink replies;
    auto offered = OfferUdp("127.0.0.1", 53, replies);
    ASSERT_TRUE(offered.taken);
    offered.flow->deliverEnd();
    ASSERT_TRUE(waitUntil([&] { return offered.flow->closeState().writeClosed; }));
    EXPECT_FALSE(offered.flow->closeState().error);
    EXPECT_TRUE(waitUntil([&] { return udpManager->flowCount() == 0; }));
}

TEST_F(UdpFlowTest, AFlowTheRulesRefuseIsTakenAndDropsItsDatagrams)
{
    UniqueFd target = BoundUdp("127.0.0.1", 0);
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    ::getsockname(target.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    const uint16_t port = ntohs(bound.sin_port);
    fromDnsProxy = true; // lets a port other than 443 through the registry's filter
    UseProfile({}, { RuleWith("Block", kActionBlock) });
    ReplySink replies;
    auto offered = OfferUdp("127.0.0.1", port, replies);
    ASSERT_TRUE(offered.taken);
    offered.flow->deliver({ { 1, 2, 3 }, NWEndpoint::Host("127.0.0.1", std::to_string(port)) });
    pollfd p { target.get(), POLLIN, 0 };
    EXPECT_EQ(::poll(&p, 1, 300), 0) << "nothing relayed";
    EXPECT_FALSE(offered.flow->closeState().readClosed);

    // Direct connections the profile does not handle stay with the system (the engine carries no UDP itself, so
    // whatever it would take it refuses).
    UseProfile({}, { RuleWith("Direct", kActionDirect) }, false);
    EXPECT_FALSE(OfferUdp("127.0.0.1", port, replies).taken) << "only refused flows that are not DNS are taken";
}

} // namespace
} // namespace corvantis::test
