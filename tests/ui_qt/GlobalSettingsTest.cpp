// The settings window and the profiles menus over a real core object in a temporary home: the log levels as
// the radio buttons set them (read back from the defaults file), the traffic dump toggle, the update check, the
// close behaviour and the quit title, the profile texts and the pop-up's position, the menus rebuilt from the
// profile files each time they show, and the two log actions.

#include "app/ui/GlobalSettings.h"

#include "app/ui/MenuFileDelegate.h"
#include "app/ui/MessageBoxUI.h"
#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/DefaultsStore.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace corvantis {
namespace {

const std::vector<std::string> kScreenProperties
    = { "logLevelNone", "logLevelError", "logLevelInfo", "logLevelVerbose", "logLevelDebug" };
const std::vector<std::string> kFileProperties = { "logLevelFileNone", "logLevelFileError", "logLevelFileInfo",
    "logLevelFileVerbose", "logLevelFileDebug", "logLevelFileTraffic" };

// A core object in a temporary home with a Profiles folder, the settings object over it with recording seams
// (the settings write stores the record as the delegate does), and the window over both.
class GlobalSettingsTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Application, home.path(), &app);
        GetLog().SetLogFolder((home / "Logs").string());
        std::filesystem::create_directories(home / "Profiles");
        GlobalSettings::Seams seams;
        seams.writeGlobalSettings = [this](bool restart) {
            writes.push_back(restart);
            SaveSettings(app.GetSettings());
        };
        seams.startUpdateCheck = [this] { ++updateChecks; };
        seams.openFolder = [this](const std::string& folder) { openedFolders.push_back(folder); };
        settings.emplace(std::move(seams));
        observer
            = settings->announcer().observe([this](const std::string& property) { announced.push_back(property); });
        dialog.emplace(*settings, [this](int tag, const std::string& title) { selected.emplace_back(tag, title); });
    }

    void TearDown() override
    {
        dialog.reset();
        settings.reset();
        m_scope.reset();
    }

    void AddProfileFile(const std::string& name) { std::ofstream(home / "Profiles" / (name + ".ppx")) << "<x/>"; }

    void SetActive(const std::string& name)
    {
        CAppSettings record = app.GetSettings();
        record.ActiveProfile = name;
        app.SetSettings(record);
    }

    void SetCloseBehaviour(int value)
    {
        CAppSettings record = app.GetSettings();
        record.KeepRunningOnClose = value;
        app.SetSettings(record);
    }

    // The value under `key` in the defaults file as it is on disk now.
    std::optional<int64_t> Stored(const std::string& key) const
    {
        const std::optional<PlistValue> value = DefaultsStore(m_scope->defaultsFile()).object(key);
        if (!value)
            return std::nullopt;
        return value->integerValue();
    }

    test::TempDir home;
    CCorvantisAppUI app;
    std::optional<GlobalSettings> settings;
    std::optional<GlobalSettingsDialog> dialog;
    PropertyAnnouncer::ObserverId observer = 0;
    std::vector<std::string> announced;
    std::vector<bool> writes;
    int updateChecks = 0;
    std::vector<std::string> openedFolders;
    std::vector<std::pair<int, std::string>> selected;

private:
    std::optional<test::ProgramHomeScope> m_scope;
};

TEST_F(GlobalSettingsTest, ChoosingALevelChecksOnlyItsButtonStoresItAndAnnouncesTheGroup)
{
    const struct {
        const char* name;
        bool file;
        int level;
        const char* key;
    } cases[] = {
        { "screen verbose", false, 3, "SettingsLogLevelScreen" },
        { "screen none", false, 0, "SettingsLogLevelScreen" },
        { "file debug", true, 4, "SettingsLogLevelFile" },
        { "file error", true, 1, "SettingsLogLevelFile" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        announced.clear();
        writes.clear();
        QRadioButton* button = c.file ? dialog->fileLevelButton(c.level) : dialog->screenLevelButton(c.level);
        ASSERT_NE(button, nullptr);
        button->click();

        EXPECT_EQ(c.file ? GetLog().GetFileLevel() : GetLog().GetScreenLevel(), c.level);
        for (int level = 0; level < 5; ++level) {
            const bool chosen = level == c.level;
            EXPECT_EQ(c.file ? settings->fileLevelIs(level) : settings->screenLevelIs(level), chosen) << level;
            QRadioButton* shown = c.file ? dialog->fileLevelButton(level) : dialog->screenLevelButton(level);
            EXPECT_EQ(shown->isChecked(), chosen) << level;
        }
        EXPECT_EQ(writes, std::vector<bool> { false });
        EXPECT_EQ(Stored(c.key), c.level);
        EXPECT_EQ(announced, c.file ? kFileProperties : kScreenProperties);
    }
    // The named setters are the same switch.
    settings->setLogLevelVerbose(true);
    EXPECT_TRUE(settings->logLevelVerbose());
    EXPECT_FALSE(settings->logLevelInfo());
    EXPECT_EQ(Stored("SettingsLogLevelScreen"), 3);
}

TEST_F(GlobalSettingsTest, AFalseOrMissingValueChangesNothingAndAnnouncesOnlyItsProperty)
{
    settings->setLogLevelInfo(true);
    settings->setLogLevelFileError(true);
    SetCloseBehaviour(1);
    const CAppSettings before = app.GetSettings();
    writes.clear();

    const struct {
        const char* property;
        std::function<void(std::optional<bool>)> set;
    } cases[] = {
        { "logLevelDebug", [this](std::optional<bool> v) { settings->setLogLevelDebug(v); } },
        { "logLevelFileNone", [this](std::optional<bool> v) { settings->setLogLevelFileNone(v); } },
        { "logLevelFileTraffic", [this](std::optional<bool> v) { settings->setLogLevelFileTraffic(v); } },
        { "askOnClose", [this](std::optional<bool> v) { settings->setAskOnClose(v); } },
        { "allowProfileUpdate", [this](std::optional<bool> v) { settings->setAllowProfileUpdate(v); } },
        { "quitMenuTitle", [this](std::optional<bool> v) { settings->setQuitMenuTitle(v); } },
        { "currentProfileIndex", [this](std::optional<bool> v) { settings->setCurrentProfileIndex(v); } },
    };
    for (const auto& c : cases) {
        for (std::optional<bool> value : { std::optional<bool>(), std::optional<bool>(false) }) {
            SCOPED_TRACE(std::string(c.property) + (value ? " false" : " missing"));
            announced.clear();
            c.set(value);
            EXPECT_EQ(announced, std::vector<std::string> { c.property });
        }
    }
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(GetLog().GetScreenLevel(), 2);
    EXPECT_EQ(GetLog().GetFileLevel(), 1);
    const CAppSettings after = app.GetSettings();
    EXPECT_EQ(after.TrafficLogEnabled, before.TrafficLogEnabled);
    EXPECT_EQ(after.KeepRunningOnClose, 1);
    EXPECT_TRUE(settings->allowProfileUpdate());

    // The update check alone stores a false value; a missing one changes nothing.
    announced.clear();
    settings->setUpdatesCheck(std::nullopt);
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(announced, std::vector<std::string> { "updatesCheck" });
}

TEST_F(GlobalSettingsTest, EachClickOnTheTrafficBoxTogglesTheDumpAndKeepsTheLevels)
{
    settings->setLogLevelFileInfo(true);
    writes.clear();
    for (const bool expected : { true, false }) {
        SCOPED_TRACE(expected ? "first click" : "second click");
        announced.clear();
        dialog->trafficBox()->click();
        EXPECT_EQ(app.GetSettings().TrafficLogEnabled, expected);
        EXPECT_EQ(settings->logLevelFileTraffic(), expected);
        EXPECT_EQ(dialog->trafficBox()->isChecked(), expected);
        EXPECT_EQ(announced, kFileProperties);
        EXPECT_TRUE(settings->logLevelFileInfo());
    }
    EXPECT_EQ(writes, (std::vector<bool> { false, false }));
}

TEST_F(GlobalSettingsTest, TurningTheUpdateCheckOnStartsACheckAndOffStartsNone)
{
    dialog->updatesBox()->click();
    EXPECT_TRUE(app.GetSettings().UpdateCheck);
    EXPECT_TRUE(dialog->updatesBox()->isChecked());
    EXPECT_EQ(updateChecks, 1);
    EXPECT_EQ(Stored("UpdateCheck"), 1);

    dialog->updatesBox()->click();
    EXPECT_FALSE(app.GetSettings().UpdateCheck);
    EXPECT_FALSE(dialog->updatesBox()->isChecked());
    EXPECT_EQ(updateChecks, 1);
    EXPECT_EQ(Stored("UpdateCheck"), 0);
    EXPECT_EQ(writes, (std::vector<bool> { false, false }));
}

TEST_F(GlobalSettingsTest, TheCloseBehaviourGivesTheQuitTitleAndAskOnCloseOnlyResetsIt)
{
    const struct {
        int behaviour;
        bool ask, keep, stop;
        const char* title;
    } cases[] = {
        { 0, true, false, false, "Quit Corvantis" },
        { 1, false, true, false, "Close Corvantis and Keep Working in Background" },
        { 2, false, false, true, "Quit Corvantis" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        SetCloseBehaviour(c.behaviour);
        EXPECT_EQ(settings->askOnClose(), c.ask);
        EXPECT_EQ(settings->keepRunningOnClose(), c.keep);
        EXPECT_EQ(settings->stopRunningOnClose(), c.stop);
        EXPECT_EQ(settings->quitMenuTitle(), c.title);
    }

    // Ticking the box puts the question back; it is stored, never sent.
    SetCloseBehaviour(1);
    settings->updateSettings();
    EXPECT_FALSE(dialog->askOnCloseBox()->isChecked());
    announced.clear();
    dialog->askOnCloseBox()->click();
    EXPECT_EQ(app.GetSettings().KeepRunningOnClose, 0);
    EXPECT_EQ(Stored("KeepRunningOnClose"), 0);
    EXPECT_TRUE(writes.empty());
    EXPECT_TRUE(dialog->askOnCloseBox()->isChecked());
    EXPECT_EQ(settings->quitMenuTitle(), "Quit Corvantis");
    // updateSettings ran: the quit title and the pop-up were announced.
    EXPECT_NE(std::find(announced.begin(), announced.end(), "quitMenuTitle"), announced.end());
    EXPECT_NE(std::find(announced.begin(), announced.end(), "profilesList"), announced.end());

    // Unticking cannot choose a behaviour: the box shows the question again.
    dialog->askOnCloseBox()->click();
    EXPECT_TRUE(dialog->askOnCloseBox()->isChecked());
    EXPECT_EQ(app.GetSettings().KeepRunningOnClose, 0);
}

TEST_F(GlobalSettingsTest, UpdateSettingsNamesTheActiveProfileAndFindsItByExactName)
{
    const struct {
        const char* name;
        std::vector<std::string> files;
        const char* active;
        std::vector<std::string> list;
        const char* windowTitle;
        const char* buttonText;
        int index;
    } cases[] = {
        { "only the default profile", { "default" }, "Default", {}, "Corvantis", "Untitled", 0 },
        { "default in other letters", { "default", "Office", "Home" }, "DeFault", { "Home", "Office" }, "Untitled",
            "Untitled", 2 },
        { "a listed profile", { "Office", "Home" }, "Office", { "Home", "Office" }, "Office", "Office", 1 },
        { "a name that differs in case", { "Office", "Home" }, "office", { "Home", "Office" }, "office", "office", 2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(home / "Profiles");
        std::filesystem::create_directories(home / "Profiles");
        for (const std::string& file : c.files)
            AddProfileFile(file);
        SetActive(c.active);
        settings->updateSettings();

        EXPECT_EQ(settings->profilesList(), c.list);
        EXPECT_EQ(settings->activeProfileNameWindowTitle(), c.windowTitle);
        EXPECT_EQ(settings->activeProfileNameButtonText(), c.buttonText);
        EXPECT_EQ(settings->currentProfileIndex(), c.index);
        EXPECT_EQ(settings->currentProfileName(), c.active);
        // The pop-up shows the names and no choice for a profile outside them.
        QComboBox* combo = dialog->profilesCombo();
        ASSERT_EQ(combo->count(), static_cast<int>(c.list.size()));
        EXPECT_EQ(combo->currentIndex(), c.index < combo->count() ? c.index : -1);
        EXPECT_EQ(dialog->profileNameLabel()->text().toStdString(), c.buttonText);
    }
    // Choosing in the pop-up selects that profile.
    emit dialog->profilesCombo()->activated(0);
    EXPECT_EQ(selected, (std::vector<std::pair<int, std::string>> { { 0, "Home" } }));
}

// What a menu holds: title (or "-" for a separator), tag, checked, enabled.
struct MenuItem {
    std::string title;
    int tag;
    bool checked;
    bool enabled;
    friend bool operator==(const MenuItem&, const MenuItem&) = default;
    friend std::ostream& operator<<(std::ostream& os, const MenuItem& item)
    {
        return os << item.title << "/" << item.tag << (item.checked ? "/on" : "/off")
                  << (item.enabled ? "/enabled" : "/disabled");
    }
};

std::vector<MenuItem> Shown(QMenu& menu)
{
    menu.popup(QPoint(0, 0));
    std::vector<MenuItem> items;
    for (QAction* action : menu.actions()) {
        if (action->isSeparator())
            items.push_back({ "-", 0, false, true });
        else
            items.push_back(
                { action->text().toStdString(), action->data().toInt(), action->isChecked(), action->isEnabled() });
    }
    menu.hide();
    return items;
}

TEST_F(GlobalSettingsTest, TheMenusAreRebuiltFromTheProfileFilesEachTimeTheyShow)
{
    std::vector<std::pair<int, std::string>> chosen;
    MenuFileDelegate delegate([&](int tag, const std::string& title) { chosen.emplace_back(tag, title); });
    QMenu top;
    QMenu* sub = top.addMenu(QStringLiteral("Profiles"));
    QMenu file;
    delegate.attach(sub, true);
    delegate.attach(&file, false);
    const MenuItem separator { "-", 0, false, true };
    const MenuItem newProfile { "New Profile...", 1, false, true };
    const MenuItem saveAs { "Save Profile As...", 2, false, true };

    AddProfileFile("default");
    SetActive("Default");
    EXPECT_EQ(Shown(*sub), (std::vector<MenuItem> { { "No Profile Defined", -1, false, false } }));
    EXPECT_EQ(Shown(file), (std::vector<MenuItem> { separator, newProfile, saveAs }));

    AddProfileFile("Office");
    AddProfileFile("Home");
    SetActive("Office");
    const MenuItem home { "Home", 0, false, true };
    const MenuItem office { "Office", 0, true, true };
    EXPECT_EQ(Shown(*sub), (std::vector<MenuItem> { home, office }));
    EXPECT_EQ(Shown(file), (std::vector<MenuItem> { home, office, separator, newProfile, saveAs }));

    // Only a byte-for-byte match is checked.
    SetActive("office");
    EXPECT_EQ(Shown(*sub), (std::vector<MenuItem> { home, { "Office", 0, false, true } }));

    Shown(file);
    for (QAction* action : file.actions()) {
        if (!action->isSeparator())
            action->trigger();
    }
    EXPECT_EQ(chosen,
        (std::vector<std::pair<int, std::string>> {
            { 0, "Home" }, { 0, "Office" }, { 1, "New Profile..." }, { 2, "Save Profile As..." } }));
}

TEST_F(GlobalSettingsTest, TheLogFileBoxNamesTheExtensionsLogsFolder)
{
    std::shared_ptr<const CoreHooks> saved = CurrentCoreHooks();
    CoreHooks hooks = *saved;
    AddMessageBoxUIHook(hooks);
    SetCoreHooks(hooks);
    const test::TempDir extensionHome;
    const struct {
        const char* name;
        std::string variable;
        std::string logs;
    } cases[] = {
        { "a home of its own", extensionHome.str(), extensionHome.str() + "/Logs" },
        // The extension runs as root, whoever runs the application.
        { "the default home", "", "/var/lib/corvantis-extension/Logs" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnv variable("CORVANTIS_EXTENSION_HOME", c.variable);
        MessageBoxScript boxes;
        dialog->logFileButton()->click();
        ASSERT_EQ(boxes.requests().size(), 1u);
        const MessageBoxScript::Request& box = boxes.requests()[0];
        EXPECT_EQ(box.caption, "Log File Path");
        EXPECT_EQ(box.message,
            c.logs + "/\n\nTo copy the log to your home folder, please run in a terminal:\nsudo cp -r " + c.logs
                + " ~/Corvantis-Logs && sudo chown -R \"$(id -un)\" ~/Corvantis-Logs");
        EXPECT_EQ(box.flags, 0);
        EXPECT_EQ(box.accessoryWidth, 400);
        EXPECT_TRUE(box.buttons.empty());
    }
    SetCoreHooks(*saved);

    dialog->trafficFolderButton()->click();
    EXPECT_EQ(openedFolders, std::vector<std::string> { (home / "Traffic").string() });
}

} // namespace
} // namespace corvantis
