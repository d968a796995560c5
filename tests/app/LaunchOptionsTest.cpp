// The command-line options read before launching: the pure reading as a table, and what carrying them out
// leaves behind (preferences, timing switches, an encrypted profile file, the process's exit code).

#include "app/LaunchOptions.h"
#include "app/CorvantisAppDelegate.h"
#include "app/QtMainThreadExecutor.h"
#include "core/foundation/Prefs.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "core/profile/Proxy.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemLog.h"
#include "tests/support/FakeSystemExtensionManager.h"
#include "tests/support/FileText.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvantis {
namespace {

using test::ReadFile;

using Kind = LaunchOption::Kind;
namespace fs = std::filesystem;

struct ParseCase {
    const char* name;
    PlistDict arguments;
    std::optional<PlistValue> maxConnCount;
    Kind kind;
    std::string key;
    int64_t intValue;
    std::string text;
};

TEST(LaunchOptionsTest, ReadsTheOneShotOptions)
{
    const ParseCase cases[] = {
        { "integer", { { "SetIntOpt", "Name_5" } }, {}, Kind::SetIntOption, "Name", 5, "" },
        { "negative integer", { { "SetIntOpt", "Level_-7" } }, {}, Kind::SetIntOption, "Level", -7, "" },
        { "split at the first _ only", { { "SetStrOpt", "ProfileAutoUpdateUrl_http://h/a_b.ppx" } }, {},
            Kind::SetStringOption, "ProfileAutoUpdateUrl", 0, "http://h/a_b.ppx" },
        { "empty text", { { "SetStrOpt", "Name_" } }, {}, Kind::SetStringOption, "Name", 0, "" },
        { "integer without _", { { "SetIntOpt", "Name5" } }, {}, Kind::Fail, "", 0, "" },
        { "text without _", { { "SetStrOpt", "Name" } }, {}, Kind::Fail, "", 0, "" },
        { "no key", { { "SetIntOpt", "_5" } }, {}, Kind::Fail, "", 0, "" },
        { "no number", { { "SetIntOpt", "Name_" } }, {}, Kind::Fail, "", 0, "" },
        { "trailing letters", { { "SetIntOpt", "Name_5x" } }, {}, Kind::Fail, "", 0, "" },
        { "fraction", { { "SetIntOpt", "Name_1.5" } }, {}, Kind::Fail, "", 0, "" },
        { "blank", { { "SetIntOpt", "Name_ 5" } }, {}, Kind::Fail, "", 0, "" },
        { "too big", { { "SetIntOpt", "Name_99999999999999999999" } }, {}, Kind::Fail, "", 0, "" },
        { "SetIntOpt comes first", { { "EncryptPasswords", "/p.ppx" }, { "SetIntOpt", "A_1" } }, {}, Kind::SetIntOption,
            "A", 1, "" },
        { "deactivate before encrypting", { { "EncryptPasswords", "/p.ppx" }, { "DeactivateSysExt", "1" } }, {},
            Kind::Deactivate, "", 0, "" },
        { "encrypt", { { "EncryptPasswords", "/tmp/x.ppx" } }, {}, Kind::EncryptPasswords, "", 0, "/tmp/x.ppx" },
        { "encrypt without a path", { { "EncryptPasswords", PlistValue(3) } }, {}, Kind::Fail, "", 0,
            "Could not read file path" },
        { "nothing given", {}, PlistValue(5000), Kind::Continue, "", 0, "" },
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const LaunchOption option = ParseLaunchOptions(c.arguments, c.maxConnCount);
        EXPECT_EQ(option.kind, c.kind);
        if (c.kind == Kind::Fail) {
            EXPECT_FALSE(option.text.empty());
            if (!c.text.empty()) {
                EXPECT_EQ(option.text, c.text);
            }
            continue;
        }
        EXPECT_EQ(option.key, c.key);
        EXPECT_EQ(option.intValue, c.intValue);
        EXPECT_EQ(option.text, c.text);
        if (c.kind == Kind::Continue) {
            EXPECT_EQ(option.flags.maxConnCount, kMinMaxConnCount); // without arguments the flags stay as they are
        }
    }
}

TEST(LaunchOptionsTest, ReadsTheFlags)
{
    const PlistDict arguments { { "ShowTiming", "connect+foo+uiupd+connect" }, { "BaseFunctions", "udp+tcp" },
        { "MDNSMode", "ums" } };
    const LaunchOption option = ParseLaunchOptions(arguments, PlistValue("3000"));
    ASSERT_EQ(option.kind, Kind::Continue);
    EXPECT_EQ(option.flags.timing, (std::vector<TimingItem> { TimingItem::Connect, TimingItem::Uiupd }));
    EXPECT_TRUE(option.flags.tcpBaseFunctions);
    EXPECT_TRUE(option.flags.mdnsUms);
    EXPECT_EQ(option.flags.maxConnCount, 3000);

    const LaunchOption other = ParseLaunchOptions(
        { { "ShowTiming", "Connect+ntlm " }, { "BaseFunctions", "tcpx" }, { "MDNSMode", "UMS" } }, std::nullopt);
    EXPECT_TRUE(other.flags.timing.empty()); // exact keywords only
    EXPECT_FALSE(other.flags.tcpBaseFunctions);
    EXPECT_FALSE(other.flags.mdnsUms);
    EXPECT_EQ(other.flags.maxConnCount, kMinMaxConnCount);
}

TEST(LaunchOptionsTest, MaxConnCountNeverFallsBelowTheMinimum)
{
    const struct {
        const char* name;
        PlistValue value;
        int64_t expected;
    } cases[] = {
        { "1000", PlistValue(1000), 1500 },
        { "3000", PlistValue(3000), 3000 },
        { "text 3000", PlistValue("3000"), 3000 },
        { "text with letters", PlistValue("2500abc"), 2500 },
        { "not a number", PlistValue("many"), 1500 },
        { "negative", PlistValue("-4000"), 1500 },
        { "huge", PlistValue("99999999999999999999999"), INT64_MAX },
        { "data", PlistValue(PlistData { '9', '9', '9', '9' }), 1500 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ParseLaunchOptions({ { "Other", "1" } }, c.value).flags.maxConnCount, c.expected);
    }
}

TEST(LaunchOptionsTest, FileArgumentsLeaveOutTheOptionPairs)
{
    EXPECT_EQ(FileArguments({ "-SetIntOpt", "a_1", "/p/one.ppx", "-ShowTiming", "connect", "two.ppx", "-Last" }),
        (std::vector<std::string> { "/p/one.ppx", "two.ppx" }));
    EXPECT_TRUE(FileArguments({}).empty());
}

// The standard defaults over a temporary home and the system log caught, for carrying options out.
class LaunchOptionsRunTest : public testing::Test {
protected:
    void SetUp() override
    {
        SetSystemLogSink([this](const std::string& line) { m_log.push_back(line); });
    }
    void TearDown() override
    {
        SetSystemLogSink(nullptr);
        for (TimingItem item : { TimingItem::Connect, TimingItem::Ntlm, TimingItem::Kipc, TimingItem::Autod,
                 TimingItem::Sysev, TimingItem::Uiupd })
            SetTimingOn(item, false);
        CarryOutLaunchOption({});
    }
    bool logged(const std::string& text) const
    {
        return std::any_of(
            m_log.begin(), m_log.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    test::TempDir m_home;
    CCorvantisAppUI m_app;
    test::ProgramHomeScope m_scope { Program::Application, m_home.path(), &m_app };
    std::vector<std::string> m_log;
};

TEST_F(LaunchOptionsRunTest, SetIntOptWritesTheNumberAndEndsBeforeAnyWindow)
{
    DefaultsStore::standard().setArguments({ "-SetIntOpt", "Name_5" });
    std::vector<int> exits;
    int windows = 0;
    CorvantisAppDelegate::Seams seams;
    seams.exit = [&](int code) { exits.push_back(code); };
    seams.makeMainWindow = [&](CorvantisAppDelegate&) -> std::unique_ptr<MainWindowShell> {
        ++windows;
        return nullptr;
    };
    CorvantisAppDelegate delegate(std::move(seams));
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(exits, std::vector<int> { 0 });
    EXPECT_EQ(windows, 0);
    EXPECT_FALSE(delegate.isLoaded());
    // On disk, as another run of the program reads it.
    const auto stored = DefaultsStore(m_scope.defaultsFile()).object("Name");
    ASSERT_TRUE(stored);
    ASSERT_TRUE(stored->integer());
    EXPECT_EQ(*stored->integer(), 5);
}

TEST_F(LaunchOptionsRunTest, SetStrOptKeepsTheWholeAddress)
{
    const LaunchDecision decision = CarryOutLaunchOption(
        ParseLaunchOptions({ { "SetStrOpt", "ProfileAutoUpdateUrl_http://h/a_b.ppx" } }, std::nullopt));
    EXPECT_EQ(decision.next, LaunchDecision::Next::Exit);
    EXPECT_EQ(decision.exitCode, 0);
    const auto stored = DefaultsStore(m_scope.defaultsFile()).object("ProfileAutoUpdateUrl");
    ASSERT_TRUE(stored && stored->string());
    EXPECT_EQ(*stored->string(), "http://h/a_b.ppx");
}

TEST_F(LaunchOptionsRunTest, AValueWithoutSeparatorFailsAndStoresNothing)
{
    const LaunchDecision decision = CarryOutLaunchOption(ParseLaunchOptions({ { "SetIntOpt", "Name5" } }, {}));
    EXPECT_EQ(decision.next, LaunchDecision::Next::Exit);
    EXPECT_EQ(decision.exitCode, kBadOptionExitCode);
    EXPECT_TRUE(logged("Name5"));
    EXPECT_TRUE(DefaultsStore(m_scope.defaultsFile()).persistentDomain().empty());
}

TEST_F(LaunchOptionsRunTest, ShowTimingSwitchesTheNamedItemsOnly)
{
    SetTimingOn(TimingItem::Ntlm, true); // cleared at every start
    const LaunchDecision decision
        = CarryOutLaunchOption(ParseLaunchOptions({ { "ShowTiming", "connect+foo+uiupd" } }, PlistValue(1000)));
    EXPECT_EQ(decision.next, LaunchDecision::Next::Continue);
    EXPECT_TRUE(IsTimingOn(TimingItem::Connect));
    EXPECT_TRUE(IsTimingOn(TimingItem::Uiupd));
    EXPECT_FALSE(IsTimingOn(TimingItem::Ntlm));
    EXPECT_FALSE(IsTimingOn(TimingItem::Kipc));
    EXPECT_EQ(AppliedLaunchFlags().maxConnCount, 1500);
}

TEST_F(LaunchOptionsRunTest, DelegateReadsMaxConnCountFromTheStoredPreference)
{
    ASSERT_EQ(SetPrefInt("", "MaxConnCount", 3000), 0);
    DefaultsStore::standard().setArguments({ "-MDNSMode", "ums" });
    CorvantisAppDelegate::Seams seams;
    seams.exit = [](int code) { ADD_FAILURE() << "exit " << code; };
    CorvantisAppDelegate delegate(std::move(seams));
    delegate.eventPreLaunch();
    EXPECT_FALSE(delegate.doNotRun());
    EXPECT_EQ(AppliedLaunchFlags().maxConnCount, 3000);
    EXPECT_TRUE(AppliedLaunchFlags().mdnsUms);
}

TEST_F(LaunchOptionsRunTest, DeactivateSysExtSkipsTheLaunch)
{
    DefaultsStore::standard().setArguments({ "-DeactivateSysExt", "1" });
    NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
    const auto manager = std::make_shared<test::FakeSystemExtensionManager>();
    SystemExtensionManager::setShared(manager);
    int windows = 0;
    std::vector<int> exits;
    CorvantisAppDelegate::Seams seams;
    seams.exit = [&](int code) { exits.push_back(code); };
    seams.makeMainWindow = [&](CorvantisAppDelegate&) -> std::unique_ptr<MainWindowShell> {
        ++windows;
        return nullptr;
    };
    {
        CorvantisAppDelegate delegate(std::move(seams));
        delegate.applicationWillFinishLaunching();
        delegate.applicationDidFinishLaunching();
        EXPECT_TRUE(delegate.doNotRun());
        EXPECT_FALSE(delegate.isLoaded());
        EXPECT_EQ(windows, 0);
        // The removal ends the process once the extension is stopped, whatever the outcome.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (exits.empty() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(exits, std::vector<int>({ 0 }));
    EXPECT_TRUE(logged("System Extension deactivated"));
    ASSERT_EQ(manager->submitted().size(), 1u);
    EXPECT_EQ(manager->submitted()[0].kind, SystemExtensionRequestKind::Deactivation);
    SystemExtensionManager::setShared(nullptr);
    NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
}

TEST_F(LaunchOptionsRunTest, EncryptPasswordsWritesTheProfileBackEncrypted)
{
    const fs::path file = m_home / "office.ppx";
    fs::copy_file(fs::path(CORVANTIS_TEST_DATA_DIR) / "profiles" / "small-written.ppx", file);
    ASSERT_NE(ReadFile(file).find("a&lt;b&amp;c"), std::string::npos);

    const LaunchDecision decision
        = CarryOutLaunchOption(ParseLaunchOptions({ { "EncryptPasswords", file.string() } }, {}));
    EXPECT_EQ(decision.next, LaunchDecision::Next::Exit);
    EXPECT_EQ(decision.exitCode, 0);
    EXPECT_TRUE(logged("OK"));
    const std::string written = ReadFile(file);
    EXPECT_EQ(written.find("a&lt;b&amp;c"), std::string::npos) << written;

    CProfileData reloaded;
    ProfileLoadStatus status = ReadProfileFile(reloaded, file.string());
    ASSERT_TRUE(status.ok()) << status.message;
    EXPECT_NE(reloaded.m_EncryptionMode, kEncryptionDisabled);
    ASSERT_TRUE(LoadProfileWithPassword(reloaded, status, "office", kProfileSilent));
    ASSERT_EQ(reloaded.m_Proxies.size(), 1u);
    EXPECT_EQ(reloaded.m_Proxies[0].m_Password, "a<b&c");
}

TEST_F(LaunchOptionsRunTest, EncryptPasswordsOnAMissingFileFails)
{
    const LaunchDecision decision
        = CarryOutLaunchOption(ParseLaunchOptions({ { "EncryptPasswords", (m_home / "none.ppx").string() } }, {}));
    EXPECT_EQ(decision.next, LaunchDecision::Next::Exit);
    EXPECT_EQ(decision.exitCode, 1);
    EXPECT_TRUE(logged("Could not load profile"));
    EXPECT_FALSE(fs::exists(m_home / "none.ppx"));
}

} // namespace
} // namespace corvantis
