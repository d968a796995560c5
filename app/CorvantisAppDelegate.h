#pragma once

#include "app/ExtensionClient.h"
#include "app/ExtensionControl.h"
#include "app/NetworkLoadDialog.h"
#include "app/OpenFileLimit.h"
#include "app/ProfileDocuments.h"
#include "app/SingleInstance.h"
#include "app/Termination.h"
#include "platform/NotificationCenter.h"
#include "platform/Result.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QEvent;
class QSocketNotifier;

namespace corvantis {

class CorvantisAppDelegate;
class ExtensionSettingsSender;
class LoopPrompt;
class TickPoller;
class WorkThreads;

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
    // The polling step's sinks: the log list takes the queued log lines (`visible`: whether the window is shown),
    // the connections list takes the extension's connection text, the graph the traffic series (the tick data's
    // bytes). A window without these views ignores them.
    virtual void updateLogList(bool /*visible*/) { }
    virtual void updateConnectionsList(const std::string& /*text*/) { }
    virtual void updateGraph(const std::vector<uint8_t>& /*up*/, const std::vector<uint8_t>& /*down*/) { }
};

// Defined by the windows library (app/ui/MainWindow.cpp): the main window over `delegate`, which must outlive
// it. The program, which links both libraries, passes it to the delegate.
std::unique_ptr<MainWindowShell> CreateMainWindow(CorvantisAppDelegate& delegate);

// Defined by the windows library (app/ui/ExcludedPortsSheet.cpp): runs the excluded-ports sheet modally over the
// delegate's main window with the texts `udp` and `tcp`, puts the texts as the user left them back into them
// and returns 1 (Save) or 0 (Cancel). The program passes it to the delegate.
int RunExcludedPortsSheet(CorvantisAppDelegate& delegate, std::string& udp, std::string& tcp);

// The application delegate: the state the application's parts share, the options read before launching and the
// launch sequence (token listener, older-version and second-copy checks, open-file limit, notification
// observers, first windows, work threads). It owns the extension's bring-up (ExtensionControl), the settings
// sent to the extension (ExtensionSettingsSender, also behind CoreHooks::writeGlobalSettings from the launch
// on), the polling of the extension's tick data into the windows (TickPoller, driven by "Log") and the
// loop-detection prompt.
//
// Lives as long as the program (tests make their own). Main thread only: every member, and every notification
// handler, which the notification center runs there. The work threads and the bring-up call back into it from
// their own threads only through the notification center and the extension control; the destructor stops and
// joins them all, running the main thread's queue meanwhile so that none of them waits for it in vain.
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

        // ---- Extension bring-up and polling ----
        // The extension-loading dialog. Default: a LoggedLoadDialog (each step a debug-level log line).
        std::shared_ptr<NetworkLoadDialog> loadDialog;
        // A new, unconnected client of the extension, for the hello, the settings and every tick request.
        // Default: MakeExtensionClient (the extension of this program's tree).
        std::function<ExtensionClientPtr()> makeExtensionClient;
        // Whether the base network interface is known. Default: GetBaseInterfaceIndex() != 0.
        std::function<bool()> isNetworkKnown;
        // The bring-up's waits and bounds (the program's own by default; tests shorten them).
        ExtensionControl::Timing bringUpTiming;
        // The main work thread's first step, the core object's start: 1 or more ends the application, 0 brings
        // the main window to the front, below 0 does neither. Default: GetAppUI()->Start().
        std::function<int()> startCore;
        // Whether the program may start the bring-up from where its executable lies; a refusal shows the
        // location message and ends the application. Default: IsInProgramTree.
        std::function<bool(const std::filesystem::path& executable)> locationPasses;
        // Whether a statistics sample is due (which starts the next), asked by the statistics thread every
        // `statInterval`; each due sample runs one polling step on the main thread. Default: the core object's
        // traffic statistics.
        std::function<bool()> isSampleDue;
        std::chrono::milliseconds statInterval { 250 };
        // Asks the application to end; runs on the main thread. Default: QCoreApplication::exit(0).
        std::function<void()> terminate;
        // The endpoint of the token listener sent to the extension with the settings. Default: the listener
        // started at launch (GssHelperServer::listenerEndpoint).
        std::function<std::optional<XpcEndpoint>()> gssEndpoint;
        // Seconds of the loop prompt's clock. Default: CLOCK_BOOTTIME.
        std::function<int64_t()> loopPromptClock;

        // ---- Windows and help ----
        // Runs the excluded-ports sheet (RunExcludedPortsSheet's contract). Default: none, and showExcludedPorts
        // does nothing (the program passes RunExcludedPortsSheet).
        std::function<int(CorvantisAppDelegate&, std::string& udp, std::string& tcp)> runExcludedPortsSheet;
        // Opens a web address in the user's browser. Default: QDesktopServices::openUrl.
        std::function<void(const std::string& url)> openUrl;
        // The loop dialog for an application the core caught in a connection loop: true when it inserted a rule
        // (a replaced one counts not). Default: none, and the notification changes nothing.
        std::function<bool(const std::string& application)> showLoopDetection;
        // Tells the profile editor that a rule was inserted at the top, so that an open rule dialog keeps its
        // own rule. Default: nothing.
        std::function<void()> ruleAdded;
        // The profile editor re-reads the active profile. Default: nothing.
        std::function<void()> updateProfileUI;
        // The settings window re-reads the settings. Default: nothing.
        std::function<void()> updateSettings;
        // Runs the About box. Default: nothing.
        std::function<void()> showAbout;
        // The windows of the profile commands (name sheet, file panels, password and encryption windows).
        ProfileDocuments::Seams documents;

        // ---- Termination ----
        // Asks the keep-running question: MessageBox's contract, with a suppression check box. Default:
        // MessageBox (core), which asks on the main thread.
        std::function<long(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
            bool* suppressResult)>
            questionBox;
        // The extension's providers as termination finds and stops them. Default: those of the extension
        // control (extensionControl()).
        std::function<ExtensionStopper::Providers()> extensionProviders;
    };

    // The three views of the main window, of which one at most is shown.
    static constexpr const char* kGraphShown = "graphShown";
    static constexpr const char* kConnectionsShown = "connectionsShown";
    static constexpr const char* kStatisticsShown = "statisticsShown";
    static constexpr const char* kStatisticText = "statisticText";

    CorvantisAppDelegate();
    explicit CorvantisAppDelegate(Seams seams, QObject* parent = nullptr);
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

    // ---- Extension control and polling ----

    // The bring-up and status control of the extension (lives as long as the delegate).
    ExtensionControl& extensionControl() const { return *m_control; }
    // One polling step: the log window takes the queued lines, the bring-up checks the proxy's status, and while
    // the transparent proxy runs (state 2) the extension's tick data are requested; their six values go, on the
    // main thread, to the statistics text, the application's log (100 lines or more start another step at
    // once), the connections view, the traffic graph and the loop prompt. Nothing once the application closes.
    void processStatAndLogAtMainThread();
    // Stores the settings record; with a link to the transparent proxy, sends the settings and the profile to
    // the extension (restarting the proxy after it took them when `restart` is set). Any thread.
    void writeGlobalSettings(bool restart);
    // Sends the settings and the profile to the extension now; `result` (may be empty) gets whether the
    // extension took them, on a reply thread. Any thread.
    void writeGlobalSettingsToExtension(bool restart, std::function<void(bool ok)> result);
    // Sets the closing flag (the statistics thread and the status checks stop), then ends and joins the work
    // threads, running the main thread's queue meanwhile. Later calls do nothing more; the destructor calls it.
    void stopWorkThreads();

    // ---- Excluded ports and help ----

    // Runs the excluded-ports sheet over the settings record's two texts. On Save the UDP text, then the TCP
    // text, is checked (ValidatePorts): the first fault shows its message in a box captioned "Cannot save
    // ports" and changes nothing; otherwise both texts replace the record's and writeGlobalSettings(true)
    // stores and sends them. Cancel changes nothing. Nothing without a core object or a sheet (Seams).
    void showExcludedPorts();
    // Open the web pages of support and documentation: webAddress() + "/support/" and + "/docs/".
    void openSupport();
    void openDocumentation();
    // The base address of the program's web pages (the build setting CORVANTIS_WEB_ADDRESS).
    static std::string webAddress();

    // ---- Windows and state ----

    MainWindowShell* window() const { return m_window.get(); }
    // Orders the main window front.
    void showLogWindow();
    bool isLoaded() const { return m_isLoaded; }
    bool doNotRun() const { return m_doNotRun; }
    bool isClosing() const { return mIsClose.load(); }
    // Profile files given to open (on the command line, or by a second copy), oldest first, kept for the
    // profile-document code.
    const std::vector<std::string>& pendingFiles() const { return m_pendingFiles; }
    // Takes a profile file to open (ProfileDocuments::openFile).
    void openFile(const std::string& path);
    // The profile commands and the password prompt.
    ProfileDocuments& documents() { return *m_documents; }

    // ---- Termination (main thread) ----

    enum class TerminateReply {
        Now, // the application may end now
        Later, // the providers are being stopped; their end asks again
    };
    // Decides whether the extension stops with the application (DecideExtensionStop; the keep-running question
    // only for a way out that may ask, storing "KeepRunningOnClose" when told to), stores "ShowMainWindow" and
    // sends the settings (writeGlobalSettings(false)). Keeping answers Now; stopping sets the terminating flag
    // and starts stopExtension, whose end sets the closing flag and requests termination again, and answers
    // Later. With the closing flag set it answers Now at once.
    TerminateReply applicationShouldTerminate(WayOut way);
    // The one terminate request of every way out: applicationShouldTerminate, and the terminate seam when it
    // answers Now. A request while the question is open or while the providers stop is dropped: the one under
    // way ends the application.
    void requestTerminate(WayOut way);
    // The choices of this run, each followed by a terminate request (as the Quit item).
    void stopVPNAndExit();
    void keepVPNAndExit();
    // Stops the extension's providers in order (ExtensionStopper) and calls `completion` once, with true, on
    // the thread of the last stop handler.
    void stopExtension(std::function<void(bool ok)> completion);
    // Set once stopping has begun: the status check and the polling stay quiet.
    bool isTerminating() const { return m_terminating.load(); }
    // Makes SIGTERM and SIGINT terminate requests (WayOut::Signal) through a pipe the main loop watches. One
    // delegate of the process at a time; its destructor puts the old handlers back.
    Status watchTerminationSignals();

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

public slots:
    // The Quit item of the menus: a terminate request (WayOut::QuitItem).
    void quit();

private slots:
    // logind's PrepareForShutdown; `start` true means the power-off begins.
    void prepareForShutdown(bool start);
    void terminationSignalArrived();

protected:
    // Turns the main window's close into a terminate request (WayOut::CloseWindow).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void eventPreLaunchOnce();
    void eventLaunchOnce();
    // Stops the launch: ends the process through the seam (which returns only in tests).
    void exitProcess(int code);
    bool olderVersionStopsLaunch();
    bool secondCopyStopsLaunch();
    void addObservers();
    void watchPowerOff();
    void watchSessionEnd();
    void watchMainWindowClose();
    // Runs `task` on the main thread: at once when called there (or when no main thread is set), else posted.
    // The task checks itself whether the delegate still lives.
    void onMainThread(std::function<void()> task);
    void loadSettings();
    // The extension's removal for "DeactivateSysExt": deactivates it and ends the process (code 0).
    void removeSystemExtensionAndWait();
    // Starts the main work thread (core start, location check, bring-up) and the statistics thread.
    void startWorkThreads();
    void registerWriteGlobalSettingsHook();
    // Runs `work` on a thread of its own and the main thread's queue until it returns: for waits on threads that
    // may themselves wait for the main thread.
    static void runWhileServingMainThread(const std::function<void()>& work);
    void setExclusiveFlag(std::optional<bool>& flag, const char* name, std::optional<bool> shown);
    void announce(const std::string& property);
    void entered(const char* handler);

    Seams m_seams;
    // Flipped to false first thing in the destructor: callbacks given away (the dialog's quit) check it.
    const std::shared_ptr<std::atomic<bool>> m_alive;
    std::unique_ptr<ExtensionControl> m_control;
    std::shared_ptr<ExtensionSettingsSender> m_sender;
    std::unique_ptr<LoopPrompt> m_loopPrompt;
    std::shared_ptr<TickPoller> m_poller;
    std::unique_ptr<WorkThreads> m_workThreads;
    bool m_hookRegistered = false;
    std::vector<std::string> m_launchFiles;
    std::vector<std::string> m_pendingFiles;
    std::unique_ptr<ProfileDocuments> m_documents;
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
    std::atomic<bool> mIsClose { false }; // read by the bring-up's threads
    // The decision is made and the application is ending: a close of the main window is no new way out.
    bool m_quitting = false;
    bool m_doNotRun = false;

    // Termination: the choices of this run, the terminating flag (read by the bring-up's threads) and whether a
    // decision is under way (the question may be open).
    std::atomic<bool> m_keepChosen { false };
    std::atomic<bool> m_stopChosen { false };
    std::atomic<bool> m_terminating { false };
    bool m_deciding = false;
    QSocketNotifier* m_signalNotifier = nullptr; // owned as a child
};

// Defined by the windows library (app/ui/AppWindows.cpp): fills every window of `seams` with the program's real
// ones (the main window, the sheets, the loading window, the loop and About boxes, the profile windows).
void AddWindowSeams(CorvantisAppDelegate::Seams& seams);

} // namespace corvantis
