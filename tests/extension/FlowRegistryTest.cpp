#include "extension/flows/FlowProcessor.h"
#include "extension/flows/UdpFlowsManager.h"
#include "tests/extension/FlowTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitingChild.h"

#include "platform/netext/AuditToken.h"

#include <filesystem>

namespace corvantis::test {
namespace {

// A processor that records what it is asked and closes nothing.
struct CountingProcessor {
    int closes = 0;
    void close(std::optional<FlowError>) { ++closes; }
};

TEST(FlowsManagerTest, IdsAreHandedOutOnceAndRemovedOnce)
{
    FlowsManager<CountingProcessor> registry("CountingProcessor");
    auto first = std::make_shared<CountingProcessor>();
    EXPECT_EQ(registry.addFlow(first), 1u);
    EXPECT_EQ(registry.addFlow(std::make_shared<CountingProcessor>()), 2u);
    EXPECT_TRUE(registry.removeFlow(1));
    EXPECT_FALSE(registry.removeFlow(1)) << "the second removal finds nothing";
    EXPECT_FALSE(registry.removeFlow(7));
    EXPECT_EQ(registry.addFlow(first), 3u) << "ids are not reused";
    registry.closeAllFlows();
    EXPECT_EQ(first->closes, 1);
    EXPECT_EQ(registry.flowCount(), 2u) << "closing only asks; removal is the processors' own";
    registry.setDnsFakeIp("10.0.0.1");
    EXPECT_EQ(registry.dnsFakeIp(), "10.0.0.1");
}

// A UDP processor of the test's: agrees as told and records how it was driven.
class RecordingUdpProcessor final : public UdpFlowHandler {
public:
    explicit RecordingUdpProcessor(bool agree)
        : m_agree(agree)
    {
    }
    bool prepare(bool fromDnsProxy, const NWEndpoint& endpoint, const std::optional<std::string>& hostname) override
    {
        preparedFromDnsProxy = fromDnsProxy;
        preparedEndpoint = endpoint;
        preparedHostname = hostname;
        return m_agree;
    }
    void start() override { ++starts; }
    void close(std::optional<FlowError>) override { ++closes; }
    void setFlowId(uint64_t id) override { flowId = id; }

    std::optional<bool> preparedFromDnsProxy;
    NWEndpoint preparedEndpoint;
    std::optional<std::string> preparedHostname;
    int starts = 0;
    int closes = 0;
    uint64_t flowId = 0;

private:
    const bool m_agree;
};

TEST(UdpFlowsManagerTest, EndpointCheckPortFilterAndHandOff)
{
    SystemLogLines logs;
    std::vector<std::shared_ptr<RecordingUdpProcessor>> made;
    bool agree = true;
    std::string fakeIpSeen;
    auto registry = std::make_shared<UdpFlowsManager>(
        [&](const NEAppProxyUDPFlowPtr&, const NWEndpoint&, const std::shared_ptr<UdpFlowsManager>&,
            const UdpFlowQueues&, const std::string& dnsFakeIp) {
            fakeIpSeen = dnsFakeIp;
            made.push_back(std::make_shared<RecordingUdpProcessor>(agree));
            return made.back();
        });
    registry->setDnsFakeIp("10.0.0.1");
    const UdpFlowQueues queues;
    auto flow = [] { return NEAppProxyUDPFlow::create(std::string("dns.example"), { "dig", std::nullopt }, nullptr); };

    EXPECT_FALSE(registry->handleNewFlow(flow(), NWEndpoint::Other(), queues, false));
    EXPECT_EQ(logs.startingWith("Corvantis flow - UDP dig nil host endpoint").size(), 1u);

    struct Case {
        const char* port;
        bool fromDnsProxy;
        bool processorMade;
    };
    const Case cases[] = {
        { "5353", false, false },
        { "5353", true, true },
        { "53", false, true },
        { "443", false, true },
        { "4433", false, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port) + (c.fromDnsProxy ? " from the DNS proxy" : " from the transparent proxy"));
        made.clear();
        const bool taken
            = registry->handleNewFlow(flow(), NWEndpoint::Host("192.0.2.1", c.port), queues, c.fromDnsProxy);
        EXPECT_EQ(taken, c.processorMade);
        ASSERT_EQ(made.size(), c.processorMade ? 1u : 0u);
        if (c.processorMade) {
            EXPECT_EQ(made[0]->preparedFromDnsProxy, c.fromDnsProxy);
            EXPECT_EQ(made[0]->preparedEndpoint.port, c.port);
            EXPECT_EQ(made[0]->preparedHostname, "dns.example");
            EXPECT_EQ(made[0]->starts, 1);
            EXPECT_NE(made[0]->flowId, 0u);
            EXPECT_EQ(fakeIpSeen, "10.0.0.1");
        }
    }
    EXPECT_EQ(logs.startingWith("Corvantis flow - UDP dig 192.0.2.1:5353").size(), 2u);

    const size_t registered = registry->flowCount();
    agree = false;
    made.clear();
    EXPECT_FALSE(registry->handleNewFlow(flow(), NWEndpoint::Host("192.0.2.1", "53"), queues, false));
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0]->starts, 0);
    EXPECT_EQ(registry->flowCount(), registered) << "a declined flow is not registered";
}

TEST_F(FlowTest, AFlowWithoutAHostEndpointIsStillAskedAbout)
{
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    // Nothing to connect to: the engine leaves it to the system, and nothing is registered.
    auto offered = injector.offerTcpOverLoopback(NWEndpoint::Other(), std::nullopt, { "curl", std::nullopt });
    EXPECT_FALSE(offered.taken);
    EXPECT_EQ(manager->flowCount(), 0u);
}

// A processor of the test's, to read the identity the base class finds.
class IdentityProbe final : public FlowProcessor {
public:
    explicit IdentityProbe(const FlowMetaData& metaData)
        : FlowProcessor(metaData)
    {
    }
};

TEST(FlowProcessorTest, IdentityWithoutAUsableToken)
{
    for (std::optional<std::vector<uint8_t>> token : { std::optional<std::vector<uint8_t>>(),
             std::optional(std::vector<uint8_t>(31, 1)), std::optional(std::vector<uint8_t>(33, 1)) }) {
        SCOPED_TRACE(token ? std::to_string(token->size()) + " bytes" : "no token");
        const IdentityProbe probe({ "curl", token });
        EXPECT_EQ(probe.appIdentifier(), "curl");
        EXPECT_EQ(probe.pid(), -1);
        EXPECT_EQ(probe.uid(), 4294967295u);
        EXPECT_EQ(probe.bsdName(), "");
        EXPECT_EQ(probe.codePath(), "");
        ASSERT_TRUE(probe.appNameWrapper());
        EXPECT_EQ(probe.appNameWrapper()->revDns(), "curl");
        EXPECT_EQ(probe.appNameWrapper()->pid(), -1);
        EXPECT_EQ(probe.appNameWrapper()->fullPath(), "");
    }
    EXPECT_EQ(IdentityProbe({ "", std::nullopt }).appIdentifier(), "");
}

TEST(FlowProcessorTest, IdentityOfALiveAndAnExitedProcess)
{
    TempDir dir;
    const std::filesystem::path program = dir / "Viewer.app";
    std::filesystem::copy_file("/bin/sleep", program);
    std::optional<std::vector<uint8_t>> token;
    {
        WaitingChild child(program.string(), { "Viewer.app", "30" });
        ASSERT_GT(child.pid(), 0);
        const auto made = AuditToken::ForProcess(child.pid(), 0);
        ASSERT_TRUE(made);
        token = made->Bytes();
        const IdentityProbe probe({ "Viewer.app", token });
        EXPECT_EQ(probe.pid(), child.pid());
        EXPECT_EQ(probe.bsdName(), "Viewer.app");
        EXPECT_EQ(probe.codePath(), std::filesystem::canonical(program).string());
        EXPECT_EQ(probe.bundleName(), "Viewer.app");
        EXPECT_EQ(probe.bundleShortName(), "Viewer");
        EXPECT_EQ(probe.appNameWrapper()->packetShortName(), "Viewer");
        EXPECT_EQ(probe.appNameWrapper()->pid(), child.pid());
    }
    // The process has exited: its pid and user stay, its code is not looked for.
    const IdentityProbe gone({ "Viewer.app", token });
    EXPECT_NE(gone.pid(), -1);
    EXPECT_EQ(gone.codePath(), "");
    EXPECT_EQ(gone.bundleName(), "");
    EXPECT_EQ(gone.bundleShortName(), "");
    // A path the source read while the process ran is still its code's.
    const IdentityProbe identified({ "Viewer.app", token, "/opt/tools/Viewer.app" });
    EXPECT_EQ(identified.codePath(), "/opt/tools/Viewer.app");
    EXPECT_EQ(identified.bundleName(), "Viewer.app");
    EXPECT_EQ(identified.bundleShortName(), "Viewer");
    EXPECT_EQ(identified.appNameWrapper()->fullPath(), "/opt/tools/Viewer.app");
}

} // namespace
} // namespace corvantis::test
