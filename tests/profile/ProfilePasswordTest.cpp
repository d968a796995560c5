#include "core/profile/ProfileStorage.h"

#include "core/foundation/DataCrypt.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileFile.h"
#include "tests/profile/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::Passwords;
using test::SampleProfile;

const std::string kIncorrect
    = "Incorrect password.\n\nDo you want to reset profile master password (all proxy passwords will be lost)?";
const std::string kEmptyNew = "The new master password is empty.\n\nDo you want to reset profile master password (all "
                              "proxy passwords will be lost)?";
const std::string kAccountQuestion
    = "Cannot decrypt profile data with current user credentials. All proxy passwords will be reset.\n\nContinue?";
const std::vector<std::string> kPlain { "alpha", "beta", "" };
const std::vector<std::string> kEmptied { "", "", "" };
// The account key of another user on another machine.
const std::string kOtherGuid = "11111111-2222-5333-8444-555555555555";

std::string Encrypt(uint32_t mode, const std::string& key, const std::string& text)
{
    std::string encrypted;
    std::string error;
    EXPECT_TRUE(CDataCrypt(mode, key).EncryptString(text, encrypted, error)) << error;
    return encrypted;
}

class ProfilePasswordTest : public test::StorageFixture<test::ScriptedPasswordApp> {
protected:
    void Store(const std::string& name, const CProfileData& profile)
    {
        fs::create_directories(ProfilesDir());
        std::string error;
        ASSERT_TRUE(SaveProfileToFile(profile, ProfilesDir() + "/" + name + ".ppx", kProfileSilent, &error)) << error;
    }

    CProfileData Active()
    {
        CProfileData profile;
        app.GetProfile(profile, false);
        return profile;
    }
};

TEST_F(ProfilePasswordTest, MasterPasswordQuestions)
{
    struct Case {
        const char* name;
        std::string cached;
        std::deque<std::string> typed;
        std::deque<bool> answers;
        unsigned flags;
        bool loads;
        int prompts;
        std::vector<std::string> questions;
        std::vector<std::string> passwords; // of the active profile afterwards
        std::string key; // the active profile's key afterwards
    } cases[] = {
        { "cached password", "right", {}, {}, 0, true, 0, {}, kPlain, "right" },
        { "stale cache, typed again without a question", "stale", { "right" }, {}, 0, true, 1, {}, kPlain, "right" },
        { "second wrong password, reset declined", "stale", { "wrong" }, { false }, 0, false, 1, { kIncorrect }, {},
            "" },
        { "reset accepted with a new password", "stale", { "wrong", "fresh" }, { true }, 0, true, 2, { kIncorrect },
            kEmptied, "fresh" },
        { "reset accepted, new password cancelled", "", { "wrong", "" }, { true, false }, 0, false, 2,
            { kIncorrect, kEmptyNew }, {}, "" },
        { "silent", "stale", { "wrong" }, { true }, kProfileSilent, false, 1, {}, {}, "" },
    };
    Store("Vault", SampleProfile(kEncryptionMaster, "right"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app.SetProfile(CProfileData(), false);
        app.cached = c.cached;
        app.typed = c.typed;
        app.queries.clear();
        answers = c.answers;
        boxes.clear();
        TakeLogLines();

        EXPECT_EQ(LoadProfileByName("Vault", c.flags, false), c.loads);
        EXPECT_EQ(app.Prompts(), c.prompts);
        EXPECT_EQ(BoxTexts(), c.questions);
        for (const test::AskedBox& box : Boxes())
            EXPECT_EQ(box.flags, 0x98);
        EXPECT_EQ(Passwords(app), c.passwords);
        EXPECT_EQ(Active().m_MasterPassword, c.key);
        const std::vector<std::string> lines = TakeLogLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Profile \"Vault\" loaded."), c.loads ? 1 : 0);
        ASSERT_FALSE(app.queries.empty());
        EXPECT_TRUE(app.queries[0].fromCache);
    }
}

TEST_F(ProfilePasswordTest, AResetProfileIsKeyedByTheNewMasterPasswordNeverByAnEmptyOne)
{
    Store("Vault", SampleProfile(kEncryptionMaster, "right"));
    app.cached = "lost";
    app.typed = { "forgotten", "fresh" };
    answers = { true };
    bool storedChanged = false;
    ASSERT_TRUE(LoadProfileByName("Vault", 0, true, &storedChanged));
    EXPECT_TRUE(storedChanged);

    // The file now opens with the new password only.
    CProfileData read;
    ASSERT_TRUE(ReadProfileFile(read, ProfilesDir() + "/Vault.ppx").ok());
    for (const char* guess : { "", "right" }) {
        CProfileData attempt = read;
        EXPECT_EQ(ApplyProfilePasswords(attempt, "Vault", "", guess, false, false).code,
            ProfileLoadStatus::kWrongMasterPassword)
            << guess;
    }
    EXPECT_EQ(ApplyProfilePasswords(read, "Vault", "", "fresh", false, false).code, ProfileLoadStatus::kSuccess);
}

TEST_F(ProfilePasswordTest, AnotherAccountsProfileAsksAndBecomesThisAccounts)
{
    const std::string guid = GetCurrentUserGUID();
    ASSERT_FALSE(guid.empty()) << "this machine has no machine id";
    Store("Moved", SampleProfile(kEncryptionAccount, kOtherGuid));

    answers = { false };
    EXPECT_FALSE(LoadProfileByName("Moved", 0, false));
    EXPECT_EQ(BoxTexts(), (std::vector<std::string> { kAccountQuestion }));
    EXPECT_FALSE(LoadProfileByName("Moved", kProfileSilent, false));
    EXPECT_EQ(Boxes().size(), 1u) << "silent loads ask nothing";
    EXPECT_TRUE(Passwords(app).empty());

    answers = { true };
    ASSERT_TRUE(LoadProfileByName("Moved", 0, true));
    EXPECT_EQ(Passwords(app), kEmptied);
    EXPECT_EQ(Active().m_MasterPassword, guid);
    EXPECT_EQ(app.Prompts(), 0) << "account mode never asks for a password";

    // Saved under this account's key, it loads without a question from now on.
    boxes.clear();
    ASSERT_TRUE(LoadProfileByName("Moved", 0, false));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProfilePasswordTest, ThisAccountsProfileLoadsWithoutQuestions)
{
    Store("Mine", SampleProfile(kEncryptionAccount, GetCurrentUserGUID()));
    ASSERT_TRUE(LoadProfileByName("Mine", 0, false));
    EXPECT_EQ(Passwords(app), kPlain);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProfilePasswordTest, AProxyPasswordThatCannotBeDecryptedIsResetOnlyWhenAccepted)
{
    // A profile as read: stored texts, one of them damaged, and a proxy that stores no password at all.
    CProfileData asRead = SampleProfile(kEncryptionBasic);
    asRead.m_Proxies[0].m_Password = Encrypt(CDataCrypt::kModeBasic, "", "alpha");
    asRead.m_Proxies[1].m_Password = "AAEC";
    const std::vector<std::string> stored = Passwords(asRead);

    CProfileData declined = asRead;
    ProfileLoadStatus status;
    answers = { false };
    EXPECT_FALSE(LoadProfileWithPassword(declined, status, "Office", 0));
    EXPECT_EQ(status.code, ProfileLoadStatus::kProxyPasswordFailed);
    EXPECT_EQ(Passwords(declined), stored) << "a failed step changes no stored text";
    const std::vector<std::string> asked = BoxTexts();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].rfind("Cannot decrypt password for proxy two.example:1081\nError: ", 0), 0u) << asked[0];
    const std::string tail = "\nThe password will be reset.\n\nContinue?";
    EXPECT_EQ(asked[0].substr(asked[0].size() - tail.size()), tail);

    CProfileData accepted = asRead;
    status = {};
    answers = { true };
    bool storedChanged = false;
    ASSERT_TRUE(LoadProfileWithPassword(accepted, status, "Office", 0, &storedChanged));
    EXPECT_EQ(Passwords(accepted), (std::vector<std::string> { "alpha", "", "" }));
    EXPECT_EQ(Boxes().size(), 2u);
    EXPECT_TRUE(storedChanged) << "the emptied password must reach the file";

    // A profile that decrypts as it is changes nothing stored.
    CProfileData sound = asRead;
    sound.m_Proxies[1].m_Password = Encrypt(CDataCrypt::kModeBasic, "", "beta");
    status = {};
    storedChanged = true;
    ASSERT_TRUE(LoadProfileWithPassword(sound, status, "Office", 0, &storedChanged));
    EXPECT_FALSE(storedChanged);
}

TEST_F(ProfilePasswordTest, PlainAndBasicProfilesNeedNoPassword)
{
    struct Case {
        int mode;
        std::vector<std::string> stored;
    } cases[] = {
        { kEncryptionDisabled, kPlain },
        { kEncryptionBasic,
            { Encrypt(CDataCrypt::kModeBasic, "", "alpha"), Encrypt(CDataCrypt::kModeBasic, "", "beta"), "" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        CProfileData profile = SampleProfile(c.mode);
        for (size_t i = 0; i < c.stored.size(); ++i)
            profile.m_Proxies[i].m_Password = c.stored[i];
        ASSERT_EQ(ApplyProfilePasswords(profile, "Default", "", "", false, false).code, ProfileLoadStatus::kSuccess);
        EXPECT_EQ(Passwords(profile), kPlain);
    }
    EXPECT_EQ(app.Prompts(), 0);
}

// The application's object with a fake delegate: a password dialog that types `typed` (nothing = cancel) and
// sets the remember choice to `keep`, and the "Profiles" cache as a map.
class AppPasswordTest : public test::StorageFixture<CCorvantisAppUI> {
protected:
    void SetUp() override
    {
        test::StorageFixture<CCorvantisAppUI>::SetUp();
        CoreHooks hooks;
        hooks.getPassword = [this](bool wantNew, bool& wantToSave) -> std::optional<std::string> {
            ++prompts;
            EXPECT_FALSE(wantNew);
            EXPECT_TRUE(wantToSave) << "the dialog starts with the remember choice on";
            wantToSave = keep;
            return typed;
        };
        hooks.passwordFromCasheForProfile = [this](const std::string& profile) -> std::optional<std::string> {
            auto it = cache.find(profile);
            return it == cache.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        hooks.setPasswordToCasheForProfile
            = [this](const std::string& text, const std::string& profile) { cache[profile] = text; };
        Install(std::move(hooks));
    }

    std::optional<std::string> typed;
    bool keep = true;
    int prompts = 0;
    std::map<std::string, std::string> cache;
};

TEST_F(AppPasswordTest, ThePromptCachesThePasswordUnderTheKeyOnlyWhenAskedTo)
{
    const std::string key = "key-of-this-user";
    struct Case {
        const char* name;
        std::optional<std::string> typed;
        bool keep;
        std::string key;
        std::string returned;
        bool cached;
    } cases[] = {
        { "typed and remembered", "secret", true, key, "secret", true },
        { "typed, remember unticked", "secret", false, key, "secret", false },
        { "no key to cache under", "secret", true, "", "secret", false },
        { "cancelled", std::nullopt, true, key, "", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cache.clear();
        typed = c.typed;
        keep = c.keep;
        EXPECT_EQ(app.GetProfilePassword("Vault", false, c.key), c.returned);
        ASSERT_EQ(cache.count("Vault"), c.cached ? 1u : 0u);
        if (c.cached) {
            EXPECT_NE(cache["Vault"], "secret") << "the cache holds the password encrypted";
            EXPECT_EQ(app.GetProfilePassword("Vault", true, c.key), "secret");
        }
    }
}

TEST_F(AppPasswordTest, TheCacheAnswersWithoutAsking)
{
    const std::string key = "key-of-this-user";
    EXPECT_EQ(app.GetProfilePassword("Vault", true, key), "") << "no entry";

    cache["Vault"] = Encrypt(CDataCrypt::kModeAccount, key, "secret");
    EXPECT_EQ(app.GetProfilePassword("Vault", true, key), "secret");
    EXPECT_EQ(app.GetProfilePassword("Vault", true, ""), cache["Vault"]) << "without a key the entry as it is";
    EXPECT_EQ(app.GetProfilePassword("Vault", true, "another key"), cache["Vault"]) << "an entry that does not decrypt";

    cache["Plain"] = "typed long ago";
    EXPECT_EQ(app.GetProfilePassword("Plain", true, key), "typed long ago");
    EXPECT_EQ(prompts, 0);
}

TEST_F(AppPasswordTest, AMasterPasswordTypedOnceOpensTheProfileFromTheCacheNextTime)
{
    fs::create_directories(ProfilesDir());
    ASSERT_TRUE(
        SaveProfileToFile(SampleProfile(kEncryptionMaster, "right"), ProfilesDir() + "/Vault.ppx", kProfileSilent));
    typed = "right";
    ASSERT_TRUE(LoadProfileByName("Vault", 0, false));
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(Passwords(app), kPlain);
    ASSERT_EQ(cache.count("Vault"), 1u);

    app.SetProfile(CProfileData(), false);
    ASSERT_TRUE(LoadProfileByName("Vault", 0, false));
    EXPECT_EQ(prompts, 1) << "the second load takes the cached password";
    EXPECT_EQ(Passwords(app), kPlain);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(AppPasswordTest, InstallingAProfileWithSaveWritesTheActiveProfilesFile)
{
    CAppSettings settings = app.GetSettings();
    settings.ActiveProfile = "Office";
    app.SetSettings(settings);
    ASSERT_TRUE(app.SetProfile(SampleProfile(), true));
    app.SetProfile(CProfileData(), false);
    ASSERT_TRUE(LoadProfileByName("Office", kProfileSilent, false));
    EXPECT_EQ(Passwords(app), kPlain);
}

} // namespace
} // namespace corvantis
