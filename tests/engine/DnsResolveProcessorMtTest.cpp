#include "extension/engine/DnsResolveProcessor.h"
#include "tests/engine/DnsPeers.h"
#include "tests/engine/DnsWire.h"
#include "tests/engine/EventLoopHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

struct ConcurrentCase {
    const char* name;
    std::vector<std::string> dnsmasqOptions;
    // The application's own A and AAAA requests are stored for each name, so they are sent again to dnsmasq;
    // otherwise the system resolver (c-ares on the loop thread, pointed at dnsmasq) is asked.
    bool storedRequests;
    int threads;
    int perThread;
    // Resolution `index`'s name is label.domain.test; it must succeed when it exists.
    std::string (*label)(int index);
    const char* (*domain)(int index);
    bool (*exists)(int index);
};

class DnsResolveProcessorMtTest : public ::testing::TestWithParam<ConcurrentCase> { };

// Resolutions start on several threads at once while the loop thread already handles their first answers; each
// reports exactly one result, the right one. The resend schedule leaves room for a loaded machine: every answer
// dnsmasq gives is in time.
TEST_P(DnsResolveProcessorMtTest, ConcurrentResolutionsEachReportOnce)
{
    const ConcurrentCase& c = GetParam();
    test::Dnsmasq dnsmasq(c.dnsmasqOptions);
    ASSERT_TRUE(dnsmasq.ready());
    const int count = c.threads * c.perThread;
    std::vector<std::atomic<int>> results(static_cast<size_t>(count));
    std::atomic<int> successes { 0 };
    int expected = 0;
    for (int index = 0; index < count; ++index)
        expected += c.exists(index) ? 1 : 0;
    {
        CDnsStorage storage;
        DnsResolverSettings settings;
        settings.storage = &storage;
        settings.resendInterval = 500ms;
        if (!c.storedRequests)
            settings.systemServers = "127.0.0.1:" + std::to_string(dnsmasq.port());
        test::RunningEventLoop loop;
        ASSERT_TRUE(loop.ready());
        sockaddr_in server {};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(dnsmasq.port());
        std::vector<std::thread> threads;
        for (int t = 0; t < c.threads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < c.perThread; ++i) {
                    const int index = t * c.perThread + i;
                    const std::string label = c.label(index);
                    const std::string domain = c.domain(index);
                    const std::string name = label + "." + domain + ".test";
                    for (const auto& [family, type] :
                        { std::pair { AF_INET, kDnsTypeA }, { AF_INET6, kDnsTypeAAAA } }) {
                        if (!c.storedRequests)
                            break;
                        const auto request = test::DnsWire()
                                                 .header(static_cast<uint16_t>(index), 0x0100, 1, 0, 0, 0)
                                                 .name({ label, domain, "test" })
                                                 .u16(type)
                                                 .u16(kDnsClassIN)
                                                 .bytes;
                        uint64_t ttl = 0;
                        const auto* to = reinterpret_cast<const sockaddr*>(&server);
                        if (family == AF_INET)
                            storage.AddressForNameIPv4(name, true, request.data(), request.size(), to, ttl);
                        else
                            storage.AddressForNameIPv6(name, true, request.data(), request.size(), to, ttl);
                    }
                    DnsResolveProcessor::resolveHost(
                        CHost(name, 80, false), loop.shared(), nullptr,
                        [&, index](bool success, const CHost&) {
                            results[static_cast<size_t>(index)].fetch_add(1);
                            if (success)
                                successes.fetch_add(1);
                        },
                        settings);
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        auto allReported
            = [&] { return std::all_of(results.begin(), results.end(), [](const auto& r) { return r.load() != 0; }); };
        while (!allReported() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        loop.stop();
    }
    for (int index = 0; index < count; ++index)
        EXPECT_EQ(results[static_cast<size_t>(index)].load(), 1) << "resolution " << index;
    EXPECT_EQ(successes.load(), expected);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, DnsResolveProcessorMtTest,
    ::testing::Values(
        ConcurrentCase { "StoredRequests", { "--address=/many.test/192.0.2.10", "--address=/many.test/2001:db8::10" },
            true, 4, 25, [](int index) { return "n" + std::to_string(index); }, [](int) { return "many"; },
            [](int) { return true; } },
        // Some names exist, some do not.
        ConcurrentCase { "SystemResolver", { "--address=/yes.test/192.0.2.20" }, false, 4, 10,
            [](int index) { return "h" + std::to_string(index); },
            [](int index) { return index % 2 == 0 ? "yes" : "no"; }, [](int index) { return index % 2 == 0; } }),
    [](const ::testing::TestParamInfo<ConcurrentCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace corvantis
