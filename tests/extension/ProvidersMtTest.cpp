#include "extension/daemon/AppProxyProvider.h"
#include "extension/daemon/DNSProxyProvider.h"
#include "tests/extension/WorkerTestSupport.h"
#include "tests/peers/EchoServer.h"

#include <future>

namespace corvantis::test {
namespace {

using Protocol = NENetworkRule::Protocol;

std::optional<FlowError> Start(NEAppProxyProvider& provider)
{
    std::promise<std::optional<FlowError>> done;
    int calls = 0;
    provider.startProxy([&](std::optional<FlowError> error) {
        if (++calls == 1)
            done.set_value(std::move(error));
    });
    auto result = done.get_future().get();
    EXPECT_EQ(calls, 1) << "the start's completion runs once";
    return result;
}

// "host:port/prefix protocol" of a rule, for comparing lists.
std::string Text(const NENetworkRule& rule)
{
    std::string text = rule.remote() ? rule.remote()->description() : "any";
    text += "/" + std::to_string(rule.remotePrefix());
    text += rule.protocol() == Protocol::TCP ? " tcp" : rule.protocol() == Protocol::UDP ? " udp" : " any";
    if (rule.isDestinationRule())
        text += " destination";
    return text;
}

std::vector<std::string> Texts(const std::vector<NENetworkRule>& rules)
{
    std::vector<std::string> texts;
    for (const auto& rule : rules)
        texts.push_back(Text(rule));
    return texts;
}

TEST(AppProxySettingsTest, RulesForThePortTexts)
{
    std::string line;
    auto defaults = AppProxyProvider::makeSettings("", "", false, line);
    EXPECT_EQ(defaults.tunnelRemoteAddress, "127.0.0.1");
    EXPECT_EQ(defaults.excludedNetworkRules.size(), 152u);
    EXPECT_TRUE(line.empty()) << "no count line for the default ports";
    EXPECT_EQ(Text(defaults.excludedNetworkRules[0]), "[fc00::]:0/8 any");
    EXPECT_EQ(Text(defaults.excludedNetworkRules[1]), "[fe00::]:0/7 any");
    EXPECT_EQ(Text(defaults.excludedNetworkRules[2]), "0.0.0.0:7/0 udp");
    EXPECT_EQ(Text(defaults.excludedNetworkRules[74]), "[::]:7/0 udp");
    EXPECT_EQ(Text(defaults.excludedNetworkRules[146]), "0.0.0.0:67/0 tcp");
    EXPECT_EQ(Text(defaults.excludedNetworkRules[151]), "[::]:69/0 tcp");
    EXPECT_EQ(defaults.includedNetworkRules.size(), 4u);

    auto web = AppProxyProvider::makeSettings("", "80,443", false, line);
    EXPECT_EQ(Texts(web.excludedNetworkRules),
        (std::vector<std::string> { "[fc00::]:0/8 any", "[fe00::]:0/7 any", "0.0.0.0:80/0 tcp", "0.0.0.0:443/0 tcp",
            "[::]:80/0 tcp", "[::]:443/0 tcp", ":80/0 tcp destination", ":443/0 tcp destination" }));
    EXPECT_EQ(line, "Current settings count 8 udp:  tcp: 80 443");

    auto separators = AppProxyProvider::makeSettings(",;\n", "", false, line);
    EXPECT_EQ(separators.excludedNetworkRules.size(), 2u);
    EXPECT_EQ(line, "Current settings count 2 udp:     tcp: ");

    // Texts that are no port never become rules of their own.
    auto mixed = AppProxyProvider::makeSettings("", "80,abc,70000,22", false, line);
    EXPECT_EQ(Texts(mixed.excludedNetworkRules),
        (std::vector<std::string> { "[fc00::]:0/8 any", "[fe00::]:0/7 any", "0.0.0.0:80/0 tcp", "0.0.0.0:22/0 tcp",
            "[::]:80/0 tcp", "[::]:22/0 tcp", ":80/0 tcp destination", ":22/0 tcp destination" }));

    auto blocking = AppProxyProvider::makeSettings("", "", true, line);
    EXPECT_EQ(Texts(blocking.includedNetworkRules),
        (std::vector<std::string> { "any/0 tcp", "[::1]:0/128 tcp", "127.0.0.1:0/8 tcp", "[fd00:5a17::]:0/32 tcp",
            ":443/0 udp", "[::1]:443/8 udp", "127.0.0.1:443/8 udp" }));
}

TEST(NetworkRuleTest, TheSystemDeclinesRulesThatAreNoAddressOrPort)
{
    struct Case {
        const char* host;
        const char* port;
        bool made;
    };
    const Case cases[] = {
        { "", "443", true },
        { "10.1.2.3", "0", true },
        { "fd00::1", "65535", true },
        { "example.org", "80", false },
        { "10.0.0.1", "65536", false },
        { "10.0.0.1", "-1", false },
        { "10.0.0.1", "8 0", false },
        { "10.0.0.1; drop", "80", false },
        { "10.0.0.1", "", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.port);
        EXPECT_EQ(NENetworkRule::destinationHost(NWEndpoint::Host(c.host, c.port), Protocol::TCP).has_value(), c.made);
    }
    EXPECT_EQ(NWEndpoint::Host("::1", "53").description(), "[::1]:53");
    EXPECT_EQ(NWEndpoint::Host("10.0.0.1", "53").description(), "10.0.0.1:53");
}

class ProviderTest : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        worker = std::make_shared<CorvantisWorker>();
    }
    void TearDown() override
    {
        worker->stopAppProxy();
        worker->stopDnsProxy();
        waitUntil([&] { return worker->tcpFlowsManager()->flowCount() + worker->udpFlowsManager()->flowCount() == 0; });
        worker.reset();
        WorkerTest::TearDown();
    }
    std::shared_ptr<CorvantisWorker> worker;
    bool hello = true;
    SystemLogLines logs;
};

TEST_F(ProviderTest, TheTransparentProxyStartsOnlyAfterTheHello)
{
    AppProxyProvider provider(worker, [&] { return hello; });
    hello = false;
    const auto refused = Start(provider);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, 0);
    EXPECT_EQ(refused->domain, "");
    EXPECT_EQ(refused->description, "Corvantis Transparent Proxy cannot be initialized before hello message");
    EXPECT_FALSE(worker->isInitialized()) << "the engine is untouched";
    EXPECT_FALSE(provider.appliedSettings());
    EXPECT_EQ(logs.startingWith("Corvantis AppProxy - not initialized").size(), 1u);

    hello = true;
    DefaultsStore::standard().setObject("SettingsExcludedTcpPorts", PlistValue(std::string("80,443")));
    EXPECT_FALSE(Start(provider));
    DefaultsStore::standard().removeObject("SettingsExcludedTcpPorts");
    EXPECT_TRUE(worker->isInitialized());
    ASSERT_TRUE(provider.appliedSettings());
    EXPECT_EQ(provider.appliedSettings()->excludedNetworkRules.size(), 8u) << "the ports of the stored settings";
}

TEST_F(ProviderTest, SettingsTheSystemRefusesFailTheStart)
{
    AppProxyProvider provider(worker, [] { return true; });
    provider.setSystemSide({ [](const std::optional<NETransparentProxyNetworkSettings>&) {
                                return std::optional<FlowError>(FlowError { "system", 9, "no rules today" });
                            },
        nullptr });
    const auto error = Start(provider);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "no rules today");
    EXPECT_EQ(logs.startingWith("Corvantis set settings fail - pid ").size(), 1u);
}

TEST_F(ProviderTest, TheTransparentProxyTakesTcpFlowsAndMessages)
{
    AppProxyProvider provider(worker, [] { return true; });
    ASSERT_FALSE(Start(provider));
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto pair = LoopbackTcpPair();
    ASSERT_TRUE(pair);
    auto flow = NEAppProxyTCPFlow::create(std::move(pair->second),
        NWEndpoint::Host("127.0.0.1", std::to_string(echo.port())), std::nullopt, { "curl", std::nullopt });
    EXPECT_TRUE(provider.handleNewFlow(flow));
    auto udp = NEAppProxyUDPFlow::create(std::nullopt, { "dig", std::nullopt }, nullptr);
    EXPECT_FALSE(provider.handleNewFlow(udp)) << "a UDP flow offered as a flow";

    IPCMessage wake;
    wake.launchStub = MessageSimpleRequest {};
    std::promise<std::optional<std::vector<uint8_t>>> reply;
    provider.handleAppMessage(
        Archived(wake), [&](std::optional<std::vector<uint8_t>> bytes) { reply.set_value(bytes); });
    const auto bytes = reply.get_future().get();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(ReplyText(*bytes), "message type not known");

    provider.sleep(nullptr);
    provider.wake();
    EXPECT_EQ(logs.startingWith("Corvantis NE - pid ").size(), 2u);
    bool stopped = false;
    provider.stopProxy(0, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(waitUntil([&] { return worker->tcpFlowsManager()->flowCount() == 0; }));
}

TEST_F(ProviderTest, TheDnsProxy)
{
    TempDir logs_;
    const std::string folder = (logs_ / "Logs" / "CorvantisDnsProxy").string();
    DNSProxyProvider provider(
        worker, [&] { return hello; }, folder);
    hello = false;
    const auto refused = Start(provider);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, 1);
    EXPECT_EQ(refused->description, "Corvantis DNS Proxy cannot be initialized before hello message");
    EXPECT_TRUE(provider.wasCancelled());
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_FALSE(worker->isInitialized());

    // Flows before a start are refused.
    auto early = NEAppProxyUDPFlow::create(std::nullopt, { "dig", std::nullopt }, nullptr);
    EXPECT_FALSE(provider.handleNewUDPFlow(early, NWEndpoint::Host("127.0.0.1", "53")));
    EXPECT_EQ(logs.startingWith("Corvantis DNSProxy - pid ").back().find("not initialized") != std::string::npos, true);

    hello = true;
    std::filesystem::create_directories(folder); // an existing folder is "created" all the same
    EXPECT_FALSE(Start(provider));
    EXPECT_TRUE(provider.isInitialized());
    bool created = false;
    for (const auto& line : logs.lines())
        created = created || (line.find("file created " + folder) != std::string::npos);
    EXPECT_TRUE(created);

    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    auto udp = NEAppProxyUDPFlow::create(std::nullopt, { "dig", std::nullopt }, nullptr);
    EXPECT_TRUE(provider.handleNewUDPFlow(udp, NWEndpoint::Host("127.0.0.1", "5353"))) << "any port, with the flag";
    EXPECT_EQ(worker->udpFlowsManager()->flowCount(), 1u);
    EchoServer echo;
    auto pair = LoopbackTcpPair();
    ASSERT_TRUE(pair);
    auto tcp = NEAppProxyTCPFlow::create(std::move(pair->second),
        NWEndpoint::Host("127.0.0.1", std::to_string(echo.port())), std::nullopt, { "dig", std::nullopt });
    EXPECT_TRUE(provider.handleNewFlow(tcp));
    EXPECT_EQ(worker->tcpFlowsManager()->flowCount(), 1u);

    provider.stopProxy(0, nullptr);
    EXPECT_TRUE(waitUntil([&] { return worker->udpFlowsManager()->flowCount() == 0; }));
    EXPECT_EQ(worker->tcpFlowsManager()->flowCount(), 1u) << "a DNS proxy stop closes the UDP flows only";
    EXPECT_TRUE(provider.isInitialized()) << "kept after a stop";
}

} // namespace
} // namespace corvantis::test
