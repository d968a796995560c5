#include "extension/engine/SimpleSocket.h"
#include "tests/engine/EventLoopHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// Resolutions complete on other threads and enter their names while the owner's thread sends, reads and
// compares names on the same socket.
TEST(SimpleSocketMtTest, ResolutionsCompletingElsewhereRaceNoOwnerCall)
{
    constexpr int kNames = 200;
    std::vector<std::thread> resolverThreads;
    std::mutex threadsMutex;
    std::atomic<int> reported { 0 };
    test::RunningEventLoop loop;
    ASSERT_TRUE(loop.ready());
    HostResolver resolver = [&](const CHost& host, HostResultProcessor done) {
        std::lock_guard lock(threadsMutex);
        resolverThreads.emplace_back(
            [host, done] { done(true, CHost(host.GetHostName(), "127.0.0.1", host.m_Port, host.m_isUdp)); });
    };
    const SimpleSocketPtr socket = SimpleSocket::createAndSetDefaultHostname(
        SimpleSocketEndpoint { "default.test", "9" }, loop.shared(), nullptr, true, resolver);
    const SimpleSocketPtr other = SimpleSocket::createAndSetDefaultHostname(
        SimpleSocketEndpoint { "name199.test", "9" }, loop.shared(), nullptr, true, resolver);

    for (int i = 0; i < kNames; ++i) {
        socket->writeDatagram(
            { 1 }, SimpleSocketEndpoint { "name" + std::to_string(i) + ".test", "9" },
            [&](const std::optional<std::string>&) { ++reported; }, nullptr);
        (void)socket->isSameHostContained(*other);
        (void)socket->readDatagram();
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (reported.load() < kNames && std::chrono::steady_clock::now() < deadline) {
        (void)socket->isSameHostContained(*other);
    }
    EXPECT_EQ(reported.load(), kNames);
    EXPECT_TRUE(socket->isSameHostContained(*other));
    std::lock_guard lock(threadsMutex);
    for (auto& thread : resolverThreads) {
        thread.join();
    }
    socket->close();
}

} // namespace
} // namespace corvantis
