#pragma once

#include "app/OpenFileLimit.h"
#include "app/SingleInstance.h"
#include "platform/NotificationCenter.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class CorvantisAppDelegate;

// The notifications the delegate observes besides those of MessageBox.h ("ProfileUpdated", "GlobalUpdated",
// "ShowAbout", "MessageBox").
inline constexpr const char* kLogNotification = "Log";
inline constexpr const char* kLoopDetectNotification = "LoopDetect";
inline constexpr const char* kGetPasswordNotification = "GetPassword";
inline constexpr const char* kPushToFrontNotification = "PushToFront";
// Posted on the main thread when the machine is about to power off (logind's PrepareForShutdown(true)).
inline constexpr const char* kWillPowerOffNotification = "NSWorkspaceWillPowerOffNotification";
inline constexpr const char* kVpnStatusDidChangeNotification = "NEVPNStatusDidChangeNotification";

// The message a second copy shows before it ends.
inline constexpr const char* kAnotherCopyMessage = "Another copy of Corvantis is already running.";
inline constexpr const char* kAnotherCopyCaption = "Error.";

// The main window as the delegate drives it. The windows library makes the real one (CreateMainWindow); the
// window watches the delegate's view flags and statistics text itself (observeProperties).
class MainWindowShell {
public:
    virtual ~MainWindowShell() = default;
    // Shows the window, raises it above the others and gives it the keyboard focus.
    virtual void bringToFront() = 0;
    virtual bool isShown() const = 0;
};

// Defined by the windows library (app/ui/MainWindow.cpp): the main window over `delegate`, which must outlive
// it. The program, which links both libraries, passes it to the delegate.
std::unique_ptr<MainWindowShell> CreateMainWindow(CorvantisAppDelegate& delegate);

// The application delegate: the state the application's parts share, the options read before launching and the
// launch sequence (token listener, older-version and second-copy checks, open-file limit, notification
// observers, first windows).
//
// Lives as long as the program (tests make their own). Main thread only: every member, and every notification
// handler, which the notification center runs there.
class CorvantisAppDelegate final : public QObject {
    Q_OBJECT
public:
    // An installed copy of an older version, as the older-version lookup reports it.
    struct InstalledCopy {
        std::string path;
        std::string bundleIdentifier;
        std::string bundleVersion;
    };

    // What tests replace. Empty members take the defaults noted.
    struct Seams {
        // Ends the process with `code`. Default: std::exit. When it returns, the launch stops where it was.
        std::function<void(int code)> exit;
        // Shows a message box and returns the answer. Default: MessageBox (core), which asks on the main thread.
        std::function<long(const std::string& message, const std::string& caption, int flags)> messageBox;
        // The older installed copy, if any. Default: nothing, as the install tree holds one version only.
        std::function<std::optional<InstalledCopy>()> findOlderVersion;
        // The single-instance lock's folder and hand-over time-out.
        SingleInstance::Options singleInstance;
        // The open-file limit's system calls. Default: the real ones.
        std::optional<OpenFileLimitCalls> openFileLimit;
        // Makes the main window at launch. Default: no window (the program passes CreateMainWindow).
        std::function<std::unique_ptr<MainWindowShell>(CorvantisAppDelegate&)> makeMainWindow;
        // Called on entry of each notification handler with its name. Default: nothing.
        std::function<void(const std::string& handler)> handlerEntered;
    };

    // The three views of the main window, of which one at most is shown.
    static constexpr const char* kGraphShown = "graphShown";
    static constexpr const char* kConnectionsShown = "connectionsShown";
    static constexpr const char* kStatisticsShown = "statisticsShown";
    static constexpr const char* kStatisticText = "statisticText";

    explicit CorvantisAppDelegate(Seams seams = {}, QObject* parent = nullptr);
    // Removes the observers it added and releases the single-instance lock.
    ~CorvantisAppDelegate() override;
    CorvantisAppDelegate(const CorvantisAppDelegate&) = delete;
    CorvantisAppDelegate& operator=(const CorvantisAppDelegate&) = delete;

    // The files given on the command line (FileArguments), opened at launch or handed to the running copy.
    void setLaunchFiles(std::vector<std::string> paths) { m_launchFiles = std::move(paths); }

    // ---- Launching ----

    // Clears the closing flag, logs, and runs the options once (eventPreLaunch).
    void applicationWillFinishLaunching();
    // Logs and, unless "DeactivateSysExt" stopped it or an option ended the process, runs the launch once.
    void applicationDidFinishLaunching();
    // The first call reads the command-line options (eventPreLaunchOnce); later calls do nothing.
    void eventPreLaunch();
    // The first call runs the launch sequence (eventLaunchOnce); later calls do nothing.
    void eventLaunch();
    // With no visible window the main window comes to the front. Returns `hasVisibleWindows`.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    // ---- The three exclusive view flags ----

    // Reading a flag gives false until it is set. Setting one true sets the other two false and announces all
    // three; setting nothing announces that one flag; setting false does nothing.
    bool graphShown() const { return m_isGraphShown.value_or(false); }
    bool connectionsShown() const { return m_isConnectionsShown.value_or(false); }
    bool statisticsShown() const { return m_isStatisticsShown.value_or(false); }
    void setGraphShown(std::optional<bool> shown);
    void setConnectionsShown(std::optional<bool> shown);
    void setStatisticsShown(std::optional<bool> shown);

    const std::string& statisticText() const { return m_statisticText; }
    // Stores the text and announces it.
    void setStatisticText(std::string text);

    // Calls `observer` with the property's name after every announcement (the names above) until removed.
    using PropertyObserver = std::function<void(const std::string& property)>;
    int observeProperties(PropertyObserver observer);
    void removePropertyObserver(int id);

    // ---- Windows and state ----

    MainWindowShell* window() const { return m_window.get(); }
    // Orders the main window front.
    void showLogWindow();
    bool isLoaded() const { return m_isLoaded; }
    bool doNotRun() const { return m_doNotRun; }
    bool isClosing() const { return mIsClose; }
    // Profile files given to open (on the command line, or by a second copy), oldest first, kept for the
    // profile-document code.
    const std::vector<std::string>& pendingFiles() const { return m_pendingFiles; }
    // Takes a profile file to open.
    void openFile(const std::string& path);

    // ---- Notification handlers (main thread) ----

    void LogNotifyReceived(const Notification& notification);
    void LoopNotifyReceived(const Notification& notification);
    void ProfileUpdatedNotify(const Notification& notification);
    void GlobalUpdatedNotify(const Notification& notification);
    void MessageBoxNotifyReceived(const Notification& notification);
    void AboutNotifyReceived(const Notification& notification);
    void GetPasswordNotifyRecieved(const Notification& notification);
    void PushToFrontNotifyRecieved(const Notification& notification);
    void rebootNotifyRecieved(const Notification& notification);
    void vpnProxyStatusChangedNotification(const Notification& notification);

private slots:
    // logind's PrepareForShutdown; `start` true means the power-off begins.
    void prepareForShutdown(bool start);

private:
    void eventPreLaunchOnce();
    void eventLaunchOnce();
    // Stops the launch: ends the process through the seam (which returns only in tests).
    void exitProcess(int code);
    bool olderVersionStopsLaunch();
    bool secondCopyStopsLaunch();
    void addObservers();
    void watchPowerOff();
    void loadSettings();
    // The extension's removal for "DeactivateSysExt"; the extension control takes it over.
    void removeSystemExtensionAndWait();
    // The work threads (the polling of the extension and the statistics); started by the extension control.
    void startWorkThreads();
    void setExclusiveFlag(std::optional<bool>& flag, const char* name, std::optional<bool> shown);
    void announce(const std::string& property);
    void entered(const char* handler);

    Seams m_seams;
    std::vector<std::string> m_launchFiles;
    std::vector<std::string> m_pendingFiles;
    std::unique_ptr<MainWindowShell> m_window;
    SingleInstance* m_singleInstance = nullptr; // owned as a child
    std::vector<NotificationCenter::ObserverId> m_observers;
    std::map<int, PropertyObserver> m_propertyObservers;
    int m_nextPropertyObserver = 1;

    bool m_preLaunchDone = false;
    bool m_launchDone = false;
    bool m_exited = false; // an option or a check ended the process (seen only when the exit seam returns)

    std::optional<bool> m_isGraphShown;
    std::optional<bool> m_isConnectionsShown;
    std::optional<bool> m_isStatisticsShown;
    std::string m_statisticText;
    bool m_isLoaded = false;
    bool m_loadExtProfile = false;
    bool m_noSystemProfile = false;
    bool mIsClose = false;
    bool m_doNotRun = false;
};

} // namespace corvantis
