#include "tests/extension/FlowTestSupport.h"

#include "tests/peers/EchoServer.h"

namespace corvantis::test {
namespace {

using ManyFlowsTest = TcpFlowTest;

INSTANTIATE_TEST_SUITE_P(Pumps, ManyFlowsTest, ::testing::Values(false, true), PumpName);

// Many short flows beside long ones: every flow's bytes come back whole, whatever the others do meanwhile.
TEST_P(ManyFlowsTest, ShortFlowsBesideLongOnesKeepEveryChecksum)
{
    EchoServer echo;
    UseProfile({}, { RuleWith("Direct", kActionDirect) });
    constexpr int kLong = 20;
    constexpr int kShort = 200;
    std::atomic<int> longOk { 0 };
    std::atomic<int> shortOk { 0 };
    std::mutex offerMutex; // the injector offers one flow at a time, as the worker's main queue does
    auto run = [&](size_t size, uint32_t seed, std::atomic<int>& ok) {
        FlowInjector::OfferedTcp offered;
        {
            std::lock_guard lock(offerMutex);
            offered = Offer(echo.port());
        }
        if (!offered.taken)
            return;
        const auto data = Pattern(size, seed);
        const auto back = Exchange(offered.application.get(), data, data.size());
        if (back.size() == data.size() && Checksum(back) == Checksum(data))
            ++ok;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kLong; ++i)
        threads.emplace_back([&, i] { run(kOneMiB, 1000 + i, longOk); });
    for (int i = 0; i < kShort; i += 20) {
        threads.emplace_back([&, i] {
            for (int j = 0; j < 20; ++j)
                run(512, 5000 + i + j, shortOk);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(longOk.load(), kLong);
    EXPECT_EQ(shortOk.load(), kShort);
    EXPECT_TRUE(waitUntil([&] { return manager->flowCount() == 0; }));
}

} // namespace
} // namespace corvantis::test
