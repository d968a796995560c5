#include "core/profile/ProfileStorage.h"

#include "core/foundation/DataCrypt.h"
#include "core/profile/ProfileFile.h"
#include "tests/profile/StorageTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::Passwords;
using test::SampleProfile;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class ProfileStorageTest : public test::StorageFixture<test::ScriptedPasswordApp> {
protected:
    // Installs `profile` as the active profile without saving it.
    void Activate(const CProfileData& profile, const std::string& name)
    {
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = name;
        app.SetSettings(settings);
        app.SetProfile(profile, false);
    }

    void Touch(const std::string& relative)
    {
        const fs::path path = fs::path(ProfilesDir()) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
};

TEST_F(ProfileStorageTest, ListsProfileNamesInByteOrderWithoutTheDefaultProfile)
{
    EXPECT_TRUE(ListProfileFiles(false).empty()) << "no Profiles folder yet";
    for (const char* name : { "b.ppx", "A.ppx", "Default.PPX", "default.ppx", "notes.txt", "sub/c.ppx", "d.PPX" })
        Touch(name);
    EXPECT_EQ(ListProfileFiles(false), (std::vector<std::string> { "A", "b", "c" }));
    // Every entry at any depth counts with its extension (the folder "sub" too); the default profile stays out.
    EXPECT_EQ(
        ListProfileFiles(true), (std::vector<std::string> { "A.ppx", "b.ppx", "c.ppx", "d.PPX", "notes.txt", "sub" }));
}

TEST_F(ProfileStorageTest, SavesIntoANewProfilesFolderAndLoadsTheProfileBack)
{
    Activate(SampleProfile(kEncryptionBasic), "Default");
    ASSERT_FALSE(fs::exists(ProfilesDir()));
    ASSERT_TRUE(SaveProfileByName("Office", true));
    ASSERT_TRUE(fs::is_regular_file(fs::path(ProfilesDir()) / "Office.ppx"));
    EXPECT_TRUE(Contains(TakeLogLines(), "Profile \"Office\" saved."));
    EXPECT_EQ(ReadFile(fs::path(ProfilesDir()) / "Office.ppx").find("alpha"), std::string::npos)
        << "passwords are stored encrypted";

    app.SetProfile(CProfileData(), false);
    ASSERT_TRUE(LoadProfileByName("Office", kProfileSilent, false));
    EXPECT_EQ(app.GetSettings().ActiveProfile, "Office");
    EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
    CProfileData loaded;
    app.GetProfile(loaded, false);
    EXPECT_EQ(loaded.m_Proxies.at(1).m_UserName, "user101");
    EXPECT_TRUE(Contains(TakeLogLines(), "Profile \"Office\" loaded."));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProfileStorageTest, SavingWithoutLoggingWritesNoLine)
{
    Activate(SampleProfile(), "Default");
    ASSERT_TRUE(SaveProfileByName("Quiet", false));
    for (const std::string& line : TakeLogLines())
        EXPECT_EQ(line.find("Quiet"), std::string::npos) << line;
}

TEST_F(ProfileStorageTest, ProfileNamesDoNotDistinguishLetterCase)
{
    Activate(SampleProfile(), "default");
    ASSERT_TRUE(SaveActiveProfile(false));
    ASSERT_TRUE(fs::exists(fs::path(ProfilesDir()) / "default.ppx"));

    // The settings' own default name finds the unnamed profile's file, and loading it is the settings' load.
    app.SetProfile(CProfileData(), false);
    ASSERT_TRUE(LoadProfileByName("Default", 0, false));
    EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
    EXPECT_TRUE(Contains(TakeLogLines(), "Corvantis settings loaded."));

    // Saving under another case replaces that file instead of making a second profile.
    ASSERT_TRUE(SaveProfileByName("DEFAULT", false));
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(ProfilesDir()))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, (std::vector<std::string> { "default.ppx" }));
}

TEST_F(ProfileStorageTest, NamesThatCannotBeFileNamesAreRefused)
{
    Activate(SampleProfile(), "Default");
    for (const std::string& name :
        std::vector<std::string> { "", "../escape", "sub/name", std::string("nul\0byte", 8) }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(GetProfileFilePath(name), "");
        EXPECT_FALSE(SaveProfileByName(name, false));
        EXPECT_FALSE(LoadProfileByName(name, kProfileSilent, false));
    }
    EXPECT_FALSE(fs::exists(home / "escape.ppx"));
}

TEST_F(ProfileStorageTest, AFailedSaveKeepsTheOldFileAndSaysSo)
{
    Activate(SampleProfile(), "Office");
    ASSERT_TRUE(SaveActiveProfile(false));
    const fs::path file = fs::path(ProfilesDir()) / "Office.ppx";
    const std::string before = ReadFile(file);
    TakeLogLines();

    // A password longer than the encrypted form can carry cannot be stored.
    CProfileData tooLong = SampleProfile();
    tooLong.m_Proxies[0].m_Password = std::string(300, 'p');
    tooLong.m_Proxies[1].m_Password = "changed";
    app.SetProfile(tooLong, false);
    EXPECT_FALSE(SaveActiveProfile(true));
    EXPECT_FALSE(app.SetProfile(tooLong, true)) << "the core object's own save reports the failure";
    EXPECT_EQ(ReadFile(file), before);
    const std::vector<std::string> lines = TakeLogLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
        [&](const std::string& l) { return l.find("Profile cannot be saved to " + file.string()) == 0; }));
    EXPECT_TRUE(Boxes().empty()) << "saves of the current profile are silent";

    // A file that cannot be written at all.
    fs::create_directories(fs::path(ProfilesDir()) / "Blocked.ppx");
    EXPECT_FALSE(SaveProfileByName("Blocked", false));
    EXPECT_TRUE(fs::is_directory(fs::path(ProfilesDir()) / "Blocked.ppx"));
}

TEST_F(ProfileStorageTest, AProfilesFolderThatCannotBeMadeFailsTheSave)
{
    Activate(SampleProfile(), "Default");
    std::ofstream(ProfilesDir()) << "a file where the folder should be";
    EXPECT_FALSE(SaveProfileByName("Office", false));
}

TEST_F(ProfileStorageTest, AMissingProfileIsReportedOnceUnlessSilentAndChangesNothing)
{
    Activate(SampleProfile(), "Office");
    const std::string path = ProfilesDir() + "/Nowhere.ppx";

    EXPECT_FALSE(LoadProfileByName("Nowhere", kProfileSilent, false));
    EXPECT_TRUE(Boxes().empty());

    EXPECT_FALSE(LoadProfileByName("Nowhere", 0, false));
    const std::vector<std::string> shown = BoxTexts();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("Cannot open " + path + " to load profile.\nError: ", 0), 0u) << shown[0];
    EXPECT_EQ(app.GetSettings().ActiveProfile, "Office");
    EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
    EXPECT_TRUE(app.queries.empty() || app.Prompts() == 0) << "a read error asks for no password";
}

TEST_F(ProfileStorageTest, AnUnreadableProfileFileGivesTheReadersMessage)
{
    fs::create_directories(ProfilesDir());
    std::ofstream(ProfilesDir() + "/Broken.ppx") << "<CorvantisProfile version=\"101\"><ProxyList><Proxy id=\"1\" "
                                                    "type=\"SOCKS5\"><Address>h</Address><Port>x</Port></Proxy>"
                                                    "</ProxyList></CorvantisProfile>";
    CProfileData profile;
    const ProfileLoadStatus status = ReadProfileFile(profile, ProfilesDir() + "/Broken.ppx");
    EXPECT_EQ(status.code, ProfileLoadStatus::kError);
    EXPECT_FALSE(LoadProfileByName("Broken", 0, false));
    EXPECT_EQ(BoxTexts(), (std::vector<std::string> { status.message }));
}

TEST_F(ProfileStorageTest, ExportWithOtherEncryptionWritesAProfileThatOpensWithTheNewPassword)
{
    Activate(SampleProfile(kEncryptionBasic), "Office");
    const std::string path = (home / "exported.ppx").string();
    ASSERT_TRUE(ExportProfile(path, ProfileEncryption { kEncryptionMaster, "secret", "" }, "Office"));
    EXPECT_TRUE(Contains(TakeLogLines(), "Profile \"Office\" exported as file " + path));

    CProfileData read;
    ASSERT_EQ(ReadProfileFile(read, path).code, ProfileLoadStatus::kSuccess);
    EXPECT_EQ(read.m_EncryptionMode, kEncryptionMaster);
    CProfileData wrong = read;
    EXPECT_EQ(ApplyProfilePasswords(wrong, "Office", "", "guess", false, false).code,
        ProfileLoadStatus::kWrongMasterPassword);
    ASSERT_EQ(ApplyProfilePasswords(read, "Office", "", "secret", false, false).code, ProfileLoadStatus::kSuccess);
    EXPECT_EQ(Passwords(read), (std::vector<std::string> { "alpha", "beta", "" }));
    EXPECT_EQ(read.m_MasterPassword, "secret");

    CProfileData active;
    app.GetProfile(active, false);
    EXPECT_EQ(active.m_EncryptionMode, kEncryptionBasic) << "the export changes only the copy";
}

TEST_F(ProfileStorageTest, TheExtensionsTextIsInstalledAsTheSettingsProfile)
{
    CProfileData sent = SampleProfile(kEncryptionBasic);
    std::string text;
    ASSERT_TRUE(ProfileToXmlString(sent, text));
    Activate(CProfileData(), "Office");

    std::string error;
    ASSERT_TRUE(LoadProfileFromXmlText(text, kProfileSilent, false, error)) << error;
    EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
    EXPECT_EQ(app.GetSettings().ActiveProfile, "Office") << "the active name is not the text's business";
    EXPECT_TRUE(Contains(TakeLogLines(), "Corvantis settings loaded."));
    ASSERT_FALSE(app.queries.empty());
    EXPECT_EQ(app.queries[0].name, "Default");
    EXPECT_EQ(app.Prompts(), 0);
}

TEST_F(ProfileStorageTest, TextThatIsNoProfileFailsWithItsReasonAndShowsNothing)
{
    Activate(SampleProfile(), "Office");
    struct Case {
        const char* name;
        std::string text;
        const char* prefix;
    } cases[] = {
        { "not xml", "", "Cannot load profile: " },
        { "bad port",
            "<CorvantisProfile version=\"101\"><ProxyList><Proxy id=\"1\" type=\"SOCKS5\"><Address>h</Address>"
            "<Port>x</Port></Proxy></ProxyList></CorvantisProfile>",
            "Cannot load profile: Cannot load Corvantis profile." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(LoadProfileFromXmlText(c.text, 0, false, error));
        EXPECT_EQ(error.rfind(c.prefix, 0), 0u) << error;
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Passwords(app), (std::vector<std::string> { "alpha", "beta", "" }));
}

} // namespace
} // namespace corvantis
