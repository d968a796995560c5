#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "extension/engine/ClientProcessor.h"
#include "tests/engine/ClientProcessorTestSupport.h"
#include "tests/peers/EchoServer.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace corvantis::test {
namespace {

constexpr int kThreads = 8;

CProfileData ProfileWith(int action, bool handleDirect)
{
    CProfileData profile;
    profile.m_Proxies = { CProxy("127.0.0.1", 1080, kProxySocks5, 1) };
    CRule rule("Everything");
    rule.m_Action = action;
    rule.m_ProxyId = action == kActionProxy ? 1 : -1;
    profile.m_Rules = { rule };
    profile.m_HandleDirectConnections = handleDirect;
    return profile;
}

// Connections taken on many threads at once all join the list once and are counted once.
TEST(ClientProcessorMt, ConcurrentRequestsRegisterEachRecordOnce)
{
    EngineTestApp app;
    app.SetProfile(ProfileWith(kActionProxy, false), false);
    constexpr int kPerThread = 50;
    std::atomic<int> taken { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                CClientProcessor processor(app);
                // Each connection has its own target, so no loop is found.
                const std::string endpoint = "10.1." + std::to_string(t) + "." + std::to_string(i + 1);
                if (processor.ProcessConnectionRequest({}, nullptr, endpoint.c_str(), "443", false)
                    == CClientProcessor::kTaken)
                    ++taken;
                processor.CloseConnection();
                EXPECT_TRUE(processor.GetConnection()->IsClosed());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(taken.load(), kThreads * kPerThread);
    EXPECT_EQ(app.ListSize(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(app.GetOpenConnectionCount(), static_cast<uint64_t>(kThreads * kPerThread));
    EXPECT_EQ(app.GetStatistics().GetTotalConnections(), static_cast<uint64_t>(kThreads * kPerThread));
}

// Tunnels of different connections connect and carry data at the same time.
TEST(ClientProcessorMt, ConcurrentDirectConnectionsCarryTheirOwnData)
{
    EchoServer echo;
    EngineTestApp app;
    app.SetProfile(ProfileWith(kActionDirect, true), false);
    const std::string port = std::to_string(echo.port());
    std::atomic<int> connected { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i) {
                CClientProcessor processor(app);
                ASSERT_EQ(processor.ProcessConnectionRequest({}, nullptr, "127.0.0.1", port.c_str(), false),
                    CClientProcessor::kTaken);
                ASSERT_EQ(processor.ConnectionTargetHostPrepare().kind, CTunnel::kConnectNow);
                if (processor.ConnectTargetHost()) {
                    ++connected;
                    ExpectEchoedUnchanged(*processor.GetConnection()->GetRemoteSocket(), 64 * 1024);
                }
                processor.CloseConnection();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(connected.load(), kThreads * 4);
    EXPECT_EQ(app.GetStatistics().GetFailedConnections(), 0u);
}

} // namespace
} // namespace corvantis::test
