#include "platform/DefaultsStore.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

// Writers in separate stores (as separate processes would be) and writers sharing one store, all at once:
// every value written survives, and readers never see a broken file.
TEST(DefaultsStoreMtTest, ConcurrentWritersLoseNothing)
{
    test::TempDir home;
    auto file = DefaultsStore::fileFor(home.path(), "Corvantis");
    DefaultsStore shared(file);
    constexpr int kThreads = 6;
    constexpr int kKeys = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            DefaultsStore own(file);
            DefaultsStore& store = (t % 2 == 0) ? own : shared;
            for (int k = 0; k < kKeys; ++k) {
                std::string key = "T" + std::to_string(t) + "K" + std::to_string(k);
                EXPECT_TRUE(store.setObject(key, PlistValue(k)));
                EXPECT_TRUE(store.lastWriteStatus().ok()) << store.lastWriteStatus().message();
                EXPECT_EQ(store.object(key), PlistValue(k));
            }
        });
    }
    for (auto& t : threads)
        t.join();
    PlistDict all = DefaultsStore(file).persistentDomain();
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kKeys));
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(all["T" + std::to_string(t) + "K" + std::to_string(k)], PlistValue(k));
}

} // namespace
} // namespace corvantis
