#include "core/foundation/FakeAddressRange.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

// Readers must see the subnet and the IPv6 prefix change together while another thread keeps switching ranges.
TEST(FakeAddressRangeMtTest, ReadersNeverSeeAMixOfTwoRanges)
{
    SetAddressRange("10.0.0.0", 8, 0x11111111u);
    const FakeAddressRange a = GetFakeAddressRange();
    SetAddressRange("172.16.0.0", 12, 0x22222222u);
    const FakeAddressRange b = GetFakeAddressRange();

    std::atomic<bool> stop { false };
    std::atomic<int> mixed { 0 };
    std::atomic<long> reads { 0 };
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const FakeAddressRange r = GetFakeAddressRange();
                if (!(r == a) && !(r == b)) {
                    mixed.fetch_add(1);
                }
                // Exercise the tests' own single read too.
                (void)IsIPv4InFakeRange(htonl(0x0A010203u));
                reads.fetch_add(1);
            }
        });
    }
    // Keep switching until the readers have read many times while ranges changed under them.
    for (int i = 0; i < 20000 || reads.load() < 20000; ++i) {
        if (i % 2 == 0) {
            SetAddressRange("10.0.0.0", 8, 0x11111111u);
        } else {
            SetAddressRange("172.16.0.0", 12, 0x22222222u);
        }
    }
    stop.store(true);
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(mixed.load(), 0);
}

} // namespace
} // namespace corvantis
