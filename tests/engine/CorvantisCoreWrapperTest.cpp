#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/AppSettings.h"
#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/Log.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "core/profile/Rule.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/DefaultsStore.h"
#include "platform/ProcessInfo.h"
#include "platform/ProgramHome.h"
#include "tests/support/LogLines.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitingChild.h"

namespace corvantis::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Lines()
{
    return test::TakeScreenLines();
}

bool HasLineWith(const std::vector<std::string>& lines, const std::string& part)
{
    for (const auto& line : lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

// A profile text with one rule named `ruleName`.
std::string ProfileText(const std::string& ruleName)
{
    CProfileData profile;
    CRule rule(ruleName);
    rule.m_Action = kActionDirect;
    profile.m_Rules = { rule };
    std::string text;
    EXPECT_TRUE(ProfileToXmlString(profile, text));
    return text;
}

std::string FirstRuleName()
{
    CProfileData profile;
    GetAppProxy().GetProfile(profile, false);
    return profile.m_Rules.empty() ? std::string() : profile.m_Rules.front().m_Name;
}

// The extension's object with a temporary home, and with its own defaults file there.
class CoreWrapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Extension, home.path(), &GetAppProxy(), kLogDebug);
        CorvantisCoreWrapper::resetForTests();
    }
    void TearDown() override
    {
        CClientProcessor::SetConnectionLimit(CClientProcessor::kDefaultConnectionLimit);
        CorvantisCoreWrapper::resetForTests();
        m_scope.reset();
    }
    // A profile file under the name the settings make active, that cannot be read.
    void DamageActiveProfile()
    {
        CAppSettings settings;
        LoadSettings(settings);
        std::filesystem::create_directories(GetProfilesDir());
        std::ofstream(GetProfileFilePath(settings.ActiveProfile)) << "<<< not a profile";
    }

    TempDir home;

private:
    std::optional<ProgramHomeScope> m_scope;
};

TEST_F(CoreWrapperTest, HelloSetsTheFlagAndAnswersTheVersion)
{
    EXPECT_FALSE(CorvantisCoreWrapper::isHelloRequested());
    EXPECT_EQ(CorvantisCoreWrapper::getFullVersionString(), "3.12.2");
    EXPECT_FALSE(CorvantisCoreWrapper::isHelloRequested());
    EXPECT_EQ(CorvantisCoreWrapper::versionForHello(), "3.12.2");
    EXPECT_TRUE(CorvantisCoreWrapper::isHelloRequested());
}

// A failed start is not reported as success later, until a profile has been applied.
TEST_F(CoreWrapperTest, FailedStartStaysFailedUntilAProfileIsApplied)
{
    DamageActiveProfile();
    CorvantisCoreWrapper wrapper;
    EXPECT_FALSE(wrapper.initInstance());
    EXPECT_TRUE(wrapper.isInitialised());
    EXPECT_TRUE(HasLineWith(Lines(), "Initialization failed: Profile cannot be loaded"));
    EXPECT_FALSE(wrapper.initInstance());

    EXPECT_EQ(CorvantisCoreWrapper::settingsUpdateNotification(std::nullopt, ProfileText("From the application")), "");
    EXPECT_EQ(FirstRuleName(), "From the application");
    EXPECT_TRUE(wrapper.initInstance());
    EXPECT_EQ(FirstRuleName(), "From the application"); // the load was not tried again
}

TEST_F(CoreWrapperTest, FirstRunWithoutAProfileFileStarts)
{
    CorvantisCoreWrapper wrapper;
    EXPECT_TRUE(wrapper.initInstance());
    EXPECT_TRUE(wrapper.initInstance());
}

// The settings decide the connection limit and the placeholder subnet; a bad profile keeps the old one.
TEST_F(CoreWrapperTest, SettingsUpdateAppliesLimitSubnetAndProfile)
{
    struct Case {
        int64_t maxConnCount;
        int64_t subnet;
        uint64_t limit;
        bool line;
    };
    const Case cases[] = {
        { 1000, 10, 1500, false },
        { 1500, 0, 1500, false },
        { 2000, 172, 2000, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxConnCount);
        PlistDict settings;
        settings["MaxConnCount"] = PlistValue(c.maxConnCount);
        settings["InternalSubnetNumber"] = PlistValue(c.subnet);
        settings["ActiveProfile"] = PlistValue(std::string("Office"));
        EXPECT_EQ(CorvantisCoreWrapper::settingsUpdateNotification(settings, ProfileText("Rule")), "");
        EXPECT_EQ(CClientProcessor::GetConnectionLimit(), c.limit);
        EXPECT_EQ(HasLineWith(Lines(), "Max connections count is 2000"), c.line);
        const FakeAddressRange range = GetFakeAddressRange();
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &range.base, text, sizeof text);
        EXPECT_EQ(std::string(text), std::to_string(c.subnet) + ".0.0.0");
        EXPECT_EQ(range.networkMask, htonl(0xFF000000u));
        // Every entry reached the extension's defaults, with the active profile named by the extension.
        auto stored = DefaultsStore::standard().object("MaxConnCount");
        ASSERT_TRUE(stored);
        EXPECT_EQ(*DefaultsStore::standard().object("ActiveProfile")->string(), "Default");
    }
    EXPECT_EQ(CorvantisCoreWrapper::getIpv6FakeSubnet(), "fd00:5a17::ffff:0:1");

    const std::string error = CorvantisCoreWrapper::settingsUpdateNotification(std::nullopt, "<<< not a profile");
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(FirstRuleName(), "Rule");
}

// The traffic-dump switch travels with every settings update and is never stored: an update without it, or
// without any settings, turns the dumps off, and the extension's defaults never hold it.
TEST_F(CoreWrapperTest, TrafficDumpSwitchComesWithEachSettingsUpdate)
{
    struct Case {
        const char* name;
        std::optional<PlistValue> dump; // the entry "TrafficDump"; none: absent
        bool withSettings;
        bool dumping;
    };
    const Case cases[] = {
        { "on", PlistValue(int64_t { 1 }), true, true },
        { "absent", std::nullopt, true, false },
        { "on again", PlistValue(int64_t { 1 }), true, true },
        { "off", PlistValue(int64_t { 0 }), true, false },
        { "on once more", PlistValue(int64_t { 1 }), true, true },
        { "no settings at all", std::nullopt, false, false },
    };
    CorvantisCoreWrapper wrapper;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PlistDict settings;
        settings["InternalSubnetNumber"] = PlistValue(int64_t { 10 });
        if (c.dump)
            settings["TrafficDump"] = *c.dump;
        EXPECT_EQ(CorvantisCoreWrapper::settingsUpdateNotification(
                      c.withSettings ? std::optional<PlistDict>(settings) : std::nullopt, ProfileText("Rule")),
            "");
        EXPECT_EQ(GetAppProxy().GetSettings().TrafficLogEnabled, c.dumping);
        EXPECT_FALSE(DefaultsStore::standard().object("TrafficDump"));
        // The engine's start and its later reloads of the settings keep what the application sent last.
        EXPECT_TRUE(wrapper.initInstance());
        EXPECT_EQ(GetAppProxy().GetSettings().TrafficLogEnabled, c.dumping);
    }
    CAppSettings settings = GetAppProxy().GetSettings();
    settings.TrafficLogEnabled = false;
    GetAppProxy().SetSettings(settings);
}

TEST_F(CoreWrapperTest, PolledTexts)
{
    GetAppProxy().QueueLoopApp("Looping app");
    EXPECT_EQ(CorvantisCoreWrapper::getLoopDetectinHistoryElement(), std::optional<std::string>("Looping app"));
    EXPECT_EQ(CorvantisCoreWrapper::getLoopDetectinHistoryElement(), std::nullopt);

    CorvantisCoreWrapper::putLog(true, false, "an error line");
    CorvantisCoreWrapper::putLog(false, true, "a verbose line");
    const std::string log = CorvantisCoreWrapper::getLogMessages();
    EXPECT_NE(log.find("1,"), std::string::npos);
    EXPECT_NE(log.find("an error line"), std::string::npos);
    EXPECT_NE(log.find("a verbose line"), std::string::npos);
    EXPECT_EQ(CorvantisCoreWrapper::getLogMessages(), "");

    GetAppProxy().GetStatistics().AddSent(5);
    std::vector<uint8_t> up;
    std::vector<uint8_t> down;
    CorvantisCoreWrapper::getTrafficDataUp(up, down);
    EXPECT_EQ(up.size(), CTrafficStatistics::kSeriesLength * sizeof(uint64_t));
    EXPECT_EQ(down.size(), CTrafficStatistics::kSeriesLength * sizeof(uint64_t));
}

// Waits until `pid` shows its arguments: from then on its start is over and its name is the program's.
bool WaitForArguments(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto args = readProcessCmdline(pid); args && !args.value().empty())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// The state letter of `pid` in /proc (R, S, Z, ...); 0 when it cannot be read.
char ProcessState(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

// Command names of 15 characters or more may have been cut: the first argument's file name is taken then.
TEST_F(CoreWrapperTest, ProcessNameOfLongNamedProcesses)
{
    const std::filesystem::path shortLink = home.path() / "sleepy";
    const std::filesystem::path longLink = home.path() / "a-very-long-program-name";
    std::filesystem::create_symlink("/bin/sleep", shortLink);
    std::filesystem::create_symlink("/bin/sleep", longLink);
    for (const auto& [link, name] : { std::pair { shortLink, std::string("sleepy") },
             std::pair { longLink, std::string("a-very-long-program-name") } }) {
        const WaitingChild child(link.string(), { link.string(), "30" });
        ASSERT_GT(child.pid(), 0);
        // The spawn returns while the child is still inside its exec, with its parent's name or no arguments.
        ASSERT_TRUE(WaitForArguments(child.pid()));
        EXPECT_EQ(CorvantisCoreWrapper::getProcessNameForPid(child.pid()), name);
    }
    EXPECT_EQ(CorvantisCoreWrapper::getProcessNameForPid(-1), "");
}

// A process with a cut name that shows no arguments for good (here one that has ended and is not reaped yet)
// gets its cut name after a brief wait for its arguments, not an empty one and no hang.
TEST_F(CoreWrapperTest, ProcessNameOfACutNameWithoutArguments)
{
    const std::filesystem::path longLink = home.path() / "a-very-long-program-name";
    std::filesystem::create_symlink("/bin/true", longLink);
    SpawnOptions options;
    options.argv = { longLink.string() };
    const pid_t pid = spawnChild(options);
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ProcessState(pid) != 'Z' && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(ProcessState(pid), 'Z');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CorvantisCoreWrapper::getProcessNameForPid(pid), "a-very-long-pro");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    stopChild(pid, false);
}

} // namespace
} // namespace corvantis::test
