#include "core/profile/NetworkWatcher.h"

#include "tests/profile/CoreAppTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TempDir.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace corvantis {
namespace {

using test::CoreTestApp;
using test::waitUntil;

size_t threadCount()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// While the network churns, readers test the own-identity lists and the base interface on other threads; the
// watcher is started and stopped repeatedly and leaves no thread behind.
TEST(NetworkWatcherMt, ChurnWithReadersAndRestarts)
{
    test::NetNamespace ns("netwmt");
    if (!ns.valid() || !ns.run("ip link add name mwa type veth peer name mwb") || !ns.run("ip link set mwa up")
        || !ns.run("ip link set mwb up"))
        GTEST_SKIP() << "needs root and iproute2 network namespaces";
    test::TempDir dir;
    const auto resolv = dir / "resolv.conf";
    std::ofstream(resolv) << "nameserver 10.61.0.53\n";

    ASSERT_TRUE(ns.runInside([&] {
        CoreTestApp app;
        uint32_t probe = 0;
        ASSERT_EQ(inet_pton(AF_INET, "10.61.0.1", &probe), 1);
        const size_t threadsBefore = threadCount();

        std::atomic<bool> done { false };
        std::vector<std::thread> readers;
        for (int i = 0; i < 3; ++i) {
            readers.emplace_back([&] {
                while (!done.load()) {
                    (void)app.IsOwnIPv4(probe);
                    (void)app.IsOwnHostName("localhost");
                    (void)GetBaseInterfaceIndex();
                }
            });
        }

        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            CNetworkWatcher watcher(app, NetlinkWatcher::Config { { resolv.string() } }, "/nonexistent");
            ASSERT_EQ(watcher.WatchForNetworkChanges(), CNetworkWatcher::kWatching);
            ASSERT_TRUE(ns.run("ip addr add 10.61.0.1/24 dev mwa"));
            EXPECT_TRUE(waitUntil([&] { return app.IsOwnIPv4(probe); }));
            ASSERT_TRUE(ns.run("ip route replace default dev mwb"));
            std::ofstream(resolv) << "nameserver 10.61.0." << round << "\n";
            ASSERT_TRUE(ns.run("ip addr del 10.61.0.1/24 dev mwa"));
            EXPECT_TRUE(waitUntil([&] { return !app.IsOwnIPv4(probe); }));
            if (round == 1)
                watcher.Stop(); // an explicit stop before the destructor's
        }

        done = true;
        for (std::thread& reader : readers)
            reader.join();
        EXPECT_EQ(threadCount(), threadsBefore);
    }));
}

} // namespace
} // namespace corvantis
