#include "extension/engine/DnsStorage.h"

#include "core/foundation/FakeAddressRange.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

// DNS answers, lookups by address and reverse lookups arrive from many threads at once; every name must still get
// its own placeholder, and every placeholder must lead back to its name.
TEST(DnsStorageMt, ConcurrentNamesKeepDistinctPlaceholders)
{
    SetAddressRange("10.64.0.0", 16, 0);
    std::atomic<uint64_t> now { 1000 };
    CDnsStorage table([&now] { return now.load(); });

    constexpr int kThreads = 6;
    constexpr int kNames = 300;
    std::vector<std::map<std::string, uint32_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kNames; ++i) {
                // Every thread asks for the same names, in different orders, and feeds real addresses.
                const int n = (i * (t + 1) * 7) % kNames;
                const std::string name = "host" + std::to_string(n) + ".test";
                uint64_t ttl = 0;
                const uint32_t fake = table.AddressForNameIPv4(name, true, nullptr, 0, nullptr, ttl);
                seen[t][name] = fake;
                EXPECT_EQ(table.NameForIPv4(fake), name);
                table.AddRealIPv6(MapIPv4ToIPv6(htonl(0xC0000200u + n), false), name, 60, true);
                if (i % 50 == 0) {
                    now.fetch_add(1); // sweeps run while others work
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::map<uint32_t, std::string> owners;
    for (const auto& perThread : seen) {
        for (const auto& [name, fake] : perThread) {
            EXPECT_NE(fake, 0u);
            auto [it, inserted] = owners.emplace(fake, name);
            EXPECT_EQ(it->second, name) << "two names share a placeholder";
        }
    }
    EXPECT_EQ(owners.size(), static_cast<size_t>(kNames));
    SetAddressRange(nullptr, 8, 0);
}

} // namespace
} // namespace corvantis
