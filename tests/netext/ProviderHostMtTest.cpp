#include "platform/netext/FlowInjector.h"
#include "platform/netext/NEProviderHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace corvantis {
namespace {

// A proxy provider of the test's: starts as told (twice, to show the host counts the completion once) and takes
// what it is offered.
class ScriptedProxy final : public NETransparentProxyProvider {
public:
    std::optional<FlowError> startError;
    std::atomic<int> starts { 0 };
    std::atomic<int> stops { 0 };
    std::atomic<int> tcpFlows { 0 };
    std::atomic<int> udpFlows { 0 };
    std::atomic<int> messages { 0 };

    void startProxy(Completion completion) override
    {
        ++starts;
        completion(startError);
        completion(std::nullopt);
    }
    void stopProxy(int, std::function<void()> completion) override
    {
        ++stops;
        completion();
    }
    void handleAppMessage(const std::vector<uint8_t>& message, MessageCompletion completion) override
    {
        ++messages;
        completion(std::vector<uint8_t>(message.rbegin(), message.rend()));
    }
    bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>&) override
    {
        ++tcpFlows;
        return true;
    }
    bool handleNewUDPFlow(const NEAppProxyUDPFlowPtr&, const NWEndpoint&) override
    {
        ++udpFlows;
        return true;
    }
};

struct ProviderHostTest : ::testing::Test {
    void SetUp() override
    {
        host.setFactories(
            [this](ProviderKind kind) -> std::shared_ptr<NEAppProxyProvider> {
                return kind == ProviderKind::TransparentProxy ? transparent : dns;
            },
            nullptr);
        host.addStatusObserver([this](ProviderKind kind, SessionStatus status) {
            std::lock_guard lock(mutex);
            seen.emplace_back(kind, status);
        });
    }
    std::vector<std::pair<ProviderKind, SessionStatus>> Seen()
    {
        std::lock_guard lock(mutex);
        return seen;
    }

    NEProviderHost host;
    std::shared_ptr<ScriptedProxy> transparent = std::make_shared<ScriptedProxy>();
    std::shared_ptr<ScriptedProxy> dns = std::make_shared<ScriptedProxy>();
    std::mutex mutex;
    std::vector<std::pair<ProviderKind, SessionStatus>> seen;
};

using S = SessionStatus;
using K = ProviderKind;

TEST_F(ProviderHostTest, StartAndStopGoThroughTheSessionStates)
{
    int completions = 0;
    host.start(K::TransparentProxy, [&](std::optional<FlowError> error) {
        ++completions;
        EXPECT_FALSE(error);
    });
    EXPECT_EQ(completions, 1) << "the start's completion counts once";
    EXPECT_EQ(host.status(K::TransparentProxy), S::Connected);
    host.start(K::TransparentProxy, nullptr);
    EXPECT_EQ(transparent->starts.load(), 1) << "a running provider is not started again";
    host.stop(K::TransparentProxy, 0, nullptr);
    EXPECT_EQ(host.status(K::TransparentProxy), S::Disconnected);
    EXPECT_EQ(Seen(),
        (std::vector<std::pair<K, S>> { { K::TransparentProxy, S::Connecting }, { K::TransparentProxy, S::Connected },
            { K::TransparentProxy, S::Disconnecting }, { K::TransparentProxy, S::Disconnected } }));
    host.stop(K::TransparentProxy, 0, nullptr);
    EXPECT_EQ(transparent->stops.load(), 1) << "a stopped provider is not stopped again";
    EXPECT_EQ(host.status(K::DnsProxy), S::Disconnected) << "the other kind is untouched";
}

TEST_F(ProviderHostTest, AFailedStartEndsDisconnectedWithItsError)
{
    dns->startError = FlowError { "", 1, "not yet" };
    std::optional<FlowError> got;
    host.start(K::DnsProxy, [&](std::optional<FlowError> error) { got = error; });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->code, 1);
    EXPECT_EQ(host.status(K::DnsProxy), S::Disconnected);
}

TEST_F(ProviderHostTest, MessagesReachTheTransparentProxyBeforeItsStart)
{
    std::optional<std::vector<uint8_t>> reply;
    host.sendProviderMessage({ 1, 2, 3 }, [&](std::optional<std::vector<uint8_t>> bytes) { reply = bytes; });
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (std::vector<uint8_t> { 3, 2, 1 }));
    EXPECT_EQ(transparent->starts.load(), 0);
    EXPECT_EQ(host.status(K::TransparentProxy), S::Disconnected);
}

TEST_F(ProviderHostTest, FlowsGoToTheRunningProviderOfTheirKind)
{
    FlowInjector source;
    host.attachFlowSource(source);
    EXPECT_FALSE(source.offerTcpOverLoopback(NWEndpoint::Host("192.0.2.1", "80"), std::nullopt, {}).taken)
        << "nothing runs";
    host.start(K::DnsProxy, nullptr);
    EXPECT_TRUE(source.offerUdp(NWEndpoint::Host("192.0.2.1", "53"), std::nullopt, {}, nullptr).taken);
    EXPECT_FALSE(source.offerUdp(NWEndpoint::Host("192.0.2.1", "443"), std::nullopt, {}, nullptr).taken);
    EXPECT_TRUE(source.offerTcpOverLoopback(NWEndpoint::Host("192.0.2.1", "53"), std::nullopt, {}).taken);
    EXPECT_EQ(dns->udpFlows.load(), 1);
    EXPECT_EQ(dns->tcpFlows.load(), 1);
    host.start(K::TransparentProxy, nullptr);
    EXPECT_TRUE(source.offerTcpOverLoopback(NWEndpoint::Host("192.0.2.1", "80"), std::nullopt, {}).taken);
    EXPECT_TRUE(source.offerUdp(NWEndpoint::Host("192.0.2.1", "443"), std::nullopt, {}, nullptr).taken);
    EXPECT_EQ(transparent->tcpFlows.load(), 1);
    EXPECT_EQ(transparent->udpFlows.load(), 1);
    source.stop();
}

TEST_F(ProviderHostTest, ACancellingProviderEndsItsSession)
{
    host.start(K::TransparentProxy, nullptr);
    transparent->cancelProxyWithError(FlowError { "", 5, "gone" });
    EXPECT_EQ(host.status(K::TransparentProxy), S::Disconnected);
}

} // namespace
} // namespace corvantis
