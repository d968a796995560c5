#include "core/profile/CorvantisApp.h"

#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileCheck.h"
#include "tests/profile/ProfileServer.h"
#include "tests/profile/StorageTestSupport.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace corvantis {
namespace {

const std::string kUpdated
    = "(Profile Auto Update) - Profile Office has been successfully updated from the remote server.";

bool HasRule(const CCorvantisApp& app, const std::string& name)
{
    CProfileData profile;
    app.GetProfile(profile, false);
    return std::any_of(
        profile.m_Rules.begin(), profile.m_Rules.end(), [&](const CRule& rule) { return rule.m_Name == name; });
}

// The application's object started with the profile auto update on, against a web server that holds a newer
// "Office".
class ProfileAutoUpdateMtTest : public test::StorageFixture<CCorvantisAppUI> {
protected:
    void SetUp() override
    {
        test::StorageFixture<CCorvantisAppUI>::SetUp();
        CProfileData remote = NewProfileData();
        remote.m_Rules.insert(remote.m_Rules.begin(), CRule("From the server"));
        server.Put("Office.ppx", remote);

        CAppSettings settings;
        settings.ActiveProfile = "Office";
        settings.ProfileAutoUpdate = true;
        settings.ProfileAutoUpdateUrl = server.Base();
        settings.ProfileAutoUpdateUrlIsFolder = true;
        app.SetSettings(settings);
        ASSERT_TRUE(app.SetProfile(NewProfileData(), true));
        TakeLogLines();
    }

    // Collects log lines until `line` has come or a generous deadline passed.
    bool WaitForLine(const std::string& line)
    {
        return test::waitUntil(
            [&] {
                for (const std::string& taken : TakeLogLines())
                    if (taken == line)
                        return true;
                return false;
            },
            test::deadlineIn(std::chrono::seconds(30)));
    }

    test::ProfileServer server;
};

TEST_F(ProfileAutoUpdateMtTest, StartUpdatesTheProfileOnItsOwnThreadWhileOthersReadIt)
{
    const std::vector<std::string> before { "Localhost", "Default" };
    const std::vector<std::string> after { "From the server", "Localhost", "Default" };
    ASSERT_EQ(app.Start(), -1);
    // Readers meanwhile see the old profile or the new one, never a mixture.
    bool updated = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!updated && std::chrono::steady_clock::now() < deadline) {
        CProfileData copy;
        app.GetProfile(copy, false);
        std::vector<std::string> names;
        for (const CRule& rule : copy.m_Rules)
            names.push_back(rule.m_Name);
        ASSERT_TRUE(names == before || names == after);
        updated = names == after;
    }
    EXPECT_TRUE(updated);
    EXPECT_TRUE(WaitForLine(kUpdated));
    app.StopBackgroundThreads();
    EXPECT_TRUE(HasRule(app, "From the server"));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProfileAutoUpdateMtTest, NoUpdateStartsOnceTheObjectStops)
{
    app.StopBackgroundThreads();
    EXPECT_FALSE(app.StartProfileAutoUpdate());
    EXPECT_EQ(app.Start(), -1) << "start-up goes on without the update";
    EXPECT_FALSE(HasRule(app, "From the server"));
    for (const std::string& line : TakeLogLines())
        EXPECT_FALSE(line.starts_with("(Profile Auto Update)")) << line;
}

} // namespace
} // namespace corvantis
