#include "app/CorvantisAppDelegate.h"

#include "app/AppProxyConnection.h"
#include "app/DnsProxyManager.h"
#include "app/ExtensionPolling.h"
#include "app/ExtensionSettings.h"
#include "app/LaunchOptions.h"
#include "app/LoggedLoadDialog.h"
#include "app/PortList.h"
#include "app/WorkThreads.h"
#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "ipc/GssHelperServer.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QUrl>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <strings.h>
#include <thread>
#include <unistd.h>

namespace corvantis {

namespace {

// The bundle identifier of the versions that came before this one.
constexpr const char* kOldBundleIdentifier = "com.Corvantis.MacOSX.app";

#ifndef CORVANTIS_WEB_ADDRESS
#define CORVANTIS_WEB_ADDRESS "https://corvantis.invalid"
#endif

// The termination signals reach the main loop through a pipe: the handler only writes the signal's number to
// it, which is safe in a handler; the main loop reads it and makes the terminate request. One watcher per
// process.
constexpr int kTerminationSignals[] = { SIGTERM, SIGINT };
std::atomic<int> g_signalWriteFd { -1 };
int g_signalReadFd = -1;
struct sigaction g_oldActions[std::size(kTerminationSignals)];

void OnTerminationSignal(int signal)
{
    const int savedErrno = errno;
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const unsigned char number = static_cast<unsigned char>(signal);
        // A full pipe holds requests enough already.
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = savedErrno;
}

} // namespace

CorvantisAppDelegate::CorvantisAppDelegate()
    : CorvantisAppDelegate(Seams())
{
}

CorvantisAppDelegate::CorvantisAppDelegate(Seams seams, QObject* parent)
    : QObject(parent)
    , m_seams(std::move(seams))
    , m_alive(std::make_shared<std::atomic<bool>>(true))
{
    if (!m_seams.exit)
        m_seams.exit = [](int code) { std::exit(code); };
    if (!m_seams.messageBox)
        m_seams.messageBox = [](const std::string& message, const std::string& caption, int flags) {
            return MessageBox(message, caption, flags);
        };
    if (!m_seams.findOlderVersion)
        m_seams.findOlderVersion = [] { return std::optional<InstalledCopy>(); };
    ProfileDocuments::Seams documents = m_seams.documents;
    if (!documents.updateSettings)
        documents.updateSettings = [this] {
            if (m_seams.updateSettings)
                m_seams.updateSettings();
        };
    if (!documents.updateProfileUI)
        documents.updateProfileUI = [this] {
            if (m_seams.updateProfileUI)
                m_seams.updateProfileUI();
        };
    m_documents = std::make_unique<ProfileDocuments>(std::move(documents));
    if (!m_seams.openFileLimit)
        m_seams.openFileLimit = SystemOpenFileLimitCalls();
    if (!m_seams.loadDialog)
        m_seams.loadDialog = std::make_shared<LoggedLoadDialog>();
    if (!m_seams.makeExtensionClient)
        m_seams.makeExtensionClient = [] { return MakeExtensionClient(); };
    if (!m_seams.terminate)
        // exit, not quit: quit asks every window to close first, and the main window's close is itself a way out
        // that may ask the keep-running question.
        m_seams.terminate = [] { QCoreApplication::exit(0); };
    if (!m_seams.openUrl)
        m_seams.openUrl = [](const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); };
    if (!m_seams.questionBox)
        m_seams.questionBox
            = [](const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
                  bool* suppressResult) { return MessageBox(message, caption, flags, suppressTitle, suppressResult); };
    if (!m_seams.extensionProviders)
        m_seams.extensionProviders = [this] {
            ExtensionStopper::Providers providers;
            providers.dataFilter = m_control->dataFilterManager();
            providers.dns = m_control->dnsManager();
            providers.connection = m_control->connection();
            providers.manager = m_control->appProxyManager();
            return providers;
        };

    ExtensionControl::Options control;
    control.dialog = m_seams.loadDialog;
    control.makeClient = m_seams.makeExtensionClient;
    control.isNetworkKnown = m_seams.isNetworkKnown;
    // The settings sender is made below; the bring-up reaches it through the delegate, which outlives both.
    control.sendSettings = [this](bool restart, ExtensionControl::SettingsResult result) {
        writeGlobalSettingsToExtension(restart, std::move(result));
    };
    // The loading window's quit button: whatever was chosen before, the extension stops with the application.
    control.quit = [this, alive = m_alive] {
        if (!alive->load())
            return;
        m_keepChosen = false;
        stopVPNAndExit();
    };
    control.exit = [this, alive = m_alive](int code) {
        if (alive->load())
            exitProcess(code);
    };
    control.isClosing = [this] { return mIsClose.load(); };
    control.isTerminating = [this] { return m_terminating.load(); };
    control.timing = m_seams.bringUpTiming;
    m_control = std::make_unique<ExtensionControl>(std::move(control));

    ExtensionSettingsSender::Options sender;
    sender.newClient = [this] { return m_control->getNewXpcConnection(); };
    sender.connection = [this] { return m_control->connection(); };
    sender.gssEndpoint = m_seams.gssEndpoint;
    sender.messageBox = m_seams.messageBox;
    m_sender = std::make_shared<ExtensionSettingsSender>(std::move(sender));

    LoopPrompt::Options loop;
    loop.clock = m_seams.loopPromptClock;
    loop.messageBox = m_seams.messageBox;
    loop.declined = [this] { ProfileUpdatedNotify(Notification { kProfileUpdatedNotification, this, {} }); };
    m_loopPrompt = std::make_unique<LoopPrompt>(std::move(loop));

    TickPoller::Sources sources;
    sources.newClient = [this] { return m_control->getNewXpcConnection(); };
    // Once stopping has begun the extension counts as not loaded: no more tick requests.
    sources.loadingState = [this] { return m_terminating ? 0 : m_control->loadingState(); };
    sources.updateLogList = [this] {
        if (m_window)
            m_window->updateLogList(m_window->isShown());
    };
    sources.checkStatus = [this] { m_control->checkVpnStatus(); };
    sources.cleanupClients = [this] { m_control->cleanupXpcConnections(false); };
    TickPoller::Sinks sinks;
    sinks.statisticText = [this](const std::string& text) { setStatisticText(text); };
    sinks.connections = [this](const std::string& list) {
        if (m_window)
            m_window->updateConnectionsList(list);
    };
    sinks.graph = [this](const PlistData& up, const PlistData& down) {
        if (m_window)
            m_window->updateGraph(up, down);
    };
    sinks.loopDetected = [this](const std::string& application) { m_loopPrompt->report(application); };
    m_poller = std::make_shared<TickPoller>(std::move(sources), std::move(sinks));
}

CorvantisAppDelegate::~CorvantisAppDelegate()
{
    m_alive->store(false);
    NotificationCenter& center = NotificationCenter::defaultCenter();
    for (NotificationCenter::ObserverId id : m_observers)
        center.removeObserver(id);
    // Replies still queued for the main thread find the poller gone.
    m_poller.reset();
    stopWorkThreads();
    if (m_hookRegistered) {
        CoreHooks hooks = *CurrentCoreHooks();
        hooks.writeGlobalSettings = nullptr;
        SetCoreHooks(std::move(hooks));
    }
    // The bring-up's threads may be waiting for the main thread (a client of the pool) while it is destroyed.
    runWhileServingMainThread([this] { m_control.reset(); });
    // The window may still tell the delegate it goes away.
    m_window.reset();
    if (m_signalNotifier) {
        for (size_t i = 0; i < std::size(kTerminationSignals); ++i)
            ::sigaction(kTerminationSignals[i], &g_oldActions[i], nullptr);
        const int writeFd = g_signalWriteFd.exchange(-1);
        ::close(writeFd);
        delete m_signalNotifier;
        m_signalNotifier = nullptr;
        ::close(std::exchange(g_signalReadFd, -1));
    }
}

// ---- Launching ----

void CorvantisAppDelegate::applicationWillFinishLaunching()
{
    mIsClose = false;
    SystemLog("Corvantis will finish launching");
    eventPreLaunch();
}

void CorvantisAppDelegate::applicationDidFinishLaunching()
{
    SystemLog("Corvantis did finish launching");
    if (!m_doNotRun && !m_exited)
        eventLaunch();
}

void CorvantisAppDelegate::eventPreLaunch()
{
    if (m_preLaunchDone)
        return;
    m_preLaunchDone = true;
    eventPreLaunchOnce();
}

void CorvantisAppDelegate::eventLaunch()
{
    if (m_launchDone)
        return;
    m_launchDone = true;
    eventLaunchOnce();
}

bool CorvantisAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    if (!hasVisibleWindows)
        showLogWindow();
    return hasVisibleWindows;
}

void CorvantisAppDelegate::eventPreLaunchOnce()
{
    m_doNotRun = false;
    const DefaultsStore& defaults = DefaultsStore::standard();
    const LaunchOption option = ParseLaunchOptions(defaults.argumentDomain(), defaults.object("MaxConnCount"));
    const LaunchDecision decision = CarryOutLaunchOption(option);
    switch (decision.next) {
    case LaunchDecision::Next::Exit:
        exitProcess(decision.exitCode);
        return;
    case LaunchDecision::Next::Deactivate:
        removeSystemExtensionAndWait();
        m_doNotRun = true;
        return;
    case LaunchDecision::Next::Continue:
        break;
    }
    loadSettings();
    m_isLoaded = false;
    m_loadExtProfile = false;
    m_noSystemProfile = false;
}

void CorvantisAppDelegate::eventLaunchOnce()
{
    const Status listener = GssHelperServer::startListener();
    if (!listener.ok())
        SystemLog("Cannot start the Kerberos token listener: " + listener.message());
    m_isLoaded = true;
    m_documents->setLoaded(true);
    if (olderVersionStopsLaunch() || secondCopyStopsLaunch())
        return;

    const Result<rlim_t> limit = ApplyOpenFileLimit(*m_seams.openFileLimit);
    if (!limit.ok())
        SystemLog(limit.status().message());
    ::srandom(static_cast<unsigned>(std::time(nullptr)));

    addObservers();
    watchPowerOff();
    watchSessionEnd();

    if (m_seams.makeMainWindow)
        m_window = m_seams.makeMainWindow(*this);
    watchMainWindowClose();
    const CAppSettings settings = theApp ? theApp->GetSettings() : CAppSettings();
    if (settings.ShowMainWindow)
        showLogWindow();

    for (const std::string& path : m_launchFiles)
        openFile(path);
    m_launchFiles.clear();

    registerWriteGlobalSettingsHook();
    startWorkThreads();
}

void CorvantisAppDelegate::exitProcess(int code)
{
    m_exited = true;
    m_seams.exit(code);
}

bool CorvantisAppDelegate::olderVersionStopsLaunch()
{
    std::optional<InstalledCopy> copy;
    try {
        copy = m_seams.findOlderVersion();
    } catch (...) {
        // A lookup that fails must not keep the user from the application.
        return false;
    }
    if (!copy || copy->path.empty() || ::strcasecmp(copy->bundleIdentifier.c_str(), kOldBundleIdentifier) != 0
        || copy->bundleVersion.empty() || copy->bundleVersion[0] != '1')
        return false;
    m_seams.messageBox("You have an older version of Corvantis installed on your Mac at " + copy->path
            + ".\n\nPlease remove it to continue.",
        "Version check.", 0);
    exitProcess(0);
    return true;
}

bool CorvantisAppDelegate::secondCopyStopsLaunch()
{
    m_singleInstance = new SingleInstance(m_seams.singleInstance, this);
    const Result<SingleInstance::Outcome> outcome = m_singleInstance->start(m_launchFiles);
    if (!outcome.ok()) {
        // Without the lock this copy cannot know of others; running beats refusing to start.
        SystemLog("Cannot check for another copy of Corvantis: " + outcome.status().message());
        return false;
    }
    if (outcome.value() == SingleInstance::Outcome::Running) {
        m_singleInstance->setFilesHandler([this](const std::vector<std::string>& paths) {
            for (const std::string& path : paths)
                openFile(path);
        });
        m_singleInstance->setActivateHandler([this] { showLogWindow(); });
        return false;
    }
    // Handed over, or the running copy holds the lock but did not answer: either way it runs.
    m_launchFiles.clear();
    m_seams.messageBox(kAnotherCopyMessage, kAnotherCopyCaption, kMbCritical);
    exitProcess(0);
    return true;
}

void CorvantisAppDelegate::addObservers()
{
    NotificationCenter& center = NotificationCenter::defaultCenter();
    const std::pair<const char*, void (CorvantisAppDelegate::*)(const Notification&)> handlers[] = {
        { kLogNotification, &CorvantisAppDelegate::LogNotifyReceived },
        { kLoopDetectNotification, &CorvantisAppDelegate::LoopNotifyReceived },
        { kProfileUpdatedNotification, &CorvantisAppDelegate::ProfileUpdatedNotify },
        { kGlobalUpdatedNotification, &CorvantisAppDelegate::GlobalUpdatedNotify },
        { kMessageBoxNotification, &CorvantisAppDelegate::MessageBoxNotifyReceived },
        { kShowAboutNotification, &CorvantisAppDelegate::AboutNotifyReceived },
        { kGetPasswordNotification, &CorvantisAppDelegate::GetPasswordNotifyRecieved },
        { kPushToFrontNotification, &CorvantisAppDelegate::PushToFrontNotifyRecieved },
        { kWillPowerOffNotification, &CorvantisAppDelegate::rebootNotifyRecieved },
        { kVpnStatusDidChangeNotification, &CorvantisAppDelegate::vpnProxyStatusChangedNotification },
    };
    for (const auto& [name, handler] : handlers)
        m_observers.push_back(
            center.addObserver(name, [this, handler = handler](const Notification& n) { (this->*handler)(n); }));
}

void CorvantisAppDelegate::watchPowerOff()
{
    // Naming the service makes the bus deliver the signal only from the name's owner, so no other client of
    // the system bus can make the application act as if the machine were going down.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForShutdown"), this,
        SLOT(prepareForShutdown(bool)));
}

void CorvantisAppDelegate::prepareForShutdown(bool start)
{
    if (start)
        NotificationCenter::defaultCenter().postNotificationOnMainThread(
            { kWillPowerOffNotification, this, {} }, false);
}

void CorvantisAppDelegate::loadSettings()
{
    if (!theApp)
        return;
    CAppSettings settings = theApp->GetSettings();
    LoadSettings(settings);
    theApp->SetSettings(settings);
}

void CorvantisAppDelegate::removeSystemExtensionAndWait()
{
    m_control->removeSystemExtensionAndWait();
}

void CorvantisAppDelegate::registerWriteGlobalSettingsHook()
{
    RegisterWriteGlobalSettingsHook(m_sender);
    m_hookRegistered = true;
    // The password prompt and cache the core's profile loader asks for.
    m_documents->installCoreHooks();
}

void CorvantisAppDelegate::startWorkThreads()
{
    if (m_workThreads || mIsClose)
        return;
    WorkThreads::Options options;
    options.startCore = m_seams.startCore;
    options.terminate = m_seams.terminate;
    options.locationPasses = m_seams.locationPasses;
    options.createManagers = [this] { m_control->createManagers(); };
    options.tryToRunVPN = [this] { m_control->tryToRunVPN(); };
    options.isSampleDue = m_seams.isSampleDue;
    options.statInterval = m_seams.statInterval;
    options.sender = this;
    m_workThreads = std::make_unique<WorkThreads>(std::move(options));
    m_workThreads->start();
}

void CorvantisAppDelegate::stopWorkThreads()
{
    mIsClose = true;
    if (!m_workThreads)
        return;
    // The statistics thread may be waiting for the main thread to take "Log", and the main work thread for the
    // main thread to hand it a client: joining them without serving the main thread would never end.
    runWhileServingMainThread([this] { m_workThreads->stop(); });
}

void CorvantisAppDelegate::runWhileServingMainThread(const std::function<void()>& work)
{
    const std::shared_ptr<MainThreadExecutor> executor = NotificationCenter::defaultCenter().mainThreadExecutor();
    if (!QCoreApplication::instance() || !executor || !executor->isMainThread()) {
        work();
        return;
    }
    std::atomic<bool> done { false };
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
}

// ---- Polling and settings ----

void CorvantisAppDelegate::processStatAndLogAtMainThread()
{
    if (mIsClose || !m_poller)
        return;
    m_poller->poll();
}

void CorvantisAppDelegate::writeGlobalSettings(bool restart)
{
    m_sender->writeGlobalSettings(restart);
}

void CorvantisAppDelegate::writeGlobalSettingsToExtension(bool restart, std::function<void(bool ok)> result)
{
    m_sender->writeGlobalSettingsToExtension(restart, std::move(result));
}

// ---- Excluded ports and help ----

void CorvantisAppDelegate::showExcludedPorts()
{
    if (!theApp || !m_seams.runExcludedPortsSheet)
        return;
    CAppSettings settings = theApp->GetSettings();
    std::string udp = settings.ExcludedUdpPorts;
    std::string tcp = settings.ExcludedTcpPorts;
    if (m_seams.runExcludedPortsSheet(*this, udp, tcp) != 1)
        return;
    for (const std::string* text : { &udp, &tcp }) {
        std::string error;
        if (!ValidatePorts(*text, error)) {
            m_seams.messageBox(error, "Cannot save ports", 0);
            return;
        }
    }
    settings = theApp->GetSettings();
    settings.ExcludedUdpPorts = udp;
    settings.ExcludedTcpPorts = tcp;
    theApp->SetSettings(settings);
    writeGlobalSettings(true);
}

std::string CorvantisAppDelegate::webAddress()
{
    return CORVANTIS_WEB_ADDRESS;
}

void CorvantisAppDelegate::openSupport()
{
    m_seams.openUrl(webAddress() + "/support/");
}

void CorvantisAppDelegate::openDocumentation()
{
    m_seams.openUrl(webAddress() + "/docs/");
}

// ---- View flags ----

void CorvantisAppDelegate::setExclusiveFlag(std::optional<bool>& flag, const char* name, std::optional<bool> shown)
{
    if (!shown) {
        announce(name);
        return;
    }
    if (!*shown)
        return;
    m_isGraphShown = false;
    m_isConnectionsShown = false;
    m_isStatisticsShown = false;
    flag = true;
    setGraphShown(std::nullopt);
    setConnectionsShown(std::nullopt);
    setStatisticsShown(std::nullopt);
}

void CorvantisAppDelegate::setGraphShown(std::optional<bool> shown)
{
    setExclusiveFlag(m_isGraphShown, kGraphShown, shown);
}

void CorvantisAppDelegate::setConnectionsShown(std::optional<bool> shown)
{
    setExclusiveFlag(m_isConnectionsShown, kConnectionsShown, shown);
}

void CorvantisAppDelegate::setStatisticsShown(std::optional<bool> shown)
{
    setExclusiveFlag(m_isStatisticsShown, kStatisticsShown, shown);
}

void CorvantisAppDelegate::setStatisticText(std::string text)
{
    m_statisticText = std::move(text);
    announce(kStatisticText);
}

int CorvantisAppDelegate::observeProperties(PropertyObserver observer)
{
    const int id = m_nextPropertyObserver++;
    m_propertyObservers.emplace(id, std::move(observer));
    return id;
}

void CorvantisAppDelegate::removePropertyObserver(int id)
{
    m_propertyObservers.erase(id);
}

void CorvantisAppDelegate::announce(const std::string& property)
{
    // A copy, so that an observer may remove itself or others.
    const auto observers = m_propertyObservers;
    for (const auto& [id, observer] : observers)
        if (m_propertyObservers.count(id))
            observer(property);
}

// ---- Windows and state ----

void CorvantisAppDelegate::showLogWindow()
{
    if (m_window)
        m_window->bringToFront();
}

void CorvantisAppDelegate::openFile(const std::string& path)
{
    m_pendingFiles.push_back(path);
    m_documents->openFile(path);
}

// ---- Notification handlers ----

void CorvantisAppDelegate::entered(const char* handler)
{
    if (m_seams.handlerEntered)
        m_seams.handlerEntered(handler);
}

void CorvantisAppDelegate::LogNotifyReceived(const Notification&)
{
    entered("LogNotifyReceived");
    processStatAndLogAtMainThread();
}

void CorvantisAppDelegate::LoopNotifyReceived(const Notification& notification)
{
    entered("LoopNotifyReceived");
    std::string application;
    if (const auto* info = std::any_cast<PlistDict>(&notification.userInfo)) {
        if (const auto found = info->find("App"); found != info->end() && found->second.string())
            application = *found->second.string();
    }
    // Only an inserted rule moves the others down: a rule dialog open on one of them must follow it.
    if (m_seams.showLoopDetection && m_seams.showLoopDetection(application) && m_seams.ruleAdded)
        m_seams.ruleAdded();
    if (m_seams.updateProfileUI)
        m_seams.updateProfileUI();
}

void CorvantisAppDelegate::ProfileUpdatedNotify(const Notification&)
{
    entered("ProfileUpdatedNotify");
    if (m_seams.updateProfileUI)
        m_seams.updateProfileUI();
    // The extension works with a copy of the profile: every change has to reach it.
    writeGlobalSettings(false);
}

void CorvantisAppDelegate::GlobalUpdatedNotify(const Notification&)
{
    entered("GlobalUpdatedNotify");
    if (m_seams.updateSettings)
        m_seams.updateSettings();
}

void CorvantisAppDelegate::MessageBoxNotifyReceived(const Notification& notification)
{
    entered("MessageBoxNotifyReceived");
    MessageBoxNotifyHandler(true, notification);
}

void CorvantisAppDelegate::AboutNotifyReceived(const Notification&)
{
    entered("AboutNotifyReceived");
    if (m_seams.showAbout)
        m_seams.showAbout();
}

void CorvantisAppDelegate::GetPasswordNotifyRecieved(const Notification&)
{
    entered("GetPasswordNotifyRecieved");
}

void CorvantisAppDelegate::PushToFrontNotifyRecieved(const Notification&)
{
    entered("PushToFrontNotifyRecieved");
    showLogWindow();
}

void CorvantisAppDelegate::rebootNotifyRecieved(const Notification&)
{
    entered("rebootNotifyRecieved");
    CLogMessage(kLogError) << "Reboot notification recieved (2)";
    // A decision open already (the question) is left to the power-off.
    if (!m_deciding)
        applicationShouldTerminate(WayOut::PowerOff);
    exitProcess(0);
}

void CorvantisAppDelegate::vpnProxyStatusChangedNotification(const Notification&)
{
    entered("vpnProxyStatusChangedNotification");
    m_control->vpnProxyStatusChanged();
}

// ---- Termination ----

void CorvantisAppDelegate::quit()
{
    requestTerminate(WayOut::QuitItem);
}

void CorvantisAppDelegate::stopVPNAndExit()
{
    m_stopChosen = true;
    requestTerminate(WayOut::QuitItem);
}

void CorvantisAppDelegate::keepVPNAndExit()
{
    m_keepChosen = true;
    requestTerminate(WayOut::QuitItem);
}

void CorvantisAppDelegate::requestTerminate(WayOut way)
{
    // The decision under way, or the stopping, ends the application anyway.
    if (m_deciding || (m_terminating && !mIsClose))
        return;
    m_deciding = true;
    const TerminateReply reply = applicationShouldTerminate(way);
    m_deciding = false;
    // Without a main thread to post to, a stop that ended at once has set the closing flag already.
    if (reply == TerminateReply::Now || mIsClose) {
        m_quitting = true;
        m_seams.terminate();
    }
}

CorvantisAppDelegate::TerminateReply CorvantisAppDelegate::applicationShouldTerminate(WayOut way)
{
    if (mIsClose)
        return TerminateReply::Now;
    const ExtensionStopper::Providers providers = m_seams.extensionProviders();
    TerminationFacts facts;
    facts.keepChosen = m_keepChosen;
    facts.stopChosen = m_stopChosen;
    facts.hasConnection = providers.connection != nullptr;
    facts.hasDnsManager = providers.dns != nullptr;
    facts.proxyConnected = providers.connection && providers.connection->isConnected();
    facts.dnsStarted = providers.dns && providers.dns->isStarted();
    facts.keepRunningOnClose = theApp ? theApp->GetSettings().KeepRunningOnClose : kKeepRunningAsk;

    const StopDecision decision = DecideExtensionStop(facts, way);
    bool stop = decision == StopDecision::Stop;
    if (decision == StopDecision::Ask) {
        bool dontAskAgain = false;
        const long answer = m_seams.questionBox(
            std::string(), kKeepRunningQuestion, kKeepRunningQuestionFlags, kDontAskAgainTitle, &dontAskAgain);
        const KeepRunningAnswer read = ReadKeepRunningAnswer(answer, dontAskAgain);
        stop = read.stop;
        if (read.store != kKeepRunningAsk && theApp) {
            CAppSettings settings = theApp->GetSettings();
            settings.KeepRunningOnClose = read.store;
            theApp->SetSettings(settings);
            SaveSettings(settings);
        }
    }
    if (theApp) {
        CAppSettings settings = theApp->GetSettings();
        settings.ShowMainWindow = m_window && m_window->isShown();
        theApp->SetSettings(settings);
    }
    writeGlobalSettings(false);
    if (!stop)
        return TerminateReply::Now;

    m_terminating = true;
    stopExtension([this, alive = m_alive, way](bool) {
        // Posted even from the main thread: the request that started the stop may still be deciding.
        const std::shared_ptr<MainThreadExecutor> executor = NotificationCenter::defaultCenter().mainThreadExecutor();
        auto again = [this, alive, way] {
            if (!alive->load())
                return;
            mIsClose = true;
            requestTerminate(way);
        };
        if (executor)
            executor->post(std::move(again));
        else
            again();
    });
    return TerminateReply::Later;
}

void CorvantisAppDelegate::stopExtension(std::function<void(bool ok)> completion)
{
    // The pool lives on the main thread; the later steps run on the managers' queues.
    auto closeClients = [this, alive = m_alive] {
        onMainThread([this, alive] {
            if (alive->load() && m_control)
                m_control->cleanupXpcConnections(true);
        });
    };
    ExtensionStopper::start(m_seams.extensionProviders(), std::move(closeClients), std::move(completion));
}

void CorvantisAppDelegate::onMainThread(std::function<void()> task)
{
    const std::shared_ptr<MainThreadExecutor> executor = NotificationCenter::defaultCenter().mainThreadExecutor();
    if (!executor || executor->isMainThread()) {
        task();
        return;
    }
    executor->post(std::move(task));
}

Status CorvantisAppDelegate::watchTerminationSignals()
{
    if (m_signalNotifier)
        return Status();
    if (g_signalWriteFd.load() >= 0)
        return Status::error(EBUSY, "Another watcher takes the termination signals");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return Status::error(errno, "Cannot make the signal pipe: " + std::string(strerror(errno)));
    g_signalReadFd = fds[0];
    g_signalWriteFd = fds[1];
    m_signalNotifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, &CorvantisAppDelegate::terminationSignalArrived);
    struct sigaction action = {};
    action.sa_handler = &OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kTerminationSignals); ++i)
        ::sigaction(kTerminationSignals[i], &action, &g_oldActions[i]);
    return Status();
}

void CorvantisAppDelegate::terminationSignalArrived()
{
    unsigned char numbers[64];
    bool any = false;
    while (::read(g_signalReadFd, numbers, sizeof numbers) > 0)
        any = true;
    if (any)
        requestTerminate(WayOut::Signal);
}

void CorvantisAppDelegate::watchSessionEnd()
{
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!application)
        return;
    // The session manager may end the process soon after: the decision is made at once and never asks.
    connect(application, &QGuiApplication::commitDataRequest, this,
        [this](QSessionManager&) { requestTerminate(WayOut::SessionEnd); });
}

void CorvantisAppDelegate::watchMainWindowClose()
{
    if (auto* widget = dynamic_cast<QWidget*>(m_window.get()))
        widget->installEventFilter(this);
}

bool CorvantisAppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Close || mIsClose || m_quitting || !m_window
        || watched != dynamic_cast<QWidget*>(m_window.get()))
        return QObject::eventFilter(watched, event);
    // The window stays while the decision is made; the application's end takes it with it.
    event->ignore();
    requestTerminate(WayOut::CloseWindow);
    return true;
}

} // namespace corvantis
