#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/Chain.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/DnsStorage.h"
#include "tests/engine/ClientProcessorTestSupport.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/PeerProcess.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/LogLines.h"

namespace corvantis::test {
namespace {

CLogContext Curl()
{
    CLogContext identity;
    identity.bsdName = "curl";
    identity.fullPath = "/usr/bin/curl";
    identity.pid = 4242;
    return identity;
}

CRule RuleWith(const std::string& name, int action, int64_t id = -1)
{
    CRule rule(name);
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

// A proxy on 127.0.0.1:port (id 1), a chain "Office" (id 50) of it, and `rules`.
CProfileData Profile(std::vector<CRule> rules, uint16_t proxyPort = 1080, bool handleDirect = false)
{
    CProfileData profile;
    profile.m_Proxies = { CProxy("127.0.0.1", proxyPort, kProxySocks5, 1) };
    CChain chain("Office", 50);
    chain.m_Entries = { { 1, true } };
    profile.m_Chains = { chain };
    profile.m_Rules = std::move(rules);
    profile.m_HandleDirectConnections = handleDirect;
    return profile;
}

std::vector<std::string> Lines()
{
    return test::TakeScreenLines();
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& part)
{
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

class ClientProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseTestPlaceholderRange();
        GetLog().SetScreenLevel(kLogVerbose);
        Lines();
    }
    void TearDown() override
    {
        CClientProcessor::SetConnectionLimit(CClientProcessor::kDefaultConnectionLimit);
        GetLog().SetScreenLevel(kLogError);
        Lines();
    }

    // A fresh application object with `profile` active.
    std::unique_ptr<EngineTestApp> App(const CProfileData& profile)
    {
        auto app = std::make_unique<EngineTestApp>();
        app->SetProfile(profile, false);
        return app;
    }
};

// Which connections are refused, left to the system or taken, and what the log and the record say about it.
TEST_F(ClientProcessorTest, RuleDecidesRefusedLeftToSystemOrTaken)
{
    struct Case {
        const char* name;
        CRule rule;
        bool handleDirect;
        bool udp;
        bool toPlaceholder; // else to 10.1.2.3
        int expected;
        std::string matchTail; // after "<endpoint> matching <rule> rule : "; empty: no match line
        std::string openString;
        bool force;
    };
    const Case cases[] = {
        { "block", RuleWith("Stop", kActionBlock), false, false, false, CClientProcessor::kRefused,
            "connection blocked", "", false },
        { "direct left to the system", RuleWith("Plain", kActionDirect), false, false, false,
            CClientProcessor::kNotProcessed, "direct connection", " directly (force processing)", true },
        { "direct handled by the engine", RuleWith("Plain", kActionDirect), true, false, false,
            CClientProcessor::kTaken, "direct connection", " directly", false },
        { "direct to a placeholder is forced", RuleWith("Plain", kActionDirect), false, false, true,
            CClientProcessor::kTaken, "direct connection", " directly (force processing)", true },
        { "proxy", RuleWith("Socks", kActionProxy, 1), false, false, false, CClientProcessor::kTaken,
            " using proxy 127.0.0.1:1080 SOCKS5", " through proxy 127.0.0.1:1080 SOCKS5", false },
        { "chain", RuleWith("Chained", kActionChain, 50), false, false, false, CClientProcessor::kTaken,
            " using Office proxy chain", " through Office proxy chain", false },
        { "UDP through a proxy is refused", RuleWith("Socks", kActionProxy, 1), false, true, false,
            CClientProcessor::kRefused, "connection blocked", "", false },
        { "UDP handled directly is refused", RuleWith("Plain", kActionDirect), true, true, false,
            CClientProcessor::kRefused, "connection blocked", "", false },
        { "UDP blocked is refused", RuleWith("Stop", kActionBlock), false, true, false, CClientProcessor::kRefused,
            "connection blocked", "", false },
        { "UDP direct is left to the system", RuleWith("Plain", kActionDirect), false, true, false,
            CClientProcessor::kNotProcessed, "direct connection", " directly (force processing)", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto app = App(Profile({ c.rule }, 1080, c.handleDirect));
        uint64_t ttl = 0;
        const uint32_t placeholder
            = app->GetDnsStorage().AddressForNameIPv4("site.test.", true, nullptr, 0, nullptr, ttl);
        char placeholderText[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &placeholder, placeholderText, sizeof placeholderText);
        const std::string address = c.toPlaceholder ? placeholderText : "10.1.2.3";

        CClientProcessor processor(*app);
        EXPECT_EQ(processor.ProcessConnectionRequest(Curl(), nullptr, address.c_str(), "443", c.udp), c.expected);
        auto record = processor.GetConnection();
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->GetRuleName(), c.rule.m_Name);
        EXPECT_EQ(processor.GetOpenString(), c.openString);
        EXPECT_EQ(record->GetForceProcessing(), c.force);
        const bool taken = c.expected == CClientProcessor::kTaken;
        EXPECT_EQ(record->IsRegistered(), taken);
        EXPECT_EQ(app->ListSize(), taken ? 1u : 0u);
        EXPECT_EQ(app->GetStatistics().GetTotalConnections(), taken ? 1u : 0u);
        if (c.udp && c.expected == CClientProcessor::kRefused) {
            EXPECT_EQ(record->GetAction(), static_cast<uint32_t>(kActionBlock));
        }

        const std::string endpoint = c.toPlaceholder ? "site.test(" + address + "):443" : address + ":443";
        const std::string udpTail = c.udp ? " (UDP)" : "";
        const auto lines = Lines();
        EXPECT_TRUE(
            HasLine(lines, "curl - " + endpoint + udpTail + " matching " + c.rule.m_Name + " rule : " + c.matchTail))
            << ::testing::PrintToString(lines);
    }
}

TEST_F(ClientProcessorTest, RequestsThatCannotBeProcessed)
{
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }));
    struct Case {
        const char* name;
        const char* endpoint;
        const char* port;
        std::string line;
    };
    const Case cases[] = {
        { "no endpoint", nullptr, "443", "curl - connection cannot be processed - host is NULL" },
        { "no port", "10.1.2.3", nullptr, "curl - connection cannot be processed - port is NULL" },
        { "placeholder whose name is gone", "198.18.0.99", "443",
            "curl - 198.18.0.99:443 error: Cannot connect to placeholder (fake) IP address. It's recomended to restart "
            "the application." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CClientProcessor processor(*app);
        EXPECT_EQ(processor.ProcessConnectionRequest(Curl(), "ignored.test", c.endpoint, c.port, false),
            CClientProcessor::kNotProcessed);
        EXPECT_EQ(processor.GetConnection(), nullptr);
        const auto lines = Lines();
        EXPECT_TRUE(HasLine(lines, c.line)) << ::testing::PrintToString(lines);
        EXPECT_EQ(CountContaining(lines, " matching "), 0u);
    }
    EXPECT_EQ(app->ListSize(), 0u);

    // A profile without rules (only a broken one lacks "Default") leaves the connection to the system.
    auto empty = App(Profile({}));
    CClientProcessor processor(*empty);
    EXPECT_EQ(
        processor.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false), CClientProcessor::kNotProcessed);
    EXPECT_EQ(processor.GetRule(), nullptr);
    EXPECT_EQ(empty->ListSize(), 0u);
}

// The target's name: the system's for a real address, the address table's for a placeholder or when the system
// gave none, for an IPv4 address in IPv6 form too.
TEST_F(ClientProcessorTest, TargetNameComesFromTheSystemOrTheAddressTable)
{
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }));
    uint64_t ttl = 0;
    const uint32_t placeholder
        = app->GetDnsStorage().AddressForNameIPv4("hidden.test.", true, nullptr, 0, nullptr, ttl);
    char placeholderText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &placeholder, placeholderText, sizeof placeholderText);
    ASSERT_TRUE(app->GetDnsStorage().AddRealIPv4(inet_addr("10.9.8.7"), "seen.test.", 300, false));

    struct Case {
        const char* name;
        const char* hostName;
        std::string endpoint;
        std::string expectedName;
    };
    const Case cases[] = {
        { "system name for a real address", "given.test", "10.1.2.3", "given.test" },
        { "no name, none known", nullptr, "10.1.2.3", "10.1.2.3" },
        { "real address seen in DNS", nullptr, "10.9.8.7", "seen.test" },
        { "IPv4-mapped form of it", nullptr, "::ffff:10.9.8.7", "seen.test" },
        { "placeholder ignores the system name", "other.test", placeholderText, "hidden.test" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CClientProcessor processor(*app);
        ASSERT_TRUE(processor.CreateConnection(Curl(), c.hostName, c.endpoint.c_str(), "443", false));
        EXPECT_EQ(processor.GetConnection()->GetTarget().GetHostName(), c.expectedName);
    }
}

TEST_F(ClientProcessorTest, DirectAndProxyRulesConnectAndCloseOnce)
{
    EchoServer echo;
    auto microsocks = startMicrosocks();
    const std::string port = std::to_string(echo.port());
    const std::string target = "127.0.0.1:" + port;
    const std::string micro = "127.0.0.1:" + std::to_string(microsocks->port());

    struct Case {
        const char* name;
        CRule rule;
        std::string openLine;
    };
    const Case cases[] = {
        { "direct", RuleWith("Plain", kActionDirect), "curl - " + target + " open directly" },
        { "proxy", RuleWith("Socks", kActionProxy, 1),
            "curl - " + target + " open through proxy " + micro + " SOCKS5" },
        { "chain", RuleWith("Chained", kActionChain, 50), "curl - " + target + " open through Office proxy chain" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto app = App(Profile({ c.rule }, microsocks->port(), true));
        CClientProcessor processor(*app);
        ASSERT_EQ(processor.ProcessConnectionRequest(Curl(), nullptr, "127.0.0.1", port.c_str(), false),
            CClientProcessor::kTaken);
        const auto prepared = processor.ConnectionTargetHostPrepare();
        EXPECT_EQ(prepared.kind, CTunnel::kConnectNow);
        ASSERT_TRUE(processor.ConnectTargetHost());
        auto record = processor.GetConnection();
        EXPECT_TRUE(record->IsOpened());
        EXPECT_FALSE(record->IsClosed());
        auto socket = record->GetRemoteSocket();
        ASSERT_NE(socket, nullptr);
        ExpectEchoedUnchanged(*socket, 1024 * 1024);
        EXPECT_EQ(app->GetStatistics().GetFailedConnections(), 0u);

        processor.CloseConnection();
        processor.CloseConnection();
        EXPECT_TRUE(record->IsClosed());
        const auto lines = Lines();
        EXPECT_TRUE(HasLine(lines, c.openLine)) << ::testing::PrintToString(lines);
        EXPECT_EQ(CountContaining(lines, " close, "), 1u);
        EXPECT_TRUE(HasLine(lines, "curl - " + target + " close, 0 bytes sent, 0 bytes received, lifetime <1 sec"))
            << ::testing::PrintToString(lines);
    }
}

// A profile change never reaches a connection under way; connections made under one profile share it.
TEST_F(ClientProcessorTest, ConnectionKeepsTheProfileItStartedWith)
{
    EchoServer echo;
    auto microsocks = startMicrosocks();
    const std::string port = std::to_string(echo.port());
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }, microsocks->port()));
    CClientProcessor first(*app);
    CClientProcessor sibling(*app);
    ASSERT_EQ(
        first.ProcessConnectionRequest(Curl(), nullptr, "127.0.0.1", port.c_str(), false), CClientProcessor::kTaken);
    ASSERT_EQ(
        sibling.ProcessConnectionRequest(Curl(), nullptr, "127.0.0.1", port.c_str(), false), CClientProcessor::kTaken);
    EXPECT_EQ(first.GetRule(), sibling.GetRule()) << "one profile, one rule object";

    // The proxy moves to a port where nothing listens, under a rule of another name.
    app->SetProfile(Profile({ RuleWith("Moved", kActionProxy, 1) }, freeLoopbackPort()), false);
    EXPECT_EQ(first.ConnectionTargetHostPrepare().kind, CTunnel::kConnectNow);
    ASSERT_TRUE(first.ConnectTargetHost()) << "still through the proxy of the profile it started with";
    EXPECT_EQ(first.GetRule()->m_Name, "Socks");
    ExpectEchoedUnchanged(*first.GetConnection()->GetRemoteSocket(), 4096);

    CClientProcessor later(*app);
    ASSERT_EQ(
        later.ProcessConnectionRequest(Curl(), nullptr, "127.0.0.1", port.c_str(), false), CClientProcessor::kTaken);
    EXPECT_EQ(later.GetRule()->m_Name, "Moved");
    EXPECT_EQ(later.GetConnection()->GetRuleName(), "Moved");
    EXPECT_EQ(first.GetConnection()->GetRuleName(), "Socks");

    first.CloseConnection();
    sibling.CloseConnection();
    later.CloseConnection();
}

// A failed connect closes the record, counts as failed and is reported to the throttle once.
TEST_F(ClientProcessorTest, FailedConnectIsLoggedCountedAndThrottledOnce)
{
    const uint16_t closed = freeLoopbackPort();
    const std::string closedText = "127.0.0.1:" + std::to_string(closed);
    CProfileData profile = Profile({ RuleWith("Socks", kActionProxy, 1) }, closed);
    profile.m_Chains.push_back(CChain("Broken", 60));
    profile.m_Chains.back().m_Entries = { { 1, true }, { 77, true } };

    struct Case {
        const char* name;
        CRule rule;
        std::string error;
    };
    const Case cases[] = {
        { "unreachable proxy", RuleWith("Socks", kActionProxy, 1),
            "Could not connect to proxy " + closedText + " - connection attempt to " + closedText
                + " failed with error " + std::to_string(ECONNREFUSED) },
        { "chain with a missing proxy", RuleWith("Chained", kActionChain, 60),
            "Chain \"Broken\": incorrect proxy server ID found." },
        { "rule with a missing proxy", RuleWith("Lost", kActionProxy, 9),
            "Rule \"Lost\" refers to nonexistent proxy (id = 9)" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        profile.m_Rules = { c.rule };
        auto app = App(profile);
        CClientProcessor processor(*app);
        ASSERT_EQ(
            processor.ProcessConnectionRequest(Curl(), "far.test", "10.1.2.3", "443", false), CClientProcessor::kTaken);
        processor.ConnectionTargetHostPrepare();
        EXPECT_FALSE(processor.ConnectTargetHost());
        auto record = processor.GetConnection();
        EXPECT_TRUE(record->IsClosed());
        EXPECT_FALSE(record->IsOpened());
        EXPECT_EQ(record->GetRemoteSocket(), nullptr);
        EXPECT_EQ(app->GetStatistics().GetFailedConnections(), 1u);
        EXPECT_EQ(app->GetConnectThrottle().GetHostCount("far.test"), 1u);
        const auto lines = Lines();
        EXPECT_TRUE(HasLine(lines, "curl - far.test:443 error : " + c.error)) << ::testing::PrintToString(lines);
        EXPECT_EQ(CountContaining(lines, " open"), 0u);
    }
}

// A first hop that cannot be connected is reported to the throttle, so connections through one dead proxy slow
// down whatever their targets are. The target is reported once per failed connection, also when it is that hop.
TEST_F(ClientProcessorTest, DeadFirstHopIsThrottledAndTheTargetOnce)
{
    const uint16_t closed = freeLoopbackPort();
    struct Case {
        const char* name;
        CRule rule;
        const char* endpoint;
        uint32_t hopReports; // of the dead hop 127.0.0.1 (the proxy, or the target's address when it is the hop)
    };
    const Case cases[] = {
        { "direct to a closed port", RuleWith("Plain", kActionDirect), "127.0.0.1", 0 },
        { "through a dead proxy", RuleWith("Socks", kActionProxy, 1), "10.1.2.3", 3 },
        { "through a chain whose first proxy is dead", RuleWith("Chained", kActionChain, 50), "10.1.2.3", 3 },
    };
    const char* const names[] = { "a.test", "b.test", "c.test" };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto app = App(Profile({ c.rule }, closed, true));
        for (const char* name : names) {
            CClientProcessor processor(*app);
            ASSERT_EQ(
                processor.ProcessConnectionRequest(Curl(), name, c.endpoint, std::to_string(closed).c_str(), false),
                CClientProcessor::kTaken);
            ASSERT_EQ(processor.ConnectionTargetHostPrepare().kind, CTunnel::kConnectNow);
            EXPECT_FALSE(processor.ConnectTargetHost());
            processor.CloseConnection();
        }
        const CConnectThrottle& throttle = app->GetConnectThrottle();
        EXPECT_EQ(throttle.GetHostCount("127.0.0.1"), c.hopReports);
        for (const char* name : names)
            EXPECT_EQ(throttle.GetHostCount(name), 1u) << name;
        EXPECT_EQ(throttle.GetGlobalCount(), 3 + c.hopReports);
        Lines();
    }
}

TEST_F(ClientProcessorTest, FailConnectionAfterAFailedResolution)
{
    auto app = App(Profile({ RuleWith("Plain", kActionDirect) }));
    uint64_t ttl = 0;
    const uint32_t placeholder
        = app->GetDnsStorage().AddressForNameIPv4("nowhere.test", true, nullptr, 0, nullptr, ttl);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &placeholder, text, sizeof text);

    CClientProcessor processor(*app);
    ASSERT_EQ(processor.ProcessConnectionRequest(Curl(), nullptr, text, "80", false), CClientProcessor::kTaken);
    const auto prepared = processor.ConnectionTargetHostPrepare();
    ASSERT_EQ(prepared.kind, CTunnel::kResolveFirst);
    ASSERT_TRUE(prepared.host.has_value());
    EXPECT_EQ(prepared.host->GetHostName(), "nowhere.test");
    auto record = processor.GetConnection();
    EXPECT_TRUE(record->IsResolving());

    processor.FailConnection("nowhere.test cannot be resolved");
    EXPECT_TRUE(record->IsClosed());
    EXPECT_EQ(app->ThrottleConnect(record->GetTarget()), 4 * kThrottleUnit);
    processor.CloseConnection();
    const auto lines = Lines();
    EXPECT_TRUE(HasLine(lines, "curl - nowhere.test:80 error : nowhere.test cannot be resolved"))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(CountContaining(lines, " close, "), 1u);
}

TEST_F(ClientProcessorTest, ConnectionLimitStopsOnlyTakenConnections)
{
    CRule stop = RuleWith("Stop", kActionBlock);
    stop.m_Ports = { { 9, 9 } };
    CRule plain = RuleWith("Plain", kActionDirect);
    plain.m_Ports = { { 7, 7 } };
    auto app = App(Profile({ stop, plain, RuleWith("Socks", kActionProxy, 1) }));
    CClientProcessor::SetConnectionLimit(2);

    std::vector<std::unique_ptr<CClientProcessor>> processors;
    for (int i = 0; i < 3; ++i) {
        processors.push_back(std::make_unique<CClientProcessor>(*app));
        EXPECT_EQ(processors.back()->ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false),
            CClientProcessor::kTaken);
    }
    Lines();
    CClientProcessor over(*app);
    EXPECT_EQ(
        over.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false), CClientProcessor::kNotProcessed);
    EXPECT_TRUE(HasLine(Lines(), "curl - 10.1.2.3:443 : more than 2 connections total. Block new connection."));
    EXPECT_EQ(app->ListSize(), 3u);

    CClientProcessor blocked(*app);
    EXPECT_EQ(blocked.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "9", false), CClientProcessor::kRefused);
    CClientProcessor leftAlone(*app);
    EXPECT_EQ(
        leftAlone.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "7", false), CClientProcessor::kNotProcessed);
    EXPECT_EQ(CountContaining(Lines(), "more than"), 0u);
}

// Closed records still waiting for the clean-up do not count against the limit: only open ones do.
TEST_F(ClientProcessorTest, ConnectionLimitCountsOpenConnectionsOnly)
{
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }));
    CClientProcessor::SetConnectionLimit(2);
    std::vector<std::unique_ptr<CClientProcessor>> processors;
    for (int i = 0; i < 3; ++i) {
        processors.push_back(std::make_unique<CClientProcessor>(*app));
        ASSERT_EQ(processors.back()->ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false),
            CClientProcessor::kTaken);
    }
    processors[0]->CloseConnection();
    processors[1]->CloseConnection();
    ASSERT_EQ(app->ListSize(), 3u); // closed, but listed until the clean-up

    CClientProcessor next(*app);
    EXPECT_EQ(next.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false), CClientProcessor::kTaken);
    EXPECT_EQ(CountContaining(Lines(), "more than"), 0u);
}

// The live count follows every close, also over repeated counts, and stays right once the clean-up took the
// closed records out of the list.
TEST_F(ClientProcessorTest, LiveCountFollowsClosesAndTheCleanUp)
{
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }));
    const auto longAgo = std::chrono::steady_clock::now() - std::chrono::seconds(10);
    auto make = [&] {
        return std::make_shared<CConnRecord>(Curl(), CHost("10.9.9.9", 80, false), [longAgo] { return longAgo; });
    };
    std::vector<std::shared_ptr<CConnRecord>> records;
    for (int i = 0; i < 4; ++i) {
        records.push_back(make());
        app->AddConnection(records.back(), false);
    }
    EXPECT_EQ(app->CountLiveConnections(), 4u);
    records[1]->MarkClosed();
    EXPECT_EQ(app->CountLiveConnections(), 3u);
    EXPECT_EQ(app->CountLiveConnections(), 3u);
    records[0]->MarkClosed();
    records[3]->MarkClosed();
    app->RemoveClosedConnections();
    EXPECT_EQ(app->ListSize(), 1u);
    EXPECT_EQ(app->CountLiveConnections(), 1u);
    records.push_back(make());
    app->AddConnection(records.back(), false);
    EXPECT_EQ(app->CountLiveConnections(), 2u);
    records[2]->MarkClosed();
    EXPECT_EQ(app->CountLiveConnections(), 1u);
}

// Old closed records are removed when a connection is taken in a new 8-second slot, never by a refused one.
TEST_F(ClientProcessorTest, TakenConnectionRemovesOldClosedRecords)
{
    auto app = App(Profile({ RuleWith("Stop", kActionBlock), RuleWith("Socks", kActionProxy, 1) }));
    CProfileData blocking = Profile({ RuleWith("Stop", kActionBlock) });
    const auto longAgo = std::chrono::steady_clock::now() - std::chrono::seconds(10);
    auto old = std::make_shared<CConnRecord>(Curl(), CHost("10.9.9.9", 80, false), [longAgo] { return longAgo; });
    old->MarkClosed();
    app->AddConnection(old, false);
    ASSERT_EQ(app->ListSize(), 1u);

    CClientProcessor::ResetCleanupSlot();
    app->SetProfile(blocking, false);
    CClientProcessor refused(*app);
    EXPECT_EQ(refused.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false), CClientProcessor::kRefused);
    EXPECT_EQ(app->ListSize(), 1u);

    app->SetProfile(Profile({ RuleWith("Socks", kActionProxy, 1) }), false);
    CClientProcessor taken(*app);
    EXPECT_EQ(taken.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false), CClientProcessor::kTaken);
    EXPECT_EQ(app->ListSize(), 1u);
    EXPECT_FALSE(old->IsRegistered());
    EXPECT_TRUE(taken.GetConnection()->IsRegistered());
}

TEST_F(ClientProcessorTest, LoopFlagBlocksTakenConnectionsWithoutAMatchLine)
{
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }));
    app->SetLoopDetectFlag(true);
    CClientProcessor processor(*app);
    EXPECT_EQ(
        processor.ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false), CClientProcessor::kRefused);
    EXPECT_EQ(processor.GetConnection()->GetAction(), static_cast<uint32_t>(kActionBlock));
    EXPECT_EQ(app->ListSize(), 0u);
    EXPECT_EQ(CountContaining(Lines(), " matching "), 0u);
}

// Many unanswered connections of one application to one target within seconds are a loop, found on a check turn.
TEST_F(ClientProcessorTest, ManyUnansweredConnectionsToOneTargetAreALoop)
{
    auto app = App(Profile({ RuleWith("Socks", kActionProxy, 1) }));
    std::vector<std::unique_ptr<CClientProcessor>> processors;
    size_t reported = 0;
    for (int i = 1; i <= 60; ++i) {
        processors.push_back(std::make_unique<CClientProcessor>(*app));
        EXPECT_EQ(processors.back()->ProcessConnectionRequest(Curl(), nullptr, "10.1.2.3", "443", false),
            CClientProcessor::kTaken);
        while (app->PopLoopApp())
            ++reported;
        // The first check turn comes once the list holds 51 records.
        EXPECT_EQ(reported, i < 51 ? 0u : 1u) << i;
    }
    EXPECT_FALSE(app->GetLoopDetectFlag());
    EXPECT_TRUE(HasLine(Lines(), "curl - Infinite loop connection detected"));
}

} // namespace
} // namespace corvantis::test
