#include "app/ui/GlobalSettings.h"

#include "app/ui/BoundProperty.h"
#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/Log.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileStorage.h"
#include "platform/ProgramHome.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdlib>

namespace corvantis {

namespace {

constexpr const char* kUntitled = "Untitled";
constexpr const char* kNoProfileWindowTitle = "Corvantis";
constexpr const char* kLevelTitles[5] = { "None", "Error", "Info", "Verbose", "Debug" };

bool IsDefaultName(const std::string& name)
{
    static constexpr const char kDefault[] = "default";
    if (name.size() != sizeof(kDefault) - 1)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kDefault[i])
            return false;
    }
    return true;
}

CAppSettings CurrentSettings()
{
    return theApp ? theApp->GetSettings() : CAppSettings {};
}

} // namespace

const char* const GlobalSettings::kScreenLevelProperties[5]
    = { kLogLevelNone, kLogLevelError, kLogLevelInfo, kLogLevelVerbose, kLogLevelDebug };
const char* const GlobalSettings::kFileLevelProperties[5]
    = { kLogLevelFileNone, kLogLevelFileError, kLogLevelFileInfo, kLogLevelFileVerbose, kLogLevelFileDebug };

std::string LogFilePathText()
{
    // The extension runs as root, so its home is what a root process of this environment would use.
    const std::string logs = programHomeDir(
                                 Program::Extension, [](const char* name) { return std::getenv(name); }, 0)
        + "/Logs";
    return logs + "/\n\nTo copy the log to your home folder, please run in a terminal:\nsudo cp -r " + logs
        + " ~/Corvantis-Logs && sudo chown -R \"$(id -un)\" ~/Corvantis-Logs";
}

GlobalSettings::GlobalSettings(Seams seams)
    : m_seams(std::move(seams))
{
    if (!m_seams.writeGlobalSettings)
        m_seams.writeGlobalSettings = [](bool restart) { CorvantisAppServices::writeGlobalSettings(restart ? 1 : 0); };
    if (!m_seams.startUpdateCheck)
        m_seams.startUpdateCheck = [] { StartUpdateCheckThread(1); };
    if (!m_seams.openFolder) {
        m_seams.openFolder = [](const std::string& folder) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
        };
    }
}

void GlobalSettings::write()
{
    m_seams.writeGlobalSettings(false);
}

void GlobalSettings::announceScreenLevels()
{
    for (const char* property : kScreenLevelProperties)
        m_announcer.announce(property);
}

void GlobalSettings::announceFileLevels()
{
    for (const char* property : kFileLevelProperties)
        m_announcer.announce(property);
    m_announcer.announce(kLogLevelFileTraffic);
}

bool GlobalSettings::screenLevelIs(int level) const
{
    return GetLog().GetScreenLevel() == level;
}

bool GlobalSettings::fileLevelIs(int level) const
{
    return GetLog().GetFileLevel() == level;
}

void GlobalSettings::setScreenLevel(int level, std::optional<bool> value)
{
    if (level < kLogNone || level > kLogDebug)
        return;
    if (!value.value_or(false)) {
        m_announcer.announce(kScreenLevelProperties[level]);
        return;
    }
    GetLog().SetScreenLevel(level);
    OpenLogFile();
    write();
    announceScreenLevels();
}

void GlobalSettings::setFileLevel(int level, std::optional<bool> value)
{
    if (level < kLogNone || level > kLogDebug)
        return;
    if (!value.value_or(false)) {
        m_announcer.announce(kFileLevelProperties[level]);
        return;
    }
    GetLog().SetFileLevel(level);
    OpenLogFile();
    write();
    announceFileLevels();
}

bool GlobalSettings::logLevelFileTraffic() const
{
    return CurrentSettings().TrafficLogEnabled;
}

void GlobalSettings::setLogLevelFileTraffic(std::optional<bool> value)
{
    if (!value.value_or(false) || !theApp) {
        m_announcer.announce(kLogLevelFileTraffic);
        return;
    }
    CAppSettings settings = theApp->GetSettings();
    settings.TrafficLogEnabled = !settings.TrafficLogEnabled;
    theApp->SetSettings(settings);
    write();
    announceFileLevels();
}

bool GlobalSettings::updatesCheck() const
{
    return CurrentSettings().UpdateCheck;
}

void GlobalSettings::setUpdatesCheck(std::optional<bool> value)
{
    if (value && theApp) {
        CAppSettings settings = theApp->GetSettings();
        settings.UpdateCheck = *value;
        theApp->SetSettings(settings);
        write();
        if (*value)
            m_seams.startUpdateCheck();
    }
    m_announcer.announce(kUpdatesCheck);
}

void GlobalSettings::setAllowProfileUpdate(std::optional<bool> /*value*/)
{
    m_announcer.announce(kAllowProfileUpdate);
}

bool GlobalSettings::askOnClose() const
{
    return CurrentSettings().KeepRunningOnClose == 0;
}

bool GlobalSettings::keepRunningOnClose() const
{
    return CurrentSettings().KeepRunningOnClose == 1;
}

bool GlobalSettings::stopRunningOnClose() const
{
    return CurrentSettings().KeepRunningOnClose == 2;
}

void GlobalSettings::setAskOnClose(std::optional<bool> value)
{
    if (!value.value_or(false) || !theApp) {
        m_announcer.announce(kAskOnClose);
        return;
    }
    CAppSettings settings = theApp->GetSettings();
    settings.KeepRunningOnClose = 0;
    theApp->SetSettings(settings);
    // The close choice is the application's own: the extension does not need it.
    SaveSettings(settings);
    updateSettings();
}

std::string GlobalSettings::quitMenuTitle() const
{
    return keepRunningOnClose() ? kQuitKeepWorkingTitle : kQuitTitle;
}

void GlobalSettings::setQuitMenuTitle(std::optional<bool> /*value*/)
{
    m_announcer.announce(kQuitMenuTitle);
}

std::string GlobalSettings::currentProfileName() const
{
    return CurrentSettings().ActiveProfile;
}

int GlobalSettings::currentProfileIndex() const
{
    const std::string active = currentProfileName();
    for (size_t i = 0; i < m_profilesList.size(); ++i) {
        if (m_profilesList[i] == active)
            return static_cast<int>(i);
    }
    return static_cast<int>(m_profilesList.size());
}

void GlobalSettings::setCurrentProfileIndex(std::optional<bool> /*value*/)
{
    m_announcer.announce(kCurrentProfileIndex);
}

void GlobalSettings::updateSettings()
{
    setAllowProfileUpdate(std::nullopt);
    announceScreenLevels();
    announceFileLevels();
    setUpdatesCheck(std::nullopt);
    setAskOnClose(std::nullopt);
    setQuitMenuTitle(std::nullopt);

    m_profilesList = ListProfileFiles(false);
    m_announcer.announce(kProfilesList);

    const std::string active = currentProfileName();
    if (m_profilesList.empty()) {
        m_windowTitle = kNoProfileWindowTitle;
        m_buttonText = kUntitled;
    } else if (IsDefaultName(active)) {
        m_windowTitle = kUntitled;
        m_buttonText = kUntitled;
    } else {
        m_windowTitle = active;
        m_buttonText = active;
    }
    m_announcer.announce(kActiveProfileNameWindowTitle);
    m_announcer.announce(kActiveProfileNameButtonText);

    setCurrentProfileIndex(std::nullopt);
}

void GlobalSettings::openLogTrafficFolder()
{
    m_seams.openFolder(GetTrafficDir());
}

void GlobalSettings::openLogFile()
{
    MessageBoxUI(LogFilePathText(), kLogFilePathCaption, 0, nullptr, nullptr, nullptr, kLogFilePathBoxWidth);
}

// ---- The settings window ----

GlobalSettingsDialog::GlobalSettingsDialog(
    GlobalSettings& settings, std::function<void(int tag, const std::string& title)> selectProfile, QWidget* parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_selectProfile(std::move(selectProfile))
    , m_bound(new BoundProperties(settings.announcer(), this))
{
    setWindowTitle(QStringLiteral("Settings"));
    auto* layout = new QVBoxLayout(this);

    auto makeLevels = [this, layout](const QString& title, QRadioButton** buttons, const char* namePrefix, bool file) {
        auto* box = new QGroupBox(title, this);
        auto* row = new QHBoxLayout(box);
        auto* group = new QButtonGroup(box);
        for (int level = 0; level < 5; ++level) {
            buttons[level] = new QRadioButton(QString::fromLatin1(kLevelTitles[level]), box);
            buttons[level]->setObjectName(QString::fromLatin1(namePrefix) + QString::number(level));
            group->addButton(buttons[level], level);
            row->addWidget(buttons[level]);
        }
        layout->addWidget(box);
        bindLevels(group, buttons, file);
    };
    makeLevels(QStringLiteral("Log level (screen)"), m_screenLevels, "screenLevel", false);
    makeLevels(QStringLiteral("Log level (file)"), m_fileLevels, "fileLevel", true);

    m_traffic = new QCheckBox(QStringLiteral("Dump traffic"), this);
    m_traffic->setObjectName(QStringLiteral("traffic"));
    layout->addWidget(m_traffic);
    // Each click toggles the dump, whatever state the box shows.
    bindCheckBox(
        m_traffic, *m_bound, QString::fromLatin1(GlobalSettings::kLogLevelFileTraffic),
        [this] { return m_settings.logLevelFileTraffic(); }, [this](bool) { m_settings.setLogLevelFileTraffic(true); });

    auto* logButtons = new QHBoxLayout;
    m_logFile = new QPushButton(QStringLiteral("Log File Path..."), this);
    m_logFile->setObjectName(QStringLiteral("logFile"));
    m_trafficFolder = new QPushButton(QStringLiteral("Open Traffic Folder"), this);
    m_trafficFolder->setObjectName(QStringLiteral("trafficFolder"));
    logButtons->addWidget(m_logFile);
    logButtons->addWidget(m_trafficFolder);
    layout->addLayout(logButtons);
    connect(m_logFile, &QPushButton::clicked, this, [this] { m_settings.openLogFile(); });
    connect(m_trafficFolder, &QPushButton::clicked, this, [this] { m_settings.openLogTrafficFolder(); });

    m_updates = new QCheckBox(QStringLiteral("Check for updates"), this);
    m_updates->setObjectName(QStringLiteral("updates"));
    layout->addWidget(m_updates);
    bindCheckBox(
        m_updates, *m_bound, QString::fromLatin1(GlobalSettings::kUpdatesCheck),
        [this] { return m_settings.updatesCheck(); }, [this](bool on) { m_settings.setUpdatesCheck(on); });

    m_askOnClose = new QCheckBox(QStringLiteral("Ask what to do on close"), this);
    m_askOnClose->setObjectName(QStringLiteral("askOnClose"));
    layout->addWidget(m_askOnClose);
    bindCheckBox(
        m_askOnClose, *m_bound, QString::fromLatin1(GlobalSettings::kAskOnClose),
        [this] { return m_settings.askOnClose(); }, [this](bool on) { m_settings.setAskOnClose(on); });

    auto* profileRow = new QHBoxLayout;
    profileRow->addWidget(new QLabel(QStringLiteral("Profile:"), this));
    m_profiles = new QComboBox(this);
    m_profiles->setObjectName(QStringLiteral("profiles"));
    profileRow->addWidget(m_profiles, 1);
    m_profileName = new QLabel(this);
    m_profileName->setObjectName(QStringLiteral("profileName"));
    profileRow->addWidget(m_profileName);
    layout->addLayout(profileRow);
    rereadProfiles();
    connect(m_bound, &BoundProperties::changed, this, [this](const QString& property) {
        if (property == QLatin1String(GlobalSettings::kProfilesList)
            || property == QLatin1String(GlobalSettings::kCurrentProfileIndex)
            || property == QLatin1String(GlobalSettings::kActiveProfileNameButtonText))
            rereadProfiles();
    });
    connect(m_profiles, &QComboBox::activated, this, [this](int index) {
        const std::vector<std::string>& names = m_settings.profilesList();
        if (index >= 0 && static_cast<size_t>(index) < names.size() && m_selectProfile)
            m_selectProfile(0, names[static_cast<size_t>(index)]);
    });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

GlobalSettingsDialog::~GlobalSettingsDialog() = default;

QRadioButton* GlobalSettingsDialog::screenLevelButton(int level) const
{
    return level >= 0 && level < 5 ? m_screenLevels[level] : nullptr;
}

QRadioButton* GlobalSettingsDialog::fileLevelButton(int level) const
{
    return level >= 0 && level < 5 ? m_fileLevels[level] : nullptr;
}

void GlobalSettingsDialog::bindLevels(QButtonGroup* group, QRadioButton* const* buttons, bool file)
{
    const char* const* properties
        = file ? GlobalSettings::kFileLevelProperties : GlobalSettings::kScreenLevelProperties;
    auto reread = [this, group, buttons, file] {
        // Exclusivity off while re-reading, so that a level outside 0-4 shows no button chosen.
        group->setExclusive(false);
        for (int level = 0; level < 5; ++level) {
            QSignalBlocker blocker(buttons[level]);
            buttons[level]->setChecked(file ? m_settings.fileLevelIs(level) : m_settings.screenLevelIs(level));
        }
        group->setExclusive(true);
    };
    reread();
    connect(m_bound, &BoundProperties::changed, group, [reread, properties](const QString& property) {
        for (int level = 0; level < 5; ++level) {
            if (property == QLatin1String(properties[level])) {
                reread();
                return;
            }
        }
    });
    connect(group, &QButtonGroup::idClicked, this, [this, file](int level) {
        if (file)
            m_settings.setFileLevel(level, true);
        else
            m_settings.setScreenLevel(level, true);
    });
}

void GlobalSettingsDialog::rereadProfiles()
{
    QSignalBlocker blocker(m_profiles);
    QStringList names;
    for (const std::string& name : m_settings.profilesList())
        names << QString::fromStdString(name);
    QStringList shown;
    for (int i = 0; i < m_profiles->count(); ++i)
        shown << m_profiles->itemText(i);
    if (shown != names) {
        m_profiles->clear();
        m_profiles->addItems(names);
    }
    // An active profile outside the list shows no choice.
    const int index = m_settings.currentProfileIndex();
    m_profiles->setCurrentIndex(index < m_profiles->count() ? index : -1);
    m_profileName->setText(QString::fromStdString(m_settings.activeProfileNameButtonText()));
}

} // namespace corvantis
