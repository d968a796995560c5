#pragma once

#include "app/ui/PropertyAnnouncer.h"

#include <QDialog>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace corvantis {

class BoundProperties;

// The texts of the quit item.
inline constexpr const char* kQuitKeepWorkingTitle = "Close Corvantis and Keep Working in Background";
inline constexpr const char* kQuitTitle = "Quit Corvantis";
// The caption of the box that tells where the log files are.
inline constexpr const char* kLogFilePathCaption = "Log File Path";
// The width, in pixels, of that box.
inline constexpr int kLogFilePathBoxWidth = 400;

// The text of the log-path box: the Logs folder of the extension's home as it runs (as root), followed by the
// commands that copy the logs into the user's home folder.
std::string LogFilePathText();

// The application-wide settings as bound properties: the screen and file log levels (one boolean property per
// level, 0 none to 4 debug), the traffic dump, the update check, the close behaviour, and the profiles with the
// active one. Getters read the core object's settings record (`theApp`) and the process log; setters change
// them and have them stored and sent on through Seams::writeGlobalSettings. Every setter call announces its own
// property, so bound controls re-read it even when nothing changed (a refused value shows the old state again).
// A setter given no value changes nothing.
//
// Without a core object the getters read defaults and the setters of settings-record values change nothing.
// Main thread only.
class GlobalSettings final {
public:
    struct Seams {
        // Stores the settings and sends them to the extension; called with false (no restart of the proxy).
        // Default: CorvantisAppServices::writeGlobalSettings.
        std::function<void(bool restart)> writeGlobalSettings;
        // Starts an update check at once. Default: StartUpdateCheckThread(1).
        std::function<void()> startUpdateCheck;
        // Shows a folder in the file browser. Default: QDesktopServices::openUrl of the folder.
        std::function<void(const std::string& folder)> openFolder;
    };

    // The property names, as bound controls and announcements spell them.
    static constexpr const char* kLogLevelNone = "logLevelNone";
    static constexpr const char* kLogLevelError = "logLevelError";
    static constexpr const char* kLogLevelInfo = "logLevelInfo";
    static constexpr const char* kLogLevelVerbose = "logLevelVerbose";
    static constexpr const char* kLogLevelDebug = "logLevelDebug";
    static constexpr const char* kLogLevelFileNone = "logLevelFileNone";
    static constexpr const char* kLogLevelFileError = "logLevelFileError";
    static constexpr const char* kLogLevelFileInfo = "logLevelFileInfo";
    static constexpr const char* kLogLevelFileVerbose = "logLevelFileVerbose";
    static constexpr const char* kLogLevelFileDebug = "logLevelFileDebug";
    static constexpr const char* kLogLevelFileTraffic = "logLevelFileTraffic";
    static constexpr const char* kUpdatesCheck = "updatesCheck";
    static constexpr const char* kAllowProfileUpdate = "allowProfileUpdate";
    static constexpr const char* kAskOnClose = "askOnClose";
    static constexpr const char* kKeepRunningOnClose = "keepRunningOnClose";
    static constexpr const char* kStopRunningOnClose = "stopRunningOnClose";
    static constexpr const char* kQuitMenuTitle = "quitMenuTitle";
    static constexpr const char* kCurrentProfileIndex = "currentProfileIndex";
    static constexpr const char* kProfilesList = "profilesList";
    static constexpr const char* kActiveProfileNameWindowTitle = "activeProfileNameWindowTitle";
    static constexpr const char* kActiveProfileNameButtonText = "activeProfileNameButtonText";

    // The level properties in level order (index = level).
    static const char* const kScreenLevelProperties[5];
    static const char* const kFileLevelProperties[5];

    explicit GlobalSettings(Seams seams = {});
    GlobalSettings(const GlobalSettings&) = delete;
    GlobalSettings& operator=(const GlobalSettings&) = delete;

    // Announces every property change; bound controls observe it (BoundProperties).
    PropertyAnnouncer& announcer() { return m_announcer; }

    // ---- Log levels ----

    // Whether the screen (file) level is `level`.
    bool screenLevelIs(int level) const;
    bool fileLevelIs(int level) const;
    // A true value sets the screen level to `level` (0-4), applies the log's levels (OpenLogFile), writes the
    // settings and announces the five screen properties. No value or false: announces that level's property only.
    void setScreenLevel(int level, std::optional<bool> value);
    // The same for the file level; announces the six file properties (the five and the traffic dump).
    void setFileLevel(int level, std::optional<bool> value);

    bool logLevelNone() const { return screenLevelIs(0); }
    bool logLevelError() const { return screenLevelIs(1); }
    bool logLevelInfo() const { return screenLevelIs(2); }
    bool logLevelVerbose() const { return screenLevelIs(3); }
    bool logLevelDebug() const { return screenLevelIs(4); }
    void setLogLevelNone(std::optional<bool> value) { setScreenLevel(0, value); }
    void setLogLevelError(std::optional<bool> value) { setScreenLevel(1, value); }
    void setLogLevelInfo(std::optional<bool> value) { setScreenLevel(2, value); }
    void setLogLevelVerbose(std::optional<bool> value) { setScreenLevel(3, value); }
    void setLogLevelDebug(std::optional<bool> value) { setScreenLevel(4, value); }

    bool logLevelFileNone() const { return fileLevelIs(0); }
    bool logLevelFileError() const { return fileLevelIs(1); }
    bool logLevelFileInfo() const { return fileLevelIs(2); }
    bool logLevelFileVerbose() const { return fileLevelIs(3); }
    bool logLevelFileDebug() const { return fileLevelIs(4); }
    void setLogLevelFileNone(std::optional<bool> value) { setFileLevel(0, value); }
    void setLogLevelFileError(std::optional<bool> value) { setFileLevel(1, value); }
    void setLogLevelFileInfo(std::optional<bool> value) { setFileLevel(2, value); }
    void setLogLevelFileVerbose(std::optional<bool> value) { setFileLevel(3, value); }
    void setLogLevelFileDebug(std::optional<bool> value) { setFileLevel(4, value); }

    // The traffic-dump flag of the settings record. A true value toggles it (on becomes off, off becomes on),
    // writes the settings and announces the six file properties; the log's levels are not applied again.
    bool logLevelFileTraffic() const;
    void setLogLevelFileTraffic(std::optional<bool> value);

    // ---- Update check and close behaviour ----

    // The "UpdateCheck" setting. Any value is stored and written; a true one also starts an update check.
    bool updatesCheck() const;
    void setUpdatesCheck(std::optional<bool> value);

    // Always true.
    bool allowProfileUpdate() const { return true; }
    void setAllowProfileUpdate(std::optional<bool> value);

    // Close behaviour ("KeepRunningOnClose") 0 ask, 1 keep the extension working, 2 stop it.
    bool askOnClose() const;
    bool keepRunningOnClose() const;
    bool stopRunningOnClose() const;
    // A true value sets the close behaviour back to 0 (ask), stores the settings in the defaults only
    // (SaveSettings; nothing is sent to the extension) and runs updateSettings.
    void setAskOnClose(std::optional<bool> value);

    // kQuitKeepWorkingTitle while the close behaviour is 1, else kQuitTitle.
    std::string quitMenuTitle() const;
    void setQuitMenuTitle(std::optional<bool> value);

    // ---- Profiles ----

    // The active profile's name as the settings hold it; empty without a core object.
    std::string currentProfileName() const;
    // The profile names read by the last updateSettings.
    const std::vector<std::string>& profilesList() const { return m_profilesList; }
    const std::string& activeProfileNameWindowTitle() const { return m_windowTitle; }
    const std::string& activeProfileNameButtonText() const { return m_buttonText; }
    // The position of the first name in profilesList equal (byte for byte) to the active profile's name; the
    // list's length when none is.
    int currentProfileIndex() const;
    void setCurrentProfileIndex(std::optional<bool> value);

    // Announces every setting again, reads the profile names (ListProfileFiles), sets the two title texts
    // ("Corvantis" and "Untitled" without profiles; "Untitled" for an active profile named "default" in any
    // letter case; else the active name) and announces the profile properties. Run at start and whenever the
    // global settings change.
    void updateSettings();

    // ---- Actions ----

    // Opens the Traffic folder (GetTrafficDir) through Seams::openFolder.
    void openLogTrafficFolder();
    // Shows where the log files are (LogFilePathText) in a one-button box captioned kLogFilePathCaption.
    void openLogFile();

private:
    void write();
    void announceScreenLevels();
    void announceFileLevels();

    Seams m_seams;
    PropertyAnnouncer m_announcer;
    std::vector<std::string> m_profilesList;
    std::string m_windowTitle;
    std::string m_buttonText;
};

// The settings window over a GlobalSettings, which must outlive it: the screen and file levels as two groups of
// five radio buttons, the traffic dump (each click toggles it), the update check and the ask-on-close boxes,
// the profiles pop-up with the active profile's name, and the two log actions. Every control re-reads its
// property when it is announced. Choosing a profile in the pop-up calls `selectProfile` with tag 0 and the
// name. GUI thread only.
class GlobalSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    GlobalSettingsDialog(GlobalSettings& settings, std::function<void(int tag, const std::string& title)> selectProfile,
        QWidget* parent = nullptr);
    ~GlobalSettingsDialog() override;
    GlobalSettingsDialog(const GlobalSettingsDialog&) = delete;
    GlobalSettingsDialog& operator=(const GlobalSettingsDialog&) = delete;

    // The controls, for tests and the window's scripts. `level` 0-4; null for another number.
    QRadioButton* screenLevelButton(int level) const;
    QRadioButton* fileLevelButton(int level) const;
    QCheckBox* trafficBox() const { return m_traffic; }
    QCheckBox* updatesBox() const { return m_updates; }
    QCheckBox* askOnCloseBox() const { return m_askOnClose; }
    QComboBox* profilesCombo() const { return m_profiles; }
    QLabel* profileNameLabel() const { return m_profileName; }
    QPushButton* logFileButton() const { return m_logFile; }
    QPushButton* trafficFolderButton() const { return m_trafficFolder; }

private:
    void bindLevels(QButtonGroup* group, QRadioButton* const* buttons, bool file);
    void rereadProfiles();

    GlobalSettings& m_settings;
    std::function<void(int, const std::string&)> m_selectProfile;
    BoundProperties* m_bound;
    QRadioButton* m_screenLevels[5];
    QRadioButton* m_fileLevels[5];
    QCheckBox* m_traffic;
    QCheckBox* m_updates;
    QCheckBox* m_askOnClose;
    QComboBox* m_profiles;
    QLabel* m_profileName;
    QPushButton* m_logFile;
    QPushButton* m_trafficFolder;
};

} // namespace corvantis
