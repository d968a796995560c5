#include "core/profile/CorvantisApp.h"

#include "core/profile/CorvantisAppUI.h"

#include "core/foundation/LogContext.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/RuleLookup.h"
#include "tests/profile/ProfileServer.h"
#include "tests/profile/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::AuthProxy;
using test::Passwords;
using test::SampleProfile;

const std::string kStarted = "(Profile Auto Update) - Update started.";
const std::string kDownloaded = "(Profile Auto Update) - New profile has been downloaded.";
const std::string kMismatch = "(Profile Auto Update) - Current profile name does not match the update. Update skipped.";
const std::string kNotFound
    = "(Profile Auto Update) - Current profile was not found on the web server. Update skipped.";

std::string Updated(const std::string& name)
{
    return "(Profile Auto Update) - Profile " + name + " has been successfully updated from the remote server.";
}

std::vector<std::string> RuleNames(const CProfileData& profile)
{
    std::vector<std::string> names;
    for (const CRule& rule : profile.m_Rules)
        names.push_back(rule.m_Name);
    return names;
}

// The profile the server holds: one rule of its own in front of the default rule.
CProfileData Remote(const std::string& ruleName)
{
    CProfileData profile;
    CRule rule(ruleName);
    rule.m_Action = kActionBlock;
    profile.m_Rules.push_back(rule);
    profile.AddDefaultRule();
    return profile;
}

// The lines of the update, in order, without the other lines of the log.
std::vector<std::string> UpdateLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> update;
    for (const std::string& line : lines)
        if (line.starts_with("(Profile Auto Update)"))
            update.push_back(line);
    return update;
}

// An active profile and a web server that holds profiles.
class ProfileAutoUpdateTest : public test::StorageFixture<test::ScriptedPasswordApp> {
protected:
    // Makes `profile` the active profile `name`, saved in its file.
    void Activate(const std::string& name, const CProfileData& profile)
    {
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = name;
        app.SetSettings(settings);
        ASSERT_TRUE(app.SetProfile(profile, true));
        boxes.clear();
        TakeLogLines();
    }

    CProfileData Active()
    {
        CProfileData profile;
        app.GetProfile(profile, false);
        return profile;
    }

    CProfileData Stored(const std::string& name)
    {
        CProfileData read;
        const ProfileLoadStatus status = ReadProfileFile(read, GetProfileFilePath(name));
        EXPECT_TRUE(status.ok()) << status.message;
        return read;
    }

    test::ProfileServer server;
};

TEST_F(ProfileAutoUpdateTest, TheServedProfileReplacesTheActiveOne)
{
    server.Put("Office.ppx", Remote("From the server"));
    server.Put("My Office.ppx", Remote("With a blank"));
    struct Case {
        const char* name;
        const char* active;
        std::string url;
        bool isFolder;
        const char* rule; // the first rule afterwards
    } cases[] = {
        { "folder", "Office", server.Base(), true, "From the server" },
        { "file", "Office", server.Url("Office.ppx"), false, "From the server" },
        { "file named in another letter case", "office", server.Url("Office.ppx"), false, "From the server" },
        { "folder, name with a blank", "My Office", server.Base(), true, "With a blank" },
        { "file, name with a blank", "My Office", server.Url("My%20Office.ppx"), false, "With a blank" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Activate(c.active, NewProfileData());

        EXPECT_TRUE(app.ProfileAutoUpdate(c.url, c.isFolder, false));

        const std::vector<std::string> expected { kStarted, kDownloaded, Updated(c.active) };
        EXPECT_EQ(UpdateLines(TakeLogLines()), expected);
        EXPECT_EQ(RuleNames(Active()), (std::vector<std::string> { c.rule, "Default" }));
        EXPECT_EQ(RuleNames(Stored(c.active)), (std::vector<std::string> { c.rule, "Default" }))
            << "the update is saved to the active profile's file";
        EXPECT_TRUE(Boxes().empty());
    }
}

TEST_F(ProfileAutoUpdateTest, AnUpdateForAnotherOrAMissingProfileIsSkipped)
{
    server.Put("Home.ppx", Remote("Home rule"));
    struct Case {
        const char* name;
        std::string url;
        bool isFolder;
        std::vector<std::string> lines;
        bool fetched; // an error about the download is shown
    } cases[] = {
        { "file of another profile", server.Url("Home.ppx"), false, { kStarted, kMismatch }, false },
        { "URL without a file name", "Office.ppx", false, { kStarted, kMismatch }, false },
        { "file missing on the server", server.Url("Office.ppx"), false, { kStarted, kNotFound }, true },
        { "folder without the profile", server.Base(), true, { kStarted, kNotFound }, true },
        { "server that does not answer", "http://127.0.0.1:9/", true, { kStarted, kNotFound }, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Activate("Office", NewProfileData());

        EXPECT_FALSE(app.ProfileAutoUpdate(c.url, c.isFolder, false));

        EXPECT_EQ(UpdateLines(TakeLogLines()), c.lines);
        EXPECT_EQ(RuleNames(Active()), (std::vector<std::string> { "Localhost", "Default" }));
        EXPECT_EQ(RuleNames(Stored("Office")), (std::vector<std::string> { "Localhost", "Default" }));
        const std::vector<std::string> shown = BoxTexts();
        if (c.fetched) {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_TRUE(shown[0].starts_with("Cannot open ")) << shown[0];
        } else {
            EXPECT_TRUE(shown.empty());
        }
    }
}

TEST_F(ProfileAutoUpdateTest, TheUsersLoginDetailsAreKeptWhenAsked)
{
    CProfileData mine = NewProfileData();
    mine.m_Proxies.push_back(AuthProxy("one.example", 1080, 100, "my secret"));
    mine.m_Proxies.back().m_UserName = "me";
    mine.m_Proxies.push_back(AuthProxy("two.example", 1081, 101, "two secret"));
    mine.m_Proxies.back().m_UserName = "me too";

    CProfileData remote = Remote("Remote");
    remote.m_EncryptionMode = kEncryptionBasic;
    remote.m_Proxies.push_back(AuthProxy("one.example", 1080, 200, "theirs")); // the same proxy
    remote.m_Proxies.push_back(AuthProxy("one.example", 1080, 201, "theirs")); // same host text, other type
    remote.m_Proxies.back().m_Type = kProxyHttps;
    remote.m_Proxies.push_back(AuthProxy("one.example", 1090, 202, "theirs")); // another port
    CProxy open("two.example", 1081, kProxySocks5, 203); // the same proxy, without authentication
    remote.m_Proxies.push_back(open);
    server.Put("Office.ppx", remote);

    struct Case {
        bool keep;
        std::vector<std::string> users;
        std::vector<std::string> passwords;
        std::vector<std::string> saved; // login lines
    } cases[] = {
        { false, { "user200", "user201", "user202", "" }, { "theirs", "theirs", "theirs", "" }, {} },
        { true, { "me", "user201", "user202", "" }, { "my secret", "theirs", "theirs", "" },
            { "(Profile Auto Update) - Saving login details for proxy one.example:1080" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keep);
        Activate("Office", mine);

        ASSERT_TRUE(app.ProfileAutoUpdate(server.Base(), true, c.keep));

        std::vector<std::string> users;
        for (const CProxy& proxy : Active().m_Proxies)
            users.push_back(proxy.m_UserName);
        EXPECT_EQ(users, c.users);
        EXPECT_EQ(Passwords(app), c.passwords);
        std::vector<std::string> saved;
        for (const std::string& line : TakeLogLines())
            if (line.find("Saving login details") != std::string::npos)
                saved.push_back(line);
        EXPECT_EQ(saved, c.saved);
    }
}

TEST_F(ProfileAutoUpdateTest, AProtectedProfileStaysProtected)
{
    const std::string guid = GetCurrentUserGUID();
    ASSERT_FALSE(guid.empty());
    server.Put("Office.ppx", SampleProfile(kEncryptionBasic));
    struct Case {
        const char* name;
        int currentMode;
        const char* currentKey;
        bool keep;
        int modeAfter;
        std::string keyAfter; // also the key the saved file opens with
    } cases[] = {
        { "master password", kEncryptionMaster, "mine", false, kEncryptionMaster, "mine" },
        { "master password, keeping credentials", kEncryptionMaster, "mine", true, kEncryptionMaster, "mine" },
        { "account key", kEncryptionAccount, "", false, kEncryptionAccount, guid },
        { "no protection", kEncryptionDisabled, "", false, kEncryptionBasic, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Activate("Office", SampleProfile(c.currentMode, c.currentMode == kEncryptionAccount ? guid : c.currentKey));

        ASSERT_TRUE(app.ProfileAutoUpdate(server.Base(), true, c.keep));

        const CProfileData active = Active();
        EXPECT_EQ(active.m_EncryptionMode, c.modeAfter);
        EXPECT_EQ(active.m_MasterPassword, c.keyAfter);
        EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
        CProfileData stored = Stored("Office");
        EXPECT_EQ(stored.m_EncryptionMode, c.modeAfter);
        EXPECT_EQ(
            ApplyProfilePasswords(stored, "Office", guid, c.keyAfter, false, false).code, ProfileLoadStatus::kSuccess);
        if (c.modeAfter == kEncryptionMaster) {
            CProfileData guess = Stored("Office");
            EXPECT_EQ(ApplyProfilePasswords(guess, "Office", guid, "", false, false).code,
                ProfileLoadStatus::kWrongMasterPassword);
        }
    }
}

TEST_F(ProfileAutoUpdateTest, AMasterPasswordProfileOnTheServerAsksForItsPassword)
{
    server.Put("Office.ppx", SampleProfile(kEncryptionMaster, "served"));
    Activate("Office", NewProfileData());
    app.typed = { "served" };

    ASSERT_TRUE(app.ProfileAutoUpdate(server.Base(), true, false));

    EXPECT_EQ(app.Prompts(), 1);
    EXPECT_EQ(app.queries.back().name, "Office");
    EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
    EXPECT_EQ(Active().m_MasterPassword, "served");
}

// The application's object, whose password dialog lets the test act while an update waits for the password.
class AppAutoUpdateTest : public test::StorageFixture<CCorvantisAppUI> {
protected:
    void SetUp() override
    {
        test::StorageFixture<CCorvantisAppUI>::SetUp();
        CoreHooks hooks;
        hooks.getPassword = [this](bool, bool& wantToSave) -> std::optional<std::string> {
            wantToSave = false;
            if (whilePrompted)
                whilePrompted();
            return std::string("served");
        };
        Install(std::move(hooks));
    }

    void SetActiveName(const std::string& name)
    {
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = name;
        app.SetSettings(settings);
    }

    test::ProfileServer server;
    std::function<void()> whilePrompted;
};

TEST_F(AppAutoUpdateTest, AnUpdateNeverLandsInAProfileTheUserSwitchedTo)
{
    CProfileData home = NewProfileData();
    home.m_Rules.insert(home.m_Rules.begin(), CRule("Home rule"));
    SetActiveName("Home");
    ASSERT_TRUE(app.SetProfile(home, true));
    SetActiveName("Office");
    ASSERT_TRUE(app.SetProfile(NewProfileData(), true));
    server.Put("Office.ppx", SampleProfile(kEncryptionMaster, "served"));
    TakeLogLines();
    // The user selects "Home" while the update asks for the password of the downloaded "Office".
    whilePrompted = [&] { SetActiveName("Home"); };

    EXPECT_FALSE(app.ProfileAutoUpdate(server.Base(), true, false));

    EXPECT_EQ(UpdateLines(TakeLogLines()),
        (std::vector<std::string> { kStarted, kDownloaded,
            "(Profile Auto Update) - Active profile changed during the update. Update skipped." }));
    CProfileData stored;
    ASSERT_TRUE(ReadProfileFile(stored, ProfilesDir() + "/Home.ppx").ok());
    EXPECT_EQ(RuleNames(stored), (std::vector<std::string> { "Home rule", "Localhost", "Default" }));
    EXPECT_TRUE(stored.m_Proxies.empty());
}

// ---- The loop-prevention rule ----

class LoopPreventionRuleTest : public test::StorageFixture<test::ScriptedPasswordApp> {
protected:
    void SetUp() override
    {
        test::StorageFixture<test::ScriptedPasswordApp>::SetUp();
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = "Office";
        app.SetSettings(settings);
        app.SetProfile(NewProfileData(), false);
        TakeLogLines();
    }

    CProfileData Active()
    {
        CProfileData profile;
        app.GetProfile(profile, false);
        return profile;
    }
};

TEST_F(LoopPreventionRuleTest, TheRuleGoesFirstAndTakesTheApplication)
{
    struct Case {
        const char* application;
        bool block;
        std::string ruleName;
        int action;
        std::string appsText;
        std::string processName; // as the rule lookup sees the application
    } cases[] = {
        { "curl", false, "curl [auto-created]", kActionDirect, "curl", "curl" },
        { "My App", true, "\"My App\" [auto-created]", kActionBlock, "\"My App\"", "my app" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.application);
        app.SetProfile(NewProfileData(), false);

        app.CreateLoopPreventionRule(c.application, c.block, c.block);

        const CProfileData profile = Active();
        ASSERT_EQ(RuleNames(profile), (std::vector<std::string> { c.ruleName, "Localhost", "Default" }));
        const CRule& rule = profile.m_Rules[0];
        EXPECT_EQ(rule.m_Action, c.action);
        EXPECT_TRUE(rule.m_Enabled);
        EXPECT_EQ(rule.m_Apps, (std::vector<std::string> { c.application }));
        EXPECT_EQ(rule.m_AppsText, c.appsText);
        CLogContext self;
        self.bsdName = c.processName;
        CLogContext other;
        other.bsdName = "other";
        EXPECT_TRUE(RuleMatches(rule, self, nullptr, &app));
        EXPECT_FALSE(RuleMatches(rule, other, nullptr, &app));

        const std::string quoted = c.appsText;
        const std::vector<std::string> lines = TakeLogLines();
        EXPECT_NE(
            std::find(lines.begin(), lines.end(), quoted + " - Infinite loop prevention rule created"), lines.end());
        CProfileData stored;
        ASSERT_TRUE(ReadProfileFile(stored, ProfilesDir() + "/Office.ppx").ok()) << "saved to the active file";
        EXPECT_EQ(RuleNames(stored), RuleNames(profile));
        EXPECT_TRUE(Boxes().empty());
    }
}

TEST_F(LoopPreventionRuleTest, ARepeatedRuleReplacesItselfOnlyWhileItIsFirst)
{
    app.CreateLoopPreventionRule("curl", false, false);
    app.CreateLoopPreventionRule("curl", false, false);
    EXPECT_EQ(RuleNames(Active()), (std::vector<std::string> { "curl [auto-created]", "Localhost", "Default" }));

    app.CreateLoopPreventionRule("wget", false, false);
    app.CreateLoopPreventionRule("curl", false, true);
    const CProfileData profile = Active();
    EXPECT_EQ(RuleNames(profile),
        (std::vector<std::string> {
            "curl [auto-created]", "wget [auto-created]", "curl [auto-created]", "Localhost", "Default" }));
    EXPECT_EQ(profile.m_Rules[0].m_Action, kActionBlock);
}

TEST_F(LoopPreventionRuleTest, ANameThatCannotBeARuleChangesNothing)
{
    struct Case {
        const char* application;
        bool quiet;
    } cases[] = {
        { "bad|name", false }, { "bad|name", true }, { "two\"quotes here", false },
        { "", false }, // would take every application
        { "one;two", true }, // would take two applications
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.application);
        boxes.clear();
        TakeLogLines();

        app.CreateLoopPreventionRule(c.application, c.quiet, true);

        EXPECT_EQ(RuleNames(Active()), (std::vector<std::string> { "Localhost", "Default" }));
        EXPECT_FALSE(fs::exists(ProfilesDir() + "/Office.ppx"));
        const std::vector<std::string> lines = TakeLogLines();
        ASSERT_EQ(lines.size(), 1u);
        const std::string marker = " - Infinite loop prevention rule cannot be created. Error: ";
        const size_t at = lines[0].find(marker);
        ASSERT_NE(at, std::string::npos) << lines[0];
        const std::string error = lines[0].substr(at + marker.size());
        EXPECT_FALSE(error.empty());
        const std::vector<test::AskedBox> shown = Boxes();
        if (c.quiet) {
            EXPECT_TRUE(shown.empty()) << "the application shows no notices";
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text, "Cannot create a rule" + std::string("Error: ") + error);
            EXPECT_EQ(shown[0].flags, kMbCritical);
        }
    }
}

} // namespace
} // namespace corvantis
