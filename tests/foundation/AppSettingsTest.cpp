#include "core/foundation/AppSettings.h"

#include "core/foundation/Log.h"
#include "platform/DefaultsStore.h"
#include "tests/foundation/StandardDefaultsFixture.h"
#include "tests/support/PlistPrint.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using AppSettingsTest = test::StandardDefaultsFixture;

TEST_F(AppSettingsTest, NothingStoredGivesTheDefaults)
{
    CAppSettings s;
    s.ExcludedUdpPorts = "stale";
    LoadSettings(s);
    EXPECT_EQ(GetLog().GetScreenLevel(), 2);
    EXPECT_EQ(GetLog().GetFileLevel(), 0);
    EXPECT_EQ(s.ActiveProfile, "Default");
    EXPECT_EQ(s.ShowTrafficType, 0);
    EXPECT_EQ(s.TrafficRefreshSpeed, 1);
    EXPECT_TRUE(s.ShowMainWindow);
    EXPECT_TRUE(s.UpdateCheck);
    EXPECT_FALSE(s.ProfileAutoUpdate);
    EXPECT_EQ(s.ProfileAutoUpdateUrl, "");
    EXPECT_TRUE(s.ProfileAutoUpdateUrlIsFolder);
    EXPECT_FALSE(s.KeepCredOnProfileUpdate);
    EXPECT_FALSE(s.ProcessForcedUdpFlowsOnly);
    EXPECT_EQ(s.InternalSubnetNumber, 0);
    EXPECT_EQ(s.KeepRunningOnClose, 0);
    EXPECT_EQ(s.MaxConnCount, 1500);
    EXPECT_FALSE(s.DebugConnList);
    EXPECT_FALSE(s.UseDataFilterInsteadOfDnsProxy);
    EXPECT_EQ(s.ExcludedUdpPorts, "");
    EXPECT_EQ(s.ExcludedTcpPorts, "");
    EXPECT_FALSE(std::filesystem::exists(file)); // reading writes nothing
}

TEST_F(AppSettingsTest, StoredFormsAreReadByTheKeyRules)
{
    struct Case {
        const char* name;
        PlistDict stored;
        std::function<void(const CAppSettings&)> check;
    } cases[] = {
        { "plain key of section and key", { { "SettingsShowTrafficType", PlistValue(3) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.ShowTrafficType, 3); } },
        { "key inside a Settings dictionary",
            { { "Settings", PlistValue(PlistDict { { "TrafficRefreshSpeed", PlistValue(5) } }) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.TrafficRefreshSpeed, 5); } },
        { "plain key wins over the dictionary",
            { { "SettingsTrafficRefreshSpeed", PlistValue(7) },
                { "Settings", PlistValue(PlistDict { { "TrafficRefreshSpeed", PlistValue(5) } }) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.TrafficRefreshSpeed, 7); } },
        { "active profile of the section",
            { { "SettingsActiveProfile", PlistValue("Home") }, { "ActiveProfile", PlistValue("Work") } },
            [](const CAppSettings& s) { EXPECT_EQ(s.ActiveProfile, "Home"); } },
        { "empty active profile falls back to the key alone",
            { { "SettingsActiveProfile", PlistValue("") }, { "ActiveProfile", PlistValue("Work") } },
            [](const CAppSettings& s) { EXPECT_EQ(s.ActiveProfile, "Work"); } },
        { "active profile without section", { { "ActiveProfile", PlistValue("Work") } },
            [](const CAppSettings& s) { EXPECT_EQ(s.ActiveProfile, "Work"); } },
        { "keep running 3 reads as 0", { { "KeepRunningOnClose", PlistValue(3) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.KeepRunningOnClose, 0); } },
        { "keep running 2", { { "KeepRunningOnClose", PlistValue(2) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.KeepRunningOnClose, 2); } },
        { "keep running -1 reads as 0", { { "KeepRunningOnClose", PlistValue(-1) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.KeepRunningOnClose, 0); } },
        { "subnet number keeps its low byte", { { "InternalSubnetNumber", PlistValue(300) } },
            [](const CAppSettings& s) { EXPECT_EQ(s.InternalSubnetNumber, 44); } },
        { "numbers stored as text", { { "MaxConnCount", PlistValue("3000") }, { "UpdateCheck", PlistValue("0") } },
            [](const CAppSettings& s) {
                EXPECT_EQ(s.MaxConnCount, 3000);
                EXPECT_FALSE(s.UpdateCheck);
            } },
        { "text that is no number reads as 0",
            { { "ShowMainWindow", PlistValue("yes") }, { "SettingsShowMainWindow", PlistValue("yes") } },
            [](const CAppSettings& s) { EXPECT_FALSE(s.ShowMainWindow); } },
        { "booleans stored as booleans",
            { { "DebugConnList", PlistValue(true) }, { "ProfileAutoUpdateUrlIsFolder", PlistValue(false) } },
            [](const CAppSettings& s) {
                EXPECT_TRUE(s.DebugConnList);
                EXPECT_FALSE(s.ProfileAutoUpdateUrlIsFolder);
            } },
        { "excluded ports under the section",
            { { "SettingsExcludedUdpPorts", PlistValue("53,123") },
                { "SettingsExcludedTcpPorts", PlistValue("80-81") } },
            [](const CAppSettings& s) {
                EXPECT_EQ(s.ExcludedUdpPorts, "53,123");
                EXPECT_EQ(s.ExcludedTcpPorts, "80-81");
            } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(file);
        ASSERT_TRUE(DefaultsStore(file).setEntries(c.stored));
        CAppSettings s;
        LoadSettings(s);
        c.check(s);
    }
}

TEST_F(AppSettingsTest, ThresholdFromTheSettingsDictionaryBecomesAPlainKeyOnSave)
{
    ASSERT_TRUE(DefaultsStore(file).setObject("Settings", PlistValue(PlistDict { { "LogLevelFile", PlistValue(3) } })));
    CAppSettings s;
    LoadSettings(s);
    EXPECT_EQ(GetLog().GetFileLevel(), 3);
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(DefaultsStore(file).object("SettingsLogLevelFile"), PlistValue(3));

    // From now on the plain key wins.
    ASSERT_TRUE(DefaultsStore(file).setObject("Settings", PlistValue(PlistDict { { "LogLevelFile", PlistValue(1) } })));
    LoadSettings(s);
    EXPECT_EQ(GetLog().GetFileLevel(), 3);
}

TEST_F(AppSettingsTest, SavedSettingsReadBackAndPythonReadsTheFile)
{
    CAppSettings out;
    out.ActiveProfile = "Büro";
    out.ShowTrafficType = 2;
    out.TrafficRefreshSpeed = 4;
    out.ShowMainWindow = false;
    out.UpdateCheck = false;
    out.ProfileAutoUpdate = true;
    out.ProfileAutoUpdateUrl = "https://example.invalid/p.ppx";
    out.ProfileAutoUpdateUrlIsFolder = false;
    out.KeepCredOnProfileUpdate = true;
    out.KeepRunningOnClose = 2;
    out.ExcludedUdpPorts = "5353";
    out.ExcludedTcpPorts = "22,25";
    GetLog().SetScreenLevel(3);
    GetLog().SetFileLevel(1);
    ASSERT_TRUE(SaveSettings(out));

    EXPECT_TRUE(python("import plistlib,sys\n"
                       "d=plistlib.load(open(sys.argv[1],\"rb\"))\n"
                       "want=dict(SettingsLogLevelScreen=3,SettingsLogLevelFile=1,SettingsShowTrafficType=2,"
                       "SettingsTrafficRefreshSpeed=4,SettingsActiveProfile=\"B\\u00fcro\",SettingsShowMainWindow=0,"
                       "UpdateCheck=0,ProfileAutoUpdate=1,ProfileAutoUpdateUrl=\"https://example.invalid/p.ppx\","
                       "ProfileAutoUpdateUrlIsFolder=0,KeepCredOnProfileUpdate=1,KeepRunningOnClose=2,"
                       "SettingsExcludedUdpPorts=\"5353\",SettingsExcludedTcpPorts=\"22,25\")\n"
                       "assert d==want, d"));

    GetLog().SetScreenLevel(1);
    GetLog().SetFileLevel(0);
    CAppSettings in;
    LoadSettings(in);
    EXPECT_EQ(GetLog().GetScreenLevel(), 3);
    EXPECT_EQ(GetLog().GetFileLevel(), 1);
    EXPECT_EQ(in.ActiveProfile, out.ActiveProfile);
    EXPECT_EQ(in.ShowTrafficType, 2);
    EXPECT_EQ(in.TrafficRefreshSpeed, 4);
    EXPECT_FALSE(in.ShowMainWindow);
    EXPECT_FALSE(in.UpdateCheck);
    EXPECT_TRUE(in.ProfileAutoUpdate);
    EXPECT_EQ(in.ProfileAutoUpdateUrl, out.ProfileAutoUpdateUrl);
    EXPECT_FALSE(in.ProfileAutoUpdateUrlIsFolder);
    EXPECT_TRUE(in.KeepCredOnProfileUpdate);
    EXPECT_EQ(in.KeepRunningOnClose, 2);
    EXPECT_EQ(in.ExcludedUdpPorts, "5353");
    EXPECT_EQ(in.ExcludedTcpPorts, "22,25");
}

TEST_F(AppSettingsTest, ValuesOfOtherWritersSurviveASave)
{
    CAppSettings s;
    LoadSettings(s); // our store has read the file before the other writer comes along
    PlistDict theirs { { "MaxConnCount", PlistValue(2500) }, { "DebugConnList", PlistValue(1) },
        { "UseDataFilterInsteadOfDnsProxy", PlistValue(1) }, { "ProcessForcedUdpFlowsOnly", PlistValue(1) },
        { "InternalSubnetNumber", PlistValue(12) },
        { "Profiles", PlistValue(PlistDict { { "Default", PlistValue("cached") } }) } };
    ASSERT_TRUE(DefaultsStore(file).setEntries(theirs));

    s.MaxConnCount = 1500;
    s.DebugConnList = false;
    s.InternalSubnetNumber = 0;
    ASSERT_TRUE(SaveSettings(s));
    PlistDict after = DefaultsStore(file).persistentDomain();
    for (const auto& [key, value] : theirs) {
        SCOPED_TRACE(key);
        EXPECT_EQ(after[key], value);
    }
    EXPECT_EQ(after["SettingsActiveProfile"], PlistValue("Default"));
}

TEST_F(AppSettingsTest, ArgumentDomainIsReadButNeverSaved)
{
    DefaultsStore::standard().setArguments({ "-MaxConnCount", "3000", "-SettingsShowTrafficType", "2" });
    CAppSettings s;
    LoadSettings(s);
    EXPECT_EQ(s.MaxConnCount, 3000);
    EXPECT_EQ(s.ShowTrafficType, 2);
    s.ShowTrafficType = 1;
    ASSERT_TRUE(SaveSettings(s));

    PlistDict saved = DefaultsStore(file).persistentDomain();
    EXPECT_EQ(saved.count("MaxConnCount"), 0u);
    EXPECT_EQ(saved["SettingsShowTrafficType"], PlistValue(1));
    // While the argument is given it still wins.
    LoadSettings(s);
    EXPECT_EQ(s.ShowTrafficType, 2);
}

TEST_F(AppSettingsTest, MaxConnCountDefaultsToTheRecordsValue)
{
    CAppSettings s;
    s.MaxConnCount = 2222;
    LoadSettings(s);
    EXPECT_EQ(s.MaxConnCount, 2222);
}

TEST_F(AppSettingsTest, ActiveProfileThatCannotBeStoredKeepsTheStoredOne)
{
    CAppSettings s;
    s.ActiveProfile = "Work";
    ASSERT_TRUE(SaveSettings(s));
    s.ActiveProfile = "Caf\xE9"; // Latin-1, not UTF-8
    s.ShowTrafficType = 9;
    EXPECT_FALSE(SaveSettings(s));
    CAppSettings in;
    LoadSettings(in);
    EXPECT_EQ(in.ActiveProfile, "Work");
    EXPECT_EQ(in.ShowTrafficType, 9); // the rest was written
}

TEST_F(AppSettingsTest, LoadingOpensTheLogFileWithTheNewThreshold)
{
    test::TempDir logs;
    GetLog().SetFileLevel(0);
    GetLog().SetLogFolder(logs.str());
    EXPECT_FALSE(std::filesystem::exists(logs / "Corvantis.0.log"));
    ASSERT_TRUE(DefaultsStore(file).setObject("SettingsLogLevelFile", PlistValue(2)));
    CAppSettings s;
    LoadSettings(s);
    EXPECT_TRUE(std::filesystem::exists(logs / "Corvantis.0.log"));
}

} // namespace
} // namespace corvantis
