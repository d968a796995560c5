#include "core/profile/CorvantisApp.h"

#include "tests/profile/ProfileTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

// The network watcher replaces the lists while connection threads test names and addresses. The lists are
// replaced as a whole, so a name and an address present in every generation are never missed, however the
// tests interleave with the replacements.
TEST(CorvantisAppMt, IdentityTestsNeverSeeAHalfReplacedList)
{
    test::TestApp app;
    const uint32_t stable = test::IPv4("192.0.2.1");
    const IPv6Addr stable6 = test::IPv6("2001:db8::1");
    const uint32_t changing = test::IPv4("198.51.100.1");
    app.SetOwnIdentity({ "stable" }, { stable }, { stable6 });

    std::atomic<bool> stop { false };
    std::atomic<int> missed { 0 };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                if (!app.IsOwnHostName("Stable.") || !app.IsOwnIPv4(stable) || !app.IsOwnIPv6(stable6)
                    || !app.IsOwnIPv6(test::IPv6("::ffff:192.0.2.1")))
                    ++missed;
            }
        });
    }
    for (int round = 0; round < 5000; ++round) {
        if (round % 2 == 0)
            app.SetOwnIdentity({ "changing", "stable" }, { changing, stable }, { stable6 });
        else
            app.SetOwnIdentity({ "stable" }, { stable }, { stable6 });
    }
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(missed.load(), 0);
    EXPECT_FALSE(app.IsOwnIPv4(changing));
}

} // namespace
} // namespace corvantis
