#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/foundation/CoreHooks.h"
#include "tests/peers/EchoServer.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace corvantis::test {
namespace {

// Handshakes on different sockets share only the read-only proxy and target records (and the timing switch,
// flipped meanwhile): several threads through one real server, each tunnel carrying its own data.
TEST(ProxyConnectionMt, ParallelHandshakesThroughOneServer)
{
    EchoServer echo;
    auto peer = startMicrosocks("alice", "secret");
    const CProxy proxy = MakeProxy(kSocks5, peer->port(), "alice", "secret");
    const CHost target = AddressTarget("127.0.0.1", echo.port());

    constexpr int kThreads = 8;
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            auto sock = ConnectTo(peer->port());
            const auto result = RunHandshake(proxy, target, *sock);
            errors[i] = result.ok ? "" : result.error + " ";
            if (result.ok)
                ExpectEchoedUnchanged(*sock, 256 * 1024);
        });
    }
    std::thread toggler([] {
        for (int i = 0; i < 100; ++i)
            SetTimingOn(TimingItem::Connect, i % 2 == 0);
        SetTimingOn(TimingItem::Connect, false);
    });
    for (auto& thread : threads)
        thread.join();
    toggler.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(errors[i], "") << "thread " << i;
}

} // namespace
} // namespace corvantis::test
