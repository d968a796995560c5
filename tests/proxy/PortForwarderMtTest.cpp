#include "core/proxy/PortForwarder.h"

#include "core/profile/TrafficStatistics.h"
#include "tests/proxy/PortForwarderTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace corvantis {
namespace {

using test::readToEnd;
using test::RelayRig;
using test::TempDir;
using Clock = std::chrono::steady_clock;
using test::waitUntil;

// The user closing the connection from another thread ends the relay at once, whatever it is doing: waiting
// for data, or waiting for an application that has stopped reading. No thread of the relay outlives it.
TEST(PortForwarderMtTest, ClosingTheConnectionFromAnotherThreadEndsTheRelay)
{
    struct Case {
        const char* name;
        bool serverStreams; // the target sends without pause
        bool appReads; // the application drains what arrives
        bool closeBeforeStart; // the close comes before the loop has begun
    };
    const Case cases[] = {
        { "silent connection", false, false, false },
        { "closed before the loop starts", false, false, true },
        { "streaming to a reading application", true, true, false },
        { "streaming to an application that stopped reading", true, false, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir traffic;
        RelayRig rig;
        CTrafficStatistics statistics;
        // An idle time-out far beyond the test: only the close can end these relays.
        CPortForwarder forwarder(*rig.record, traffic.str(), &statistics, std::chrono::hours(1));
        if (c.closeBeforeStart)
            rig.record->Close();
        auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });

        std::atomic<bool> stop { false };
        std::thread server;
        std::thread app;
        if (c.serverStreams) {
            server = std::thread([&] {
                const std::string chunk = test::patternBytes(16384, 3);
                while (!stop.load() && rig.server->SendAll(chunk.data(), chunk.size(), 0)) { }
            });
        }
        if (c.appReads)
            app = std::thread([&] { readToEnd(*rig.app); });
        if (c.serverStreams) {
            EXPECT_TRUE(waitUntil([&] { return rig.record->GetBytesReceived() > 0; }));
        }

        std::thread closer([&] { rig.record->Close(); });
        closer.join();
        EXPECT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_TRUE(relay.get());
        EXPECT_TRUE(rig.record->IsCanceled());
        EXPECT_EQ(statistics.GetTotalReceived(), rig.record->GetBytesReceived());

        // The peers' own threads end too: the relay shut their connections down.
        stop.store(true);
        rig.server->Close();
        rig.app->Close();
        if (server.joinable())
            server.join();
        if (app.joinable())
            app.join();
        rig.record->MarkClosed();
    }
}

// Both peers ending at the same moment, from two threads, end the relay once and lose no byte of either
// direction.
TEST(PortForwarderMtTest, BothSidesEndingAtOnce)
{
    const std::string request = test::patternBytes(70000, 4);
    const std::string reply = test::patternBytes(90000, 5);
    RelayRig rig;
    CPortForwarder forwarder(*rig.record, std::nullopt);
    auto relay = std::async(std::launch::async, [&] { return forwarder.RelayLoop(); });
    std::string atServer;
    std::string atApp;
    std::thread server([&] {
        EXPECT_TRUE(rig.server->SendAll(reply.data(), reply.size(), 0));
        rig.server->ShutdownSend();
        atServer = readToEnd(*rig.server);
    });
    std::thread app([&] {
        EXPECT_TRUE(rig.app->SendAll(request.data(), request.size(), 0));
        rig.app->ShutdownSend();
        atApp = readToEnd(*rig.app);
    });
    server.join();
    app.join();
    ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(relay.get());
    EXPECT_EQ(atServer, request);
    EXPECT_EQ(atApp, reply);
    EXPECT_EQ(rig.record->GetBytesSent(), request.size());
    EXPECT_EQ(rig.record->GetBytesReceived(), reply.size());
}

} // namespace
} // namespace corvantis
