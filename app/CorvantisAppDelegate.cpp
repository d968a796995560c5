#include "app/CorvantisAppDelegate.h"

#include "app/LaunchOptions.h"
#include "core/foundation/AppSettings.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "ipc/GssHelperServer.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemLog.h"

#include <QDBusConnection>

#include <cstdlib>
#include <ctime>
#include <strings.h>

namespace corvantis {

namespace {

// The bundle identifier of the versions that came before this one.
constexpr const char* kOldBundleIdentifier = "com.Corvantis.MacOSX.app";

} // namespace

CorvantisAppDelegate::CorvantisAppDelegate(Seams seams, QObject* parent)
    : QObject(parent)
    , m_seams(std::move(seams))
{
    if (!m_seams.exit)
        m_seams.exit = [](int code) { std::exit(code); };
    if (!m_seams.messageBox)
        m_seams.messageBox = [](const std::string& message, const std::string& caption, int flags) {
            return MessageBox(message, caption, flags);
        };
    if (!m_seams.findOlderVersion)
        m_seams.findOlderVersion = [] { return std::optional<InstalledCopy>(); };
    if (!m_seams.openFileLimit)
        m_seams.openFileLimit = SystemOpenFileLimitCalls();
}

CorvantisAppDelegate::~CorvantisAppDelegate()
{
    NotificationCenter& center = NotificationCenter::defaultCenter();
    for (NotificationCenter::ObserverId id : m_observers)
        center.removeObserver(id);
    // The window may still tell the delegate it goes away.
    m_window.reset();
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
    if (olderVersionStopsLaunch() || secondCopyStopsLaunch())
        return;

    const Result<rlim_t> limit = ApplyOpenFileLimit(*m_seams.openFileLimit);
    if (!limit.ok())
        SystemLog(limit.status().message());
    ::srandom(static_cast<unsigned>(std::time(nullptr)));

    addObservers();
    watchPowerOff();

    if (m_seams.makeMainWindow)
        m_window = m_seams.makeMainWindow(*this);
    const CAppSettings settings = theApp ? theApp->GetSettings() : CAppSettings();
    if (settings.ShowMainWindow)
        showLogWindow();

    for (const std::string& path : m_launchFiles)
        openFile(path);
    m_launchFiles.clear();

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
}

void CorvantisAppDelegate::startWorkThreads()
{
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
}

void CorvantisAppDelegate::LoopNotifyReceived(const Notification&)
{
    entered("LoopNotifyReceived");
}

void CorvantisAppDelegate::ProfileUpdatedNotify(const Notification&)
{
    entered("ProfileUpdatedNotify");
}

void CorvantisAppDelegate::GlobalUpdatedNotify(const Notification&)
{
    entered("GlobalUpdatedNotify");
}

void CorvantisAppDelegate::MessageBoxNotifyReceived(const Notification& notification)
{
    entered("MessageBoxNotifyReceived");
    MessageBoxNotifyHandler(true, notification);
}

void CorvantisAppDelegate::AboutNotifyReceived(const Notification&)
{
    entered("AboutNotifyReceived");
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
}

void CorvantisAppDelegate::vpnProxyStatusChangedNotification(const Notification&)
{
    entered("vpnProxyStatusChangedNotification");
}

} // namespace corvantis
