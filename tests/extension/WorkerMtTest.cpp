#include "tests/extension/WorkerTestSupport.h"

#include "tests/peers/EchoServer.h"

namespace corvantis::test {
namespace {

// Each stop closes the flows of its own kind and leaves the other kind open.
TEST_F(WorkerTest, EachStopLeavesTheOtherKindOpen)
{
    EchoServer echo;
    CorvantisWorker worker;
    bool up = false;
    worker.mainQueue()->sync([&] { up = worker.initializeEngine(); });
    ASSERT_TRUE(up);
    // After the bring-up, which loads the stored profile.
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    FlowInjector injector;
    injector.start({ [&](const NEAppProxyTCPFlowPtr& flow) {
                        bool taken = false;
                        worker.mainQueue()->sync([&] { taken = worker.handleNewTcpFlow(flow); });
                        return taken;
                    },
        [&](const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& endpoint) {
            bool taken = false;
            worker.mainQueue()->sync([&] { taken = worker.handleNewUdpFlow(flow, endpoint, true); });
            return taken;
        } });
    auto tcp = injector.offerTcpOverLoopback(
        NWEndpoint::Host("127.0.0.1", std::to_string(echo.port())), std::nullopt, { "curl", std::nullopt });
    ASSERT_TRUE(tcp.taken);
    auto udp = injector.offerUdp(NWEndpoint::Host("127.0.0.1", "53"), std::nullopt, { "dig", std::nullopt }, nullptr);
    ASSERT_TRUE(udp.taken);
    // A round trip that leaves the application's side open.
    ASSERT_TRUE(sendAll(tcp.application.get(), "hi"));
    ASSERT_EQ(ReadAll(tcp.application.get(), 2).first.size(), 2u) << "the TCP flow carries";

    worker.stopDnsProxy();
    EXPECT_TRUE(waitUntil([&] { return worker.udpFlowsManager()->flowCount() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return udp.flow->closeState().writeClosed; }));
    EXPECT_EQ(worker.tcpFlowsManager()->flowCount(), 1u);

    worker.stopAppProxy();
    EXPECT_TRUE(waitUntil([&] { return worker.tcpFlowsManager()->flowCount() == 0; }));
    auto [rest, err] = ReadAll(tcp.application.get());
    EXPECT_EQ(err, 0) << "closed without an error";
    injector.stop();
}

} // namespace
} // namespace corvantis::test
