#include "core/foundation/AppSettings.h"

#include "platform/DefaultsStore.h"
#include "tests/foundation/StandardDefaultsFixture.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace corvantis {
namespace {

using AppSettingsMtTest = test::StandardDefaultsFixture;

// Several threads save the settings while another writer (a store of its own, as another process would have)
// adds its keys: the file always parses, and nothing either side wrote is lost.
TEST_F(AppSettingsMtTest, ConcurrentSavesKeepEveryWritersValues)
{
    constexpr int kSavers = 4;
    constexpr int kRounds = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kSavers; ++t) {
        threads.emplace_back([t] {
            CAppSettings s;
            s.ActiveProfile = "Profile" + std::to_string(t);
            for (int r = 0; r < kRounds; ++r) {
                s.TrafficRefreshSpeed = r;
                EXPECT_TRUE(SaveSettings(s));
                CAppSettings back;
                LoadSettings(back);
                EXPECT_EQ(back.ActiveProfile.rfind("Profile", 0), 0u);
            }
        });
    }
    threads.emplace_back([this] {
        DefaultsStore other(file);
        for (int r = 0; r < kRounds; ++r)
            EXPECT_TRUE(other.setObject("Other" + std::to_string(r), PlistValue(r)));
    });
    for (auto& t : threads)
        t.join();

    PlistDict saved = DefaultsStore(file).persistentDomain();
    for (int r = 0; r < kRounds; ++r)
        EXPECT_EQ(saved["Other" + std::to_string(r)], PlistValue(r));
    EXPECT_EQ(saved["SettingsTrafficRefreshSpeed"], PlistValue(kRounds - 1));
}

} // namespace
} // namespace corvantis
