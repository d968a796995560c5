#include "core/profile/CoreStartup.h"

#include "core/foundation/AppSettings.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileFile.h"
#include "tests/profile/StorageTestSupport.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::Passwords;
using test::SampleProfile;
using test::waitUntil;

const std::string kWarning = "Warning: Corvantis cannot load the last active profile. Default settings will be loaded.";
const std::string kIncorrect
    = "Incorrect password.\n\nDo you want to reset profile master password (all proxy passwords will be lost)?";
const std::string kWelcome = "\t\tWelcome to Corvantis v3.12 ";
const std::string kDefaultLoaded = "New default profile loaded.";

std::vector<std::string> RuleNames(const CProfileData& profile)
{
    std::vector<std::string> names;
    for (const CRule& rule : profile.m_Rules)
        names.push_back(rule.m_Name);
    return names;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The names of the files in `folder`, sorted.
std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The application's core object started on a temporary home, with a delegate that records what the core asks
// of it: the settings writes (with the active profile name at that moment), the update check starts, and a
// password dialog that types `typed` in order (cancelled once they run out).
class CoreStartupTest : public test::StorageFixture<CCorvantisAppUI> {
protected:
    void SetUp() override
    {
        test::StorageFixture<CCorvantisAppUI>::SetUp();
        CoreHooks hooks;
        hooks.writeGlobalSettings = [this](int argument) {
            EXPECT_EQ(argument, 0);
            EXPECT_TRUE(NotificationCenter::defaultCenter().isMainThread())
                << "settings are written on the main thread";
            std::lock_guard lock(m_hookMutex);
            m_settingsWrites.push_back(theApp ? theApp->GetSettings().ActiveProfile : std::string("<none>"));
        };
        hooks.startUpdateCheckThread = [this](int mode) {
            std::lock_guard lock(m_hookMutex);
            m_updateChecks.push_back(mode);
        };
        hooks.getPassword = [this](bool, bool& wantToSave) -> std::optional<std::string> {
            wantToSave = false;
            std::lock_guard lock(m_hookMutex);
            if (typed.empty())
                return std::nullopt;
            std::string next = typed.front();
            typed.pop_front();
            return next;
        };
        Install(std::move(hooks));
        for (const char* name : { kProfileUpdatedNotification, kGlobalUpdatedNotification })
            m_observers.push_back(NotificationCenter::defaultCenter().addObserver(name, [this](const Notification& n) {
                std::lock_guard lock(m_hookMutex);
                m_posted.push_back(n.name);
            }));
    }

    void TearDown() override
    {
        for (NotificationCenter::ObserverId id : m_observers)
            NotificationCenter::defaultCenter().removeObserver(id);
        test::StorageFixture<CCorvantisAppUI>::TearDown();
    }

    void SetActiveName(CCorvantisApp& target, const std::string& name)
    {
        CAppSettings settings = target.GetSettings();
        settings.ActiveProfile = name;
        target.SetSettings(settings);
    }

    void Store(const std::string& fileName, const CProfileData& profile)
    {
        fs::create_directories(ProfilesDir());
        std::string error;
        ASSERT_TRUE(SaveProfileToFile(profile, ProfilesDir() + "/" + fileName, kProfileSilent, &error)) << error;
    }

    CProfileData ReadStored(const std::string& fileName)
    {
        CProfileData read;
        const ProfileLoadStatus status = ReadProfileFile(read, ProfilesDir() + "/" + fileName);
        EXPECT_TRUE(status.ok()) << status.message;
        return read;
    }

    CProfileData Active(const CCorvantisApp& from)
    {
        CProfileData profile;
        from.GetProfile(profile, false);
        return profile;
    }

    std::vector<std::string> SettingsWrites()
    {
        std::lock_guard lock(m_hookMutex);
        return m_settingsWrites;
    }
    std::vector<int> UpdateChecks()
    {
        std::lock_guard lock(m_hookMutex);
        return m_updateChecks;
    }
    std::vector<std::string> Posted()
    {
        std::lock_guard lock(m_hookMutex);
        return m_posted;
    }

    void ClearRecords()
    {
        std::lock_guard lock(m_hookMutex);
        m_settingsWrites.clear();
        m_updateChecks.clear();
        m_posted.clear();
        boxes.clear();
        TakeLogLines();
    }

    std::deque<std::string> typed;

private:
    std::mutex m_hookMutex;
    std::vector<std::string> m_settingsWrites;
    std::vector<int> m_updateChecks;
    std::vector<std::string> m_posted;
    std::vector<NotificationCenter::ObserverId> m_observers;
};

TEST_F(CoreStartupTest, AFirstStartOnAnEmptyHomeWritesAndLoadsTheDefaultProfile)
{
    CAppSettings settings;
    LoadSettings(settings); // what the application does before it starts the core
    GetLog().SetScreenLevel(kLogVerbose);
    app.SetSettings(settings);
    ASSERT_FALSE(fs::exists(home / "Profiles"));

    EXPECT_EQ(app.Start(), -1);

    ASSERT_TRUE(fs::is_regular_file(home / "Profiles" / "default.ppx"));
    EXPECT_EQ(RuleNames(ReadStored("default.ppx")), (std::vector<std::string> { "Localhost", "Default" }));
    EXPECT_EQ(RuleNames(Active(app)), (std::vector<std::string> { "Localhost", "Default" }));
    EXPECT_EQ(app.GetSettings().ActiveProfile, "default");
    EXPECT_TRUE(BoxTexts().empty()) << "a first start is no error";
    EXPECT_EQ(SettingsWrites(), (std::vector<std::string> { "default" }));
    EXPECT_EQ(UpdateChecks(), std::vector<int> { 0 }) << "the update check is on unless switched off";
    EXPECT_TRUE(GetLog().GetLogFolder().ends_with("/Logs"));

    const std::vector<std::string> lines = TakeLogLines();
    const auto welcome = std::find(lines.begin(), lines.end(), kWelcome);
    ASSERT_NE(welcome, lines.end());
    ASSERT_NE(welcome + 1, lines.end());
    EXPECT_EQ(*(welcome + 1), " ");
    EXPECT_TRUE(Contains(lines, "Verbose output enabled."));
    EXPECT_TRUE(Contains(lines, kDefaultLoaded));

    ASSERT_TRUE(waitUntil([&] { return Contains(Posted(), kGlobalUpdatedNotification); }));
    const std::vector<std::string> posted = Posted();
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted[posted.size() - 2], kProfileUpdatedNotification);
    EXPECT_EQ(posted.back(), kGlobalUpdatedNotification);
}

TEST_F(CoreStartupTest, ALaterStartKeepsTheEditedDefaultProfile)
{
    SetActiveName(app, "Default");
    app.Start();
    CProfileData edited = ReadStored("default.ppx");
    CRule mine("Mine");
    mine.m_Action = kActionBlock;
    edited.m_Rules.insert(edited.m_Rules.begin(), mine);
    Store("default.ppx", edited);

    // The settings may never have been written: their fallback name, or the one the default profile sets.
    for (const char* name : { "Default", "default", "DEFAULT" }) {
        SCOPED_TRACE(name);
        CCorvantisAppUI next;
        theApp = &next;
        SetActiveName(next, name);
        ClearRecords();
        EXPECT_EQ(next.Start(), -1);
        EXPECT_EQ(RuleNames(Active(next)), (std::vector<std::string> { "Mine", "Localhost", "Default" }));
        EXPECT_EQ(RuleNames(ReadStored("default.ppx")), (std::vector<std::string> { "Mine", "Localhost", "Default" }));
        EXPECT_FALSE(Contains(TakeLogLines(), kDefaultLoaded));
        EXPECT_TRUE(BoxTexts().empty());
        theApp = &app;
    }
    EXPECT_EQ(FilesIn(ProfilesDir()), (std::vector<std::string> { "default.ppx" }));
}

TEST_F(CoreStartupTest, AProfileThatCannotBeLoadedFallsBackToTheDefaultProfile)
{
    struct Case {
        const char* name;
        const char* activeName;
        const char* fileName; // written with `content`; null for no file
        const char* content;
        bool readErrorShown;
        bool warned;
    } cases[] = {
        { "named profile without a file", "Office", nullptr, nullptr, false, true },
        { "named profile with a bad port", "Office", "Office.ppx",
            "<CorvantisProfile version=\"101\"><ProxyList><Proxy id=\"1\" type=\"SOCKS5\"><Address>h</Address>"
            "<Port>x</Port></Proxy></ProxyList></CorvantisProfile>",
            true, true },
        { "named profile of another product", "Office", "Office.ppx", "<Other/>", true, true },
        { "default profile that is broken", "Default", "default.ppx", "not a profile", true, false },
        // Only the parser's repairing pass could read it: the proxy and the rules after the cut are gone.
        { "named profile cut short", "Office", "Office.ppx",
            "<?xml version=\"1.0\"?>\n<CorvantisProfile version=\"101\" product_id=\"2\" product_minver=\"200\">\n"
            "  <ProxyList>\n    <Proxy id=\"100\" type=\"SOCKS5\">\n      <Address>proxy.example</Address>\n"
            "      <Port>1080</Port>\n    </Proxy>\n  </ProxyList>\n  <RuleList>\n    <Rule enabled=\"true\">\n"
            "      <Name>Web</Name>\n      <Action type=\"Block\"/>\n    </Rule>\n    <Rule enabled=\"true\">\n"
            "      <Name>Default</Name>\n      <Action type=\"Proxy\">100</Act",
            true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(ProfilesDir());
        if (c.fileName) {
            fs::create_directories(ProfilesDir());
            std::ofstream(ProfilesDir() + "/" + c.fileName) << c.content;
        }
        SetActiveName(app, c.activeName);
        app.SetProfile(CProfileData(), false);
        ClearRecords();

        EXPECT_EQ(app.Start(), -1);

        std::vector<std::string> expected;
        const std::vector<std::string> shown = BoxTexts();
        if (c.readErrorShown) {
            ASSERT_FALSE(shown.empty());
            EXPECT_NE(shown[0], kWarning) << "the reason comes first";
            expected.push_back(shown[0]);
        }
        if (c.warned)
            expected.push_back(kWarning);
        EXPECT_EQ(shown, expected);
        for (const test::AskedBox& box : Boxes())
            EXPECT_EQ(box.flags, 0);
        EXPECT_EQ(app.GetSettings().ActiveProfile, "default");
        EXPECT_EQ(RuleNames(Active(app)), (std::vector<std::string> { "Localhost", "Default" }));
        EXPECT_TRUE(Contains(TakeLogLines(), kDefaultLoaded));
        if (c.fileName) {
            std::ifstream in(ProfilesDir() + "/" + c.fileName);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.content) << "the broken file is kept";
        }
    }
}

TEST_F(CoreStartupTest, AStartLeavesTheActiveProfileFileAsItWas)
{
    // Written by hand: a comment, an element this version does not know, its own layout and order.
    const std::string kHandWritten = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!-- Office profile, kept in the team's repository -->\n"
                                     "<CorvantisProfile version=\"101\" platform=\"MacOSX\" product_id=\"2\" "
                                     "product_minver=\"200\">\n"
                                     "\t<RuleList>\n"
                                     "\t\t<Rule enabled=\"true\"><Name>Web</Name><Ports>80;443</Ports>"
                                     "<Action type=\"Block\"/></Rule>\n"
                                     "\t</RuleList>\n"
                                     "\t<Options><FutureOption enabled=\"true\"/></Options>\n"
                                     "</CorvantisProfile>\n";
    for (const char* activeName : { "Office", "default" }) {
        SCOPED_TRACE(activeName);
        fs::remove_all(ProfilesDir());
        fs::create_directories(ProfilesDir());
        const std::string path = ProfilesDir() + "/" + activeName + ".ppx";
        std::ofstream(path, std::ios::binary) << kHandWritten;
        SetActiveName(app, activeName);
        ClearRecords();

        EXPECT_EQ(app.Start(), -1);

        EXPECT_EQ(app.GetSettings().ActiveProfile, activeName);
        EXPECT_EQ(RuleNames(Active(app)), (std::vector<std::string> { "Web", "Default" }));
        EXPECT_TRUE(BoxTexts().empty());
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kHandWritten);
        EXPECT_EQ(FilesIn(ProfilesDir()), std::vector<std::string> { std::string(activeName) + ".ppx" });
    }
}

TEST_F(CoreStartupTest, AMasterPasswordProfileAsksForItsPasswordAtStart)
{
    struct Case {
        const char* name;
        std::deque<std::string> typed;
        std::deque<bool> answers;
        std::vector<std::string> shown;
        const char* activeAfter;
        std::vector<std::string> passwords;
        std::string fileOpensWith;
    } cases[] = {
        { "right password", { "right" }, {}, {}, "Vault", { "alpha", "beta", "" }, "right" },
        { "wrong twice, reset declined", { "wrong", "wrong" }, { false }, { kIncorrect, kWarning }, "default", {},
            "right" },
        { "wrong, reset with a new password", { "wrong", "fresh" }, { true }, { kIncorrect }, "Vault", { "", "", "" },
            "fresh" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(ProfilesDir());
        Store("Vault.ppx", SampleProfile(kEncryptionMaster, "right"));
        SetActiveName(app, "Vault");
        ClearRecords();
        typed = c.typed;
        answers = c.answers;

        EXPECT_EQ(app.Start(), -1);

        EXPECT_EQ(BoxTexts(), c.shown);
        if (!c.shown.empty()) {
            EXPECT_EQ(Boxes()[0].flags, 0x98);
        }
        EXPECT_EQ(app.GetSettings().ActiveProfile, c.activeAfter);
        if (std::string(c.activeAfter) == "Vault") {
            EXPECT_EQ(Passwords(app), c.passwords);
        } else {
            EXPECT_EQ(RuleNames(Active(app)), (std::vector<std::string> { "Localhost", "Default" }));
        }
        CProfileData stored = ReadStored("Vault.ppx");
        EXPECT_EQ(
            ApplyProfilePasswords(stored, "Vault", "", c.fileOpensWith, false, false).code, ProfileLoadStatus::kSuccess)
            << "the file stays keyed by the password the user last chose";
    }
}

TEST_F(CoreStartupTest, ABigTrafficDumpFolderOffersToSwitchDumpingOff)
{
    const std::string kSize = "Warning! The size of the directory with traffic dumps is more than 500 Mb.\nDo you want "
                              "to disable traffic logging?";
    const std::string kFiles = "Warning! The directory size with traffic dumps contains more than 1000 files.\nDo "
                               "you want to disable traffic logging?";
    struct Case {
        const char* name;
        uintmax_t bytes; // size of one of the files
        int files;
        bool yes;
        std::string question; // empty: none
        bool dumpingAfter;
    } cases[] = {
        { "500 MiB in 1000 files", 524288000, 1000, true, "", true },
        { "one byte more", 524288001, 1, true, kSize, false },
        { "one byte more, kept on", 524288001, 1, false, kSize, true },
        { "1001 files", 0, 1001, true, kFiles, false },
        { "too big and too many: the size is asked", 524288001, 1001, true, kSize, false },
    };
    const fs::path traffic = home / "Traffic";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(traffic);
        fs::remove_all(ProfilesDir());
        fs::create_directories(traffic);
        for (int i = 0; i < c.files; ++i)
            std::ofstream(traffic / ("dump" + std::to_string(i)));
        fs::resize_file(traffic / "dump0", c.bytes); // sparse: takes no disk space
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = "default";
        settings.TrafficLogEnabled = true;
        app.SetSettings(settings);
        ClearRecords();
        answers = { c.yes };

        app.Start();

        const std::vector<test::AskedBox> shown = Boxes();
        if (c.question.empty()) {
            EXPECT_TRUE(shown.empty());
        } else {
            ASSERT_FALSE(shown.empty());
            EXPECT_EQ(shown[0].text, c.question);
            EXPECT_EQ(shown[0].flags, 136);
        }
        EXPECT_EQ(app.GetSettings().TrafficLogEnabled, c.dumpingAfter);
        // Switching dumping off is stored at once, before the default profile is.
        const std::vector<std::string> writes = SettingsWrites();
        EXPECT_EQ(writes.size(), c.dumpingAfter ? 1u : 2u);
        EXPECT_TRUE(Contains(TakeLogLines(), "Traffic log enabled " + traffic.string()));
    }
}

TEST_F(CoreStartupTest, StartStartsTheUpdateCheckAndTheProfileAutoUpdateWhenAsked)
{
    const std::string kMismatch
        = "(Profile Auto Update) - Current profile name does not match the update. Update skipped.";
    for (bool updateCheck : { false, true }) {
        for (bool autoUpdate : { false, true }) {
            SCOPED_TRACE(std::to_string(updateCheck) + std::to_string(autoUpdate));
            CCorvantisAppUI started;
            theApp = &started;
            CAppSettings settings;
            settings.ActiveProfile = "default";
            settings.UpdateCheck = updateCheck;
            settings.ProfileAutoUpdate = autoUpdate;
            // A file URL of another profile: the update ends before it goes on the network.
            settings.ProfileAutoUpdateUrl = "http://127.0.0.1:9/Other.ppx";
            started.SetSettings(settings);
            ClearRecords();

            started.Start();
            started.StopBackgroundThreads(); // waits for the update thread

            EXPECT_EQ(UpdateChecks(), updateCheck ? std::vector<int> { 0 } : std::vector<int> {});
            const std::vector<std::string> lines = TakeLogLines();
            EXPECT_EQ(Contains(lines, "(Profile Auto Update) - Update started."), autoUpdate);
            EXPECT_EQ(Contains(lines, kMismatch), autoUpdate);
            theApp = &app;
        }
    }
}

TEST_F(CoreStartupTest, SaveProfileAsAsksBeforeItReplacesAFile)
{
    CProfileData old = NewProfileData();
    old.m_Rules.insert(old.m_Rules.begin(), CRule("Old"));
    CProfileData mine = NewProfileData();
    mine.m_Rules.insert(mine.m_Rules.begin(), CRule("Mine"));
    struct Case {
        const char* name;
        const char* existing; // a file there before, holding the rule "Old"; null for none
        const char* saveAs;
        std::deque<bool> answers;
        bool saved;
        const char* fileAfter; // the file that holds the profile afterwards
    } cases[] = {
        { "new name", nullptr, "Office", {}, true, "Office.ppx" },
        { "replace accepted", "Office.ppx", "Office", { true }, true, "Office.ppx" },
        { "replace declined", "Office.ppx", "Office", { false }, false, "Office.ppx" },
        { "other letter case, declined", "office.ppx", "Office", { false }, false, "office.ppx" },
        { "other letter case, accepted: the one file is replaced", "office.ppx", "Office", { true }, true,
            "office.ppx" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(ProfilesDir());
        if (c.existing)
            Store(c.existing, old);
        SetActiveName(app, "default");
        app.SetProfile(mine, false);
        ClearRecords();
        answers = c.answers;

        EXPECT_EQ(app.SaveProfileAs(c.saveAs), c.saved);

        const std::vector<test::AskedBox> shown = Boxes();
        if (c.existing) {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text, "Profile with this name already exists.\nDo you want to overwrite it?");
            EXPECT_EQ(shown[0].flags, 8);
        } else {
            EXPECT_TRUE(shown.empty());
        }
        EXPECT_EQ(app.GetSettings().ActiveProfile, c.saved ? c.saveAs : "default");
        EXPECT_EQ(SettingsWrites(), c.saved ? std::vector<std::string> { c.saveAs } : std::vector<std::string> {});
        EXPECT_EQ(RuleNames(ReadStored(c.fileAfter))[0], c.saved ? "Mine" : "Old");
        EXPECT_EQ(FilesIn(ProfilesDir()).size(), 1u) << "no second file in another letter case";
    }
}

TEST_F(CoreStartupTest, SaveProfileAsThatCannotWriteKeepsTheNameAndSaysSo)
{
    struct Case {
        const char* name;
        const char* saveAs;
        bool profilesIsAFile;
    } cases[] = {
        { "the Profiles folder cannot be made", "Office", true },
        { "a name that cannot be a file name", "a/b", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(ProfilesDir());
        if (c.profilesIsAFile)
            std::ofstream(ProfilesDir()) << "in the way";
        SetActiveName(app, "Home");
        app.SetProfile(NewProfileData(), false);
        ClearRecords();

        EXPECT_FALSE(app.SaveProfileAs(c.saveAs));

        EXPECT_EQ(app.GetSettings().ActiveProfile, "Home");
        EXPECT_TRUE(SettingsWrites().empty());
        const std::vector<test::AskedBox> shown = Boxes();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].text.starts_with("Cannot save profile \"" + std::string(c.saveAs) + "\"."))
            << shown[0].text;
        EXPECT_NE(shown[0].flags & kMbCritical, 0);
    }
}

TEST_F(CoreStartupTest, DiscardingTheUnnamedProfileNeedsTheUsersConsent)
{
    const std::string kQuestion
        = "You didn't save active profile with a name. All current settings will be lost. Do you want to continue?";
    struct Case {
        const char* activeName;
        std::deque<bool> answers;
        bool asked;
        bool result;
    } cases[] = {
        { "default", { true }, true, true },
        { "Default", { false }, true, false },
        { "DEFAULT", { true }, true, true },
        { "Office", { false }, false, true },
        { "defaults", { false }, false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.activeName);
        SetActiveName(app, c.activeName);
        ClearRecords();
        answers = c.answers;
        EXPECT_EQ(ConfirmDiscardUnnamedProfile(), c.result);
        const std::vector<test::AskedBox> shown = Boxes();
        EXPECT_EQ(shown.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_EQ(shown[0].text, kQuestion);
            EXPECT_EQ(shown[0].flags, 88);
        }
    }
}

TEST(VersionSuffixTest, TheReleaseLabelComesFromTheVersionText)
{
    struct Case {
        const char* version;
        const char* label;
    } cases[] = {
        { "3.12.2", "" }, { "3.13b4", "Beta 4" }, { "3.13fc1", "RC" }, { "3.13a2", "Alpha 2" }, { "3.13d7", "Dev 7" },
        { "3.13bd1", "Dev 1" }, // "d" is looked for before "b"
    };
    for (const Case& c : cases)
        EXPECT_EQ(MakeVersionSuffix(c.version), c.label) << c.version;
    EXPECT_EQ(CCorvantisAppUI().GetVersionSuffix(), "");
}

} // namespace
} // namespace corvantis
