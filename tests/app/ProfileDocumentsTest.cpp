// The profile document commands over a core object in a temporary home: the name sheet, opening files during
// and after launch, import, export, the auto-update settings and "update now" against a real web server, the
// password cache in the defaults file and the password prompt asked from another thread. Windows and boxes are
// scripted.

#include "app/ProfileDocuments.h"

#include "app/QtMainThreadExecutor.h"
#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CorvantisAppUI.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "tests/peers/FileServer.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

// A profile whose one proxy and first rule carry `tag`, so that a file's content can be told apart.
CProfileData TaggedProfile(const std::string& tag, int encryptionMode = kEncryptionBasic)
{
    CProfileData profile;
    profile.m_Proxies.emplace_back(tag + ".example", 1080, kProxySocks5, 100);
    CRule rule(tag + " rule");
    rule.m_Action = kActionDirect;
    profile.m_Rules.push_back(rule);
    profile.AddDefaultRule();
    profile.m_EncryptionMode = encryptionMode;
    return profile;
}

void WriteProfile(const fs::path& path, const std::string& tag)
{
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(SaveProfileToFile(TaggedProfile(tag), path.string(), kProfileSilent)) << path;
}

// The tag of the profile file at `path` (its first proxy's host without ".example"); empty when unreadable.
std::string TagOfFile(const fs::path& path)
{
    CProfileData profile;
    if (!ReadProfileFile(profile, path.string()).ok() || profile.m_Proxies.empty())
        return {};
    const std::string host = profile.m_Proxies.front().GetHostName();
    return host.substr(0, host.find('.'));
}

class ProfileDocumentsTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_oldExecutor = NotificationCenter::defaultCenter().mainThreadExecutor();
        NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
        m_observer = NotificationCenter::defaultCenter().addObserver(
            kMessageBoxNotification, [](const Notification& n) { MessageBoxNotifyHandler(true, n); });
        CoreHooks hooks;
        hooks.messageBoxUI = [this](const std::string& message, const std::string& caption, int flags, const char*,
                                 bool*, const char* const*, int) -> long {
            boxes.push_back(caption + message);
            if (!(flags & kMbYesNo) || answers.empty())
                return 0;
            const long answer = answers.front();
            answers.pop_front();
            return answer;
        };
        hooks.writeGlobalSettings = [this](int) {
            ++settingsWrites;
            SaveSettings(app.GetSettings());
        };
        SetCoreHooks(hooks);
        Activate(TaggedProfile("active"), "Current");
    }

    void TearDown() override
    {
        NotificationCenter::defaultCenter().removeObserver(m_observer);
        SetCoreHooks({});
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_oldExecutor);
    }

    // Documents whose name sheet answers from `names` (cancelled once they run out) and whose other windows
    // record what they were asked.
    ProfileDocuments::Seams Seams()
    {
        ProfileDocuments::Seams seams;
        seams.nameSheet = [this](const std::string& initial) -> std::optional<std::string> {
            sheetFields.push_back(initial);
            if (names.empty())
                return std::nullopt;
            const std::string next = names.front();
            names.pop_front();
            return next;
        };
        seams.openPanel = [this](const FilePanelRequest& request) {
            panels.push_back(request);
            return chosenFiles;
        };
        seams.updateSettings = [this] { ++settingsUpdates; };
        seams.updateProfileUI = [this] { ++profileUIUpdates; };
        return seams;
    }

    void Activate(const CProfileData& profile, const std::string& name)
    {
        CAppSettings settings = app.GetSettings();
        settings.ActiveProfile = name;
        app.SetSettings(settings);
        app.SetProfile(profile, false);
    }

    std::string ActiveName() const { return app.GetSettings().ActiveProfile; }
    std::string ActiveTag() const
    {
        CProfileData profile;
        app.GetProfile(profile, false);
        const std::string host = profile.m_Proxies.empty() ? std::string() : profile.m_Proxies.front().GetHostName();
        return host.substr(0, host.find('.'));
    }
    fs::path ProfilesDir() const { return GetProfilesDir(); }

    test::TempDir home;
    test::TempDir outside;
    CCorvantisAppUI app;
    test::ProgramHomeScope scope { Program::Application, home.path(), &app };

    std::deque<long> answers; // Yes/No answers in order; No once they run out
    std::vector<std::string> boxes; // caption + message of each box shown
    std::deque<std::string> names; // what the name sheet returns, in order
    std::vector<std::string> sheetFields; // the field's text each time the sheet opened
    std::vector<FilePanelRequest> panels;
    std::vector<std::string> chosenFiles;
    int settingsWrites = 0;
    int settingsUpdates = 0;
    int profileUIUpdates = 0;

private:
    std::shared_ptr<MainThreadExecutor> m_oldExecutor;
    NotificationCenter::ObserverId m_observer = 0;
};

TEST(ProfileNameTest, RefusesEmptyNamesTheTenSymbolsAndReservedNames)
{
    const std::string symbols = kBadProfileNameSymbolsMessage;
    const struct {
        std::string name;
        std::optional<std::string> message;
    } cases[] = {
        { "", kEmptyProfileNameMessage },
        { "Default", kReservedProfileNameMessage },
        { "UNTITLED", kReservedProfileNameMessage },
        { "default2", std::nullopt },
        { "Office Net", std::nullopt },
        { "Untitled.", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CheckProfileName(c.name), c.message);
    }
    EXPECT_EQ(symbols.substr(symbols.find('\n') + 1), kProfileNameSymbols);
    for (const char symbol : std::string(kProfileNameSymbols)) {
        SCOPED_TRACE(symbol);
        EXPECT_EQ(CheckProfileName(std::string("a") + symbol + "b"), symbols);
    }
}

TEST_F(ProfileDocumentsTest, TheNameSheetComesBackAfterEachRefusal)
{
    ProfileDocuments docs(Seams());
    names = { "Default", "a/b", "", "default2" };
    EXPECT_EQ(docs.saveProfileDlg("DEFAULT"), "default2");
    // "default" opens an empty field; after a refusal the sheet shows what was typed.
    EXPECT_EQ(sheetFields, (std::vector<std::string> { "", "Default", "a/b", "" }));
    EXPECT_EQ(boxes,
        (std::vector<std::string> {
            kReservedProfileNameMessage, kBadProfileNameSymbolsMessage, kEmptyProfileNameMessage }));

    names = {};
    EXPECT_EQ(docs.saveProfileDlg("Office"), "");
    EXPECT_EQ(sheetFields.back(), "Office");
}

TEST_F(ProfileDocumentsTest, SaveDocumentStoresTheActiveProfileUnderTheNameGiven)
{
    ProfileDocuments docs(Seams());
    names = { "Work" };
    docs.saveDocument();
    EXPECT_EQ(sheetFields, std::vector<std::string> { "Current" });
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Work.ppx"), "active");
    EXPECT_EQ(ActiveName(), "Work");
    EXPECT_EQ(settingsUpdates, 1);

    // Cancelling the sheet saves nothing.
    docs.saveDocument();
    EXPECT_EQ(std::distance(fs::directory_iterator(ProfilesDir()), fs::directory_iterator()), 1);
}

TEST_F(ProfileDocumentsTest, OpeningDuringLaunchOnlyRecordsTheFile)
{
    WriteProfile(ProfilesDir() / "Office.ppx", "office");
    WriteProfile(outside / "Travel.ppx", "travel");
    {
        ProfileDocuments docs(Seams());
        // From inside the Profiles folder: only the active name changes, and the settings are written.
        EXPECT_TRUE(docs.openFile((ProfilesDir() / "Office.ppx").string()));
        EXPECT_EQ(ActiveName(), "Office");
        EXPECT_EQ(ActiveTag(), "active");
        EXPECT_EQ(settingsWrites, 1);
        EXPECT_TRUE(docs.noSystemProfile());
        EXPECT_FALSE(docs.loadExtProfile());
    }
    {
        ProfileDocuments docs(Seams());
        EXPECT_TRUE(docs.openFile((outside / "Travel.ppx").string()));
        EXPECT_TRUE(docs.loadExtProfile());
        EXPECT_EQ(docs.extProfilePath(), (outside / "Travel.ppx").string());
        EXPECT_EQ(docs.extProfileName(), "Travel");
        EXPECT_EQ(ActiveName(), "Office");
        EXPECT_FALSE(fs::exists(ProfilesDir() / "Travel.ppx"));
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ProfileDocumentsTest, SilentLoadTakesAFileFromOutsideAsItIs)
{
    WriteProfile(outside / "Travel.ppx", "travel");
    const struct {
        std::string value;
        bool direct;
    } cases[] = { { "1", true }, { "YES", true }, { "true", true }, { " 07", true }, { "0", false }, { "NO", false },
        { "", false } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        DefaultsStore::standard().setArguments({ "-SilentLoad", c.value });
        ProfileDocuments docs(Seams());
        EXPECT_TRUE(docs.openFile((outside / "Travel.ppx").string()));
        EXPECT_EQ(docs.loadExtProfile(), !c.direct);
        EXPECT_EQ(ActiveName(), c.direct ? "Travel" : "Current");
        Activate(TaggedProfile("active"), "Current");
    }
    DefaultsStore::standard().setArguments({});
}

TEST_F(ProfileDocumentsTest, OpeningAfterLaunchCopiesTheFileIntoTheProfilesFolder)
{
    WriteProfile(outside / "Travel.ppx", "travel");
    ProfileDocuments docs(Seams());
    docs.setLoaded(true);
    EXPECT_TRUE(docs.openFile((outside / "Travel.ppx").string()));
    EXPECT_EQ(ActiveName(), "Travel");
    EXPECT_EQ(ActiveTag(), "travel");
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Travel.ppx"), "travel");
    EXPECT_EQ(settingsUpdates, 1);
    EXPECT_EQ(profileUIUpdates, 1);
    EXPECT_FALSE(docs.noSystemProfile());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ProfileDocumentsTest, AYesToTheOverwriteQuestionOverwritesOnce)
{
    WriteProfile(ProfilesDir() / "Office.ppx", "old");
    WriteProfile(outside / "office.ppx", "new");
    ProfileDocuments docs(Seams());
    docs.setLoaded(true);
    answers = { kMbAnswerYes };
    EXPECT_TRUE(docs.openFile((outside / "office.ppx").string()));
    EXPECT_EQ(boxes, std::vector<std::string> { kOverwriteProfileQuestion });
    EXPECT_TRUE(sheetFields.empty());
    // Names do not distinguish case: the existing file is the one replaced.
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Office.ppx"), "new");
    EXPECT_EQ(ActiveTag(), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(ProfilesDir()), fs::directory_iterator()), 1);
}

TEST_F(ProfileDocumentsTest, ANoAsksForAnotherNameUntilAFreeOneIsGiven)
{
    WriteProfile(ProfilesDir() / "Office.ppx", "old");
    WriteProfile(outside / "Office.ppx", "new");
    ProfileDocuments docs(Seams());
    docs.setLoaded(true);
    // No, the same name again, No, then a free name typed with the extension.
    names = { "Office", "Second.ppx" };
    EXPECT_TRUE(docs.openFile((outside / "Office.ppx").string()));
    EXPECT_EQ(boxes, (std::vector<std::string> { kOverwriteProfileQuestion, kOverwriteProfileQuestion }));
    EXPECT_EQ(sheetFields, (std::vector<std::string> { "Office", "Office" }));
    EXPECT_EQ(ActiveName(), "Second");
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Second.ppx"), "new");
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Office.ppx"), "old");
}

TEST_F(ProfileDocumentsTest, NoThenACancelledSheetLeavesTheActiveProfile)
{
    WriteProfile(ProfilesDir() / "Office.ppx", "old");
    WriteProfile(outside / "Office.ppx", "new");
    ProfileDocuments docs(Seams());
    docs.setLoaded(true);
    EXPECT_FALSE(docs.openFile((outside / "Office.ppx").string()));
    EXPECT_EQ(boxes, std::vector<std::string> { kOverwriteProfileQuestion });
    EXPECT_EQ(ActiveName(), "Current");
    EXPECT_EQ(ActiveTag(), "active");
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Office.ppx"), "old");
    EXPECT_EQ(settingsUpdates, 0);
}

TEST_F(ProfileDocumentsTest, RefusedOrUnreadableFilesChangeNothing)
{
    WriteProfile(outside / "Travel.ppx", "travel");
    std::ofstream(outside / "Broken.ppx") << "<not a profile";
    ProfileDocuments docs(Seams());
    docs.setLoaded(true);

    EXPECT_FALSE(docs.openFile((outside / "Broken.ppx").string()));
    EXPECT_FALSE(docs.openFile((outside / "Missing.ppx").string()));
    EXPECT_EQ(ActiveName(), "Current");
    EXPECT_EQ(ActiveTag(), "active");

    // An unsaved unnamed profile the user keeps.
    Activate(TaggedProfile("unnamed"), "default");
    boxes.clear();
    EXPECT_FALSE(docs.openFile((outside / "Travel.ppx").string()));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("You didn't save active profile"), std::string::npos);
    EXPECT_EQ(ActiveTag(), "unnamed");
    EXPECT_FALSE(fs::exists(ProfilesDir() / "Travel.ppx"));
}

TEST_F(ProfileDocumentsTest, OpenAndImportPanelsHandTheirFilesToOpenFile)
{
    WriteProfile(outside / "One.ppx", "one");
    WriteProfile(outside / "Two.ppx", "two");
    ProfileDocuments docs(Seams());
    docs.setLoaded(true);

    chosenFiles = { (outside / "One.ppx").string() };
    docs.openDocument();
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0].types, (std::vector<std::string> { "ppx", "prx" }));
    EXPECT_FALSE(panels[0].multiple);
    EXPECT_EQ(ActiveName(), "One");

    chosenFiles = { (outside / "Two.ppx").string(), (outside / "One.ppx").string() };
    answers = { kMbAnswerYes }; // "One" exists by now
    docs.importV2Profiles();
    ASSERT_EQ(panels.size(), 2u);
    EXPECT_TRUE(panels[1].multiple);
    EXPECT_EQ(panels[1].folder, QDir::homePath().toStdString());
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Two.ppx"), "two");
    EXPECT_EQ(ActiveName(), "One");

    // A cancelled panel opens nothing.
    chosenFiles = {};
    docs.openDocument();
    EXPECT_EQ(ActiveName(), "One");
}

TEST_F(ProfileDocumentsTest, ExportWritesOnlyWhenTheModeWindowIsAccepted)
{
    std::optional<std::string> savePath = (outside / "Export.ppx").string();
    bool accept = false;
    std::vector<int> modesShown;
    ProfileDocuments::Seams seams = Seams();
    seams.savePanel = [&](const FilePanelRequest& request) {
        EXPECT_EQ(request.types, std::vector<std::string> { "ppx" });
        return savePath;
    };
    seams.encryptionForSave = [&](ProfileEncryption& encryption) {
        modesShown.push_back(encryption.mode);
        if (!accept)
            return false;
        encryption.mode = kEncryptionDisabled;
        return true;
    };
    ProfileDocuments docs(std::move(seams));

    docs.exportDocument();
    EXPECT_EQ(modesShown, std::vector<int> { kEncryptionBasic });
    EXPECT_FALSE(fs::exists(outside / "Export.ppx"));

    accept = true;
    docs.exportDocument();
    CProfileData exported;
    ASSERT_TRUE(ReadProfileFile(exported, (outside / "Export.ppx").string()).ok());
    EXPECT_EQ(exported.m_EncryptionMode, kEncryptionDisabled);
    EXPECT_EQ(TagOfFile(outside / "Export.ppx"), "active");

    // A cancelled save panel does not show the mode window.
    savePath.reset();
    docs.exportDocument();
    EXPECT_EQ(modesShown.size(), 2u);
}

TEST_F(ProfileDocumentsTest, NewManageAndSelectCommands)
{
    WriteProfile(ProfilesDir() / "Office.ppx", "office");
    std::vector<std::string> folders;
    ProfileDocuments::Seams seams = Seams();
    seams.openFolder = [&](const std::string& folder) {
        folders.push_back(folder);
        return true;
    };
    ProfileDocuments docs(std::move(seams));
    docs.setLoaded(true);

    docs.selectProfile(0, "Office");
    EXPECT_EQ(ActiveName(), "Office");
    EXPECT_EQ(ActiveTag(), "office");
    docs.selectProfile(1, "New Profile...");
    EXPECT_EQ(ActiveName(), "default");
    EXPECT_TRUE(fs::exists(ProfilesDir() / "default.ppx"));
    // Leaving the unnamed profile asks first; No keeps it.
    docs.newDocument();
    docs.selectProfile(0, "Office");
    EXPECT_EQ(ActiveName(), "default");
    EXPECT_EQ(boxes.size(), 2u);

    fs::remove_all(ProfilesDir());
    docs.manageProfiles();
    EXPECT_EQ(folders, std::vector<std::string> { ProfilesDir().string() });
    EXPECT_TRUE(fs::is_directory(ProfilesDir()));
}

TEST_F(ProfileDocumentsTest, TheAutoUpdateDialogEditsTheSettings)
{
    bool accept = false;
    std::vector<std::string> shownUrls;
    ProfileDocuments::Seams seams = Seams();
    seams.autoUpdateDialog = [&](ProfileAutoUpdateValues& values) {
        shownUrls.push_back(values.url);
        values = { true, accept ? "https://h/P.PPX" : "ignored", false, true };
        return accept;
    };
    CAppSettings settings = app.GetSettings();
    settings.ProfileAutoUpdateUrl = "http://before/";
    settings.ProfileAutoUpdateUrlIsFolder = true;
    app.SetSettings(settings);
    ProfileDocuments docs(std::move(seams));

    docs.profileAutoUpdate();
    EXPECT_EQ(app.GetSettings().ProfileAutoUpdateUrl, "http://before/");
    EXPECT_EQ(settingsWrites, 0);

    accept = true;
    docs.profileAutoUpdate();
    EXPECT_EQ(shownUrls, (std::vector<std::string> { "http://before/", "http://before/" }));
    settings = app.GetSettings();
    EXPECT_TRUE(settings.ProfileAutoUpdate);
    EXPECT_EQ(settings.ProfileAutoUpdateUrl, "https://h/P.PPX");
    EXPECT_FALSE(settings.ProfileAutoUpdateUrlIsFolder);
    EXPECT_TRUE(settings.KeepCredOnProfileUpdate);
    EXPECT_EQ(settingsWrites, 1);
}

TEST_F(ProfileDocumentsTest, UpdateNowReplacesTheRulesFromTheWebServer)
{
    test::TempDir served;
    WriteProfile(served / "Current.ppx", "remote");
    test::PeerProcessPtr server = test::startFileServer(served.path());
    ProfileDocuments docs(Seams());

    const std::string folderUrl = "http://127.0.0.1:" + std::to_string(server->port()) + "/";
    ASSERT_TRUE(docs.profileAutoUpdateNow({ false, folderUrl, true, false }));
    EXPECT_FALSE(docs.profileAutoUpdateNow({ false, folderUrl, true, false })) << "one update at a time";
    ASSERT_TRUE(test::waitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return !docs.autoUpdateRunning();
    }));
    CProfileData updated;
    app.GetProfile(updated, false);
    ASSERT_FALSE(updated.m_Rules.empty());
    EXPECT_EQ(updated.m_Rules.front().m_Name, "remote rule");
    EXPECT_EQ(TagOfFile(ProfilesDir() / "Current.ppx"), "remote");
}

TEST_F(ProfileDocumentsTest, ThePasswordCacheLivesInTheDefaultsFile)
{
    ProfileDocuments docs(Seams());
    docs.installCoreHooks();
    EXPECT_EQ(ProfileDocuments::passwordFromCasheForProfile("Office"), std::nullopt);
    CorvantisAppServices::setPassword("first", "Office");
    ProfileDocuments::setPasswordToCasheForProfile("second", "Home");
    ProfileDocuments::setPasswordToCasheForProfile("third", "Office");

    DefaultsStore reread(scope.defaultsFile());
    const std::optional<PlistValue> cache = reread.object("Profiles");
    ASSERT_TRUE(cache && cache->dict());
    EXPECT_EQ(*cache->dict(), (PlistDict { { "Home", "second" }, { "Office", "third" } }));

    EXPECT_EQ(CorvantisAppServices::passwordFromCasheForProfile("Office"), "third");
    EXPECT_EQ(app.GetProfilePassword("Home", true, ""), "second");
    EXPECT_EQ(ProfileDocuments::passwordFromCasheForProfile("Work"), std::nullopt);
    // The other hooks stay as registered.
    ASSERT_TRUE(CurrentCoreHooks()->messageBoxUI);
    ASSERT_TRUE(CurrentCoreHooks()->writeGlobalSettings);
}

TEST_F(ProfileDocumentsTest, APasswordAskedFromAnotherThreadIsAnsweredOnTheMainThread)
{
    const std::thread::id mainThread = std::this_thread::get_id();
    std::vector<std::pair<bool, bool>> asked;
    bool onMain = false;
    ProfileDocuments::Seams seams = Seams();
    seams.passwordWindow = [&](bool wantNew, bool& wantToSave) -> std::optional<std::string> {
        onMain = std::this_thread::get_id() == mainThread;
        asked.emplace_back(wantNew, wantToSave);
        wantToSave = !wantToSave;
        return "typed";
    };
    ProfileDocuments docs(std::move(seams));

    // Nobody serves the prompt before the hooks are installed.
    bool save = true;
    EXPECT_EQ(ProfileDocuments::getPassword(false, &save), std::nullopt);
    docs.installCoreHooks();

    std::optional<std::string> answer;
    std::atomic<bool> done = false;
    std::thread asker([&] {
        bool wantToSave = true;
        answer = CorvantisAppServices::getPassword(true, &wantToSave);
        save = wantToSave;
        done = true;
    });
    ASSERT_TRUE(test::waitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return done.load();
    }));
    asker.join();
    EXPECT_EQ(answer, "typed");
    EXPECT_FALSE(save);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(asked, (std::vector<std::pair<bool, bool>> { { true, true } }));

    // On the main thread the window is asked directly.
    save = false;
    EXPECT_EQ(ProfileDocuments::getPassword(false, &save), "typed");
    EXPECT_TRUE(save);
}

} // namespace
} // namespace corvantis
