#include "extension/engine/DnsResolveProcessor.h"
#include "tests/engine/DnsPeers.h"
#include "tests/engine/DnsWire.h"
#include "tests/engine/EventLoopHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// Resolutions start on several threads at once while the loop thread already handles their first answers; each
// reports exactly one result.
TEST(DnsResolveProcessorMtTest, ConcurrentResolutionsEachReportOnce)
{
    test::Dnsmasq dnsmasq({ "--address=/many.test/192.0.2.10", "--address=/many.test/2001:db8::10" });
    ASSERT_TRUE(dnsmasq.ready());
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    std::atomic<int> results[kThreads * kPerThread] = {};
    std::atomic<int> successes { 0 };
    {
        CDnsStorage storage;
        DnsResolverSettings settings;
        settings.storage = &storage;
        settings.resendInterval = 50ms;
        test::RunningEventLoop loop;
        ASSERT_TRUE(loop.ready());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    const int index = t * kPerThread + i;
                    const std::string label = "n" + std::to_string(index);
                    const std::string name = label + ".many.test";
                    sockaddr_in server {};
                    server.sin_family = AF_INET;
                    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                    server.sin_port = htons(dnsmasq.port());
                    for (const auto& [family, type] :
                        { std::pair { AF_INET, kDnsTypeA }, { AF_INET6, kDnsTypeAAAA } }) {
                        const auto request = test::DnsWire()
                                                 .header(static_cast<uint16_t>(index), 0x0100, 1, 0, 0, 0)
                                                 .name({ label, "many", "test" })
                                                 .u16(type)
                                                 .u16(kDnsClassIN)
                                                 .bytes;
                        uint64_t ttl = 0;
                        if (family == AF_INET) {
                            storage.AddressForNameIPv4(name, true, request.data(), request.size(),
                                reinterpret_cast<const sockaddr*>(&server), ttl);
                        } else {
                            storage.AddressForNameIPv6(name, true, request.data(), request.size(),
                                reinterpret_cast<const sockaddr*>(&server), ttl);
                        }
                    }
                    DnsResolveProcessor::resolveHost(
                        CHost(name, 80, false), loop.shared(), nullptr,
                        [&, index](bool success, const CHost&) {
                            results[index].fetch_add(1);
                            if (success) {
                                successes.fetch_add(1);
                            }
                        },
                        settings);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        auto allReported = [&] {
            for (const auto& r : results) {
                if (r.load() == 0) {
                    return false;
                }
            }
            return true;
        };
        while (!allReported() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        loop.stop();
    }
    for (const auto& r : results) {
        EXPECT_EQ(r.load(), 1);
    }
    EXPECT_EQ(successes.load(), kThreads * kPerThread);
}

} // namespace
} // namespace corvantis

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// System resolutions (c-ares on the loop thread) started from several threads at once; some names exist, some
// do not, and each resolution reports exactly once.
TEST(DnsResolveProcessorMtTest, ConcurrentSystemResolutionsEachReportOnce)
{
    test::Dnsmasq dnsmasq({ "--address=/yes.test/192.0.2.20" });
    ASSERT_TRUE(dnsmasq.ready());
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10;
    std::atomic<int> results[kThreads * kPerThread] = {};
    std::atomic<int> successes { 0 };
    {
        CDnsStorage storage;
        DnsResolverSettings settings;
        settings.storage = &storage;
        settings.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
        test::RunningEventLoop loop;
        ASSERT_TRUE(loop.ready());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    const int index = t * kPerThread + i;
                    const std::string name = "h" + std::to_string(index) + (index % 2 == 0 ? ".yes.test" : ".no.test");
                    DnsResolveProcessor::resolveHost(
                        CHost(name, 80, false), loop.shared(), nullptr,
                        [&, index](bool success, const CHost&) {
                            results[index].fetch_add(1);
                            if (success) {
                                successes.fetch_add(1);
                            }
                        },
                        settings);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        auto allReported = [&] {
            return std::all_of(std::begin(results), std::end(results), [](const auto& r) { return r.load() != 0; });
        };
        while (!allReported() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        loop.stop();
    }
    for (const auto& r : results) {
        EXPECT_EQ(r.load(), 1);
    }
    EXPECT_EQ(successes.load(), kThreads * kPerThread / 2);
}

} // namespace
} // namespace corvantis
