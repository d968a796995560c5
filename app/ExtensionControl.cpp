#include "app/ExtensionControl.h"

#include "app/AppProxyConnection.h"
#include "app/AppProxyManager.h"
#include "app/DataFilterManager.h"
#include "app/DnsProxyManager.h"
#include "app/SystemExtensionLoader.h"
#include "core/foundation/LogMessage.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/NetworkWatcher.h"
#include "platform/MainThreadExecutor.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

#include <cstdlib>
#include <ctime>
#include <exception>
#include <pwd.h>
#include <unistd.h>

namespace corvantis {

namespace {

constexpr int64_t kCodeCompleted = 0;
constexpr int64_t kCodeNeedsApproval = 2;
constexpr int64_t kCodeFailed = 11;
constexpr int64_t kCodeManagedDevice = 12;

constexpr const char* kSettingsFailed = "Could not apply Network Extension settings.";
constexpr const char* kWrongVersion = "Wrong Network Extension version.";
constexpr const char* kStartSignalFailed = "Start signal to the AppProxy cannot be sent";
constexpr const char* kTransparentProxyAlreadyStarted = "Transparent Proxy already started";

// Stands in when no dialog is given: the chain runs the same, nobody sees it.
class SilentLoadDialog final : public NetworkLoadDialog {
public:
    bool doModal(Action) override { return true; }
    bool getModalInProgress() const override { return false; }
    void finishModal() override { }
    void updateContentToSysExtLoad(Action) override { }
    void updateContentToSysExtFail(Action) override { }
    void updateContentToSysExtFailOnManagedDevice(Action) override { }
    void updateContentToSysExtAllow(Action) override { }
    void updateContentToXPCConnection(Action) override { }
    void updateContentToVpnCreation(Action) override { }
    void updateContentToDnsProxyCreation(Action) override { }
    void updateContentToVpnStart(Action) override { }
    void updateContentToSendWakeSignal(Action) override { }
    void updateContentToWakeSignalFailed(Action) override { }
    void updateContentToSysExtRemoveFailed() override { }
    void updateContentToError(const std::string&, Action) override { }
};

std::string RealUserName()
{
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    if (const char* user = std::getenv("USER"); user && *user)
        return user;
    return std::to_string(getuid());
}

} // namespace

std::string SysExtApprovalText(const std::string& loginName)
{
    return "Please ask your administrator to allow Corvantis for this user (corvantis-supervisor allow " + loginName
        + ").";
}

// Whether the object still lives, and how many of its callbacks run: the destructor waits for them, and
// callbacks that start later do nothing. Callbacks outlive the object in the managers' queues, the main
// executor and the dialog's buttons.
struct ExtensionControl::Life {
    class Entry {
    public:
        explicit Entry(const std::shared_ptr<Life>& life)
            : m_life(life)
        {
            MutexLock lock(m_life->mutex);
            m_entered = m_life->alive;
            if (m_entered)
                ++m_life->active;
        }
        ~Entry()
        {
            if (!m_entered)
                return;
            MutexLock lock(m_life->mutex);
            if (--m_life->active == 0)
                m_life->idle.signalAll();
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        explicit operator bool() const { return m_entered; }

    private:
        const std::shared_ptr<Life> m_life;
        bool m_entered = false;
    };

    // Lets no callback start any more and waits for the running ones.
    void close()
    {
        MutexLock lock(mutex);
        alive = false;
        idle.wait(mutex, [this] {
            mutex.assertHeld();
            return active == 0;
        });
    }

    Mutex mutex;
    CondVar idle;
    bool alive GUARDED_BY(mutex) = true;
    int active GUARDED_BY(mutex) = 0;
};

ExtensionControl::ExtensionControl()
    : ExtensionControl(Options {})
{
}

ExtensionControl::ExtensionControl(Options options)
    : m_options(std::move(options))
    , m_life(std::make_shared<Life>())
{
    if (!m_options.dialog)
        m_options.dialog = std::make_shared<SilentLoadDialog>();
    if (!m_options.makeClient)
        m_options.makeClient = [] { return MakeExtensionClient(); };
    if (!m_options.isNetworkKnown)
        m_options.isNetworkKnown = [] { return GetBaseInterfaceIndex() != 0; };
    if (!m_options.sendSettings)
        m_options.sendSettings = [](bool, SettingsResult result) { result(false); };
    if (!m_options.useDataFilter)
        m_options.useDataFilter = [] { return theApp && theApp->GetSettings().UseDataFilterInsteadOfDnsProxy; };
    if (!m_options.exit)
        m_options.exit = [](int code) { std::exit(code); };
    if (!m_options.isTerminating)
        m_options.isTerminating = [] { return false; };
    if (!m_options.isClosing)
        m_options.isClosing = [] { return false; };
    if (!m_options.nowSeconds)
        m_options.nowSeconds = [] { return static_cast<int64_t>(std::time(nullptr)); };
    if (m_options.loginName.empty())
        m_options.loginName = RealUserName();
}

ExtensionControl::~ExtensionControl()
{
    {
        MutexLock lock(m_threadsMutex);
        m_stopping = true;
    }
    m_stopCond.signalAll();
    m_life->close();
    // Threads still running may try to start others; those are refused now that m_stopping is set.
    std::list<Worker> threads;
    {
        MutexLock lock(m_threadsMutex);
        threads.swap(m_threads);
    }
    for (Worker& worker : threads)
        worker.thread.join();
}

// ---- Plumbing ----

std::function<void()> ExtensionControl::guarded(std::function<void()> body)
{
    return [life = m_life, body = std::move(body)] {
        Life::Entry entry(life);
        if (entry)
            body();
    };
}

NetworkLoadDialog::Action ExtensionControl::retryAction()
{
    return guarded([this] { tryToRunVPN(); });
}

std::shared_ptr<MainThreadExecutor> ExtensionControl::mainExecutor() const
{
    if (m_options.mainExecutor)
        return m_options.mainExecutor;
    return NotificationCenter::defaultCenter().mainThreadExecutor();
}

bool ExtensionControl::onMainThread() const
{
    return mainExecutor()->isMainThread();
}

void ExtensionControl::onMain(std::function<void()> body)
{
    std::shared_ptr<MainThreadExecutor> executor = mainExecutor();
    if (executor->isMainThread())
        body();
    else
        executor->post(guarded(std::move(body)));
}

void ExtensionControl::spawn(std::function<void()> body)
{
    MutexLock lock(m_threadsMutex);
    if (m_stopping)
        return;
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([body = std::move(body), done] {
        try {
            body();
        } catch (const std::exception& e) {
            CLogMessage(kLogError) << "Extension control thread failed: " << e.what();
        } catch (...) {
            CLogMessage(kLogError) << "Extension control thread failed";
        }
        done->store(true);
    });
    m_threads.push_back(Worker { std::move(thread), std::move(done) });
}

void ExtensionControl::sleepFor(std::chrono::milliseconds duration)
{
    if (m_options.sleep) {
        m_options.sleep(duration);
        return;
    }
    MutexLock lock(m_threadsMutex);
    m_stopCond.waitFor(m_threadsMutex, duration, [this] { return m_stopping.load(); });
}

void ExtensionControl::setConnection(std::shared_ptr<AppProxyConnection> connection)
{
    MutexLock lock(m_mutex);
    m_connection = std::move(connection);
}

std::shared_ptr<AppProxyConnection> ExtensionControl::connection() const
{
    MutexLock lock(m_mutex);
    return m_connection;
}

std::shared_ptr<SystemExtensionLoader> ExtensionControl::sysExtLoader() const
{
    MutexLock lock(m_mutex);
    return m_sysExtLoader;
}

std::shared_ptr<AppProxyManager> ExtensionControl::appProxyManager() const
{
    MutexLock lock(m_mutex);
    return m_manager;
}

std::shared_ptr<DnsProxyManager> ExtensionControl::dnsManager() const
{
    MutexLock lock(m_mutex);
    return m_dnsManager;
}

std::shared_ptr<DataFilterManager> ExtensionControl::dataFilterManager() const
{
    MutexLock lock(m_mutex);
    return m_dataFilterManager;
}

// ---- The chain ----

void ExtensionControl::createManagers()
{
    {
        MutexLock lock(m_mutex);
        m_sysExtLoader = std::make_shared<SystemExtensionLoader>();
        m_manager = std::make_shared<AppProxyManager>(kExpectedExtensionVersion);
        m_dnsManager = std::make_shared<DnsProxyManager>(kExpectedExtensionVersion);
        m_dataFilterManager = std::make_shared<DataFilterManager>(kExpectedExtensionVersion);
    }
    m_loadingState = 0;
    m_vpnStartCounter = 0;
}

void ExtensionControl::tryToRunVPN()
{
    CLogMessage(kLogDebug) << "Network Extension initialization start";
    m_loadingState = 1;
    ++m_vpnStartCounter;
    if (!m_options.dialog->getModalInProgress())
        showDialogLater();
    // The wait may take many seconds: never on the main thread.
    if (onMainThread())
        spawn([this] { waitForNetworkAndLoad(); });
    else
        waitForNetworkAndLoad();
}

void ExtensionControl::showDialogLater()
{
    spawn([this] {
        sleepFor(m_options.timing.dialogDelay);
        if (m_stopping || m_loadingState > 1)
            return;
        mainExecutor()->post(guarded([this] {
            if (m_loadingState > 1)
                return;
            // The quit button's work runs as a task of its own, after the dialog's button handling.
            m_options.dialog->doModal(guarded([this] {
                if (m_options.quit)
                    mainExecutor()->post(guarded(m_options.quit));
            }));
        }));
    });
}

void ExtensionControl::waitForNetworkAndLoad()
{
    const Timing& timing = m_options.timing;
    for (int pass = 0; pass < timing.networkPasses; ++pass) {
        for (int poll = 0; poll < timing.networkPollsPerPass; ++poll) {
            if (m_stopping)
                return;
            if (m_options.isNetworkKnown()) {
                initializeVpnExtensionLoader();
                return;
            }
            sleepFor(timing.networkPollInterval);
        }
        CLogMessage(kLogDebug) << "Wait for network initialization";
    }
    if (m_stopping)
        return;
    CLogMessage(kLogError) << "Network not fully initialized";
    initializeVpnExtensionLoader();
}

void ExtensionControl::initializeVpnExtensionLoader()
{
    CLogMessage(kLogDebug) << "System Extension start";
    m_options.dialog->updateContentToSysExtLoad(retryAction());
    // The loader and its answers belong to the main thread.
    onMain([this] {
        std::shared_ptr<SystemExtensionLoader> loader = sysExtLoader();
        if (!loader)
            return;
        loader->loadExtensionWithHandler([this, life = m_life](int64_t code) {
            Life::Entry entry(life);
            if (entry)
                handleLoaderResult(code);
        });
    });
}

void ExtensionControl::handleLoaderResult(int64_t code)
{
    NetworkLoadDialog& dialog = *m_options.dialog;
    switch (code) {
    case kCodeCompleted:
        initializeVpnProxy();
        break;
    case kCodeNeedsApproval:
        dialog.updateContentToSysExtAllow(guarded([this] {
            CLogMessage(kLogError) << SysExtApprovalText(m_options.loginName);
            tryToRunVPN();
        }));
        break;
    case kCodeFailed:
        dialog.updateContentToSysExtFail(retryAction());
        break;
    case kCodeManagedDevice:
        dialog.updateContentToSysExtFailOnManagedDevice(retryAction());
        break;
    default:
        // A replacement under way or a properties count: the request's final answer follows.
        break;
    }
}

void ExtensionControl::initializeVpnProxy()
{
    m_options.dialog->updateContentToVpnCreation(retryAction());
    CLogMessage(kLogDebug) << "Transparent Proxy initialization start";
    std::shared_ptr<AppProxyManager> manager = appProxyManager();
    if (!manager)
        return;
    auto logHandler = [](bool isError, bool flag, const std::string& message) {
        CLogMessage(isError ? kLogError : flag ? kLogVerbose : kLogNone) << message;
    };
    manager->createAndrunAppProxyVpn(
        [this, life = m_life](AppProxyConnectionPtr connection, std::optional<std::string> error) {
            Life::Entry entry(life);
            if (!entry)
                return;
            if (!connection) {
                m_options.dialog->updateContentToError("Network error: " + error.value_or(""), retryAction());
                return;
            }
            setConnection(connection);
            m_loadingState = 1;
            m_options.dialog->updateContentToSendWakeSignal(retryAction());
            connection->sendWakeSignalToVPNWithHandler([this, life](bool ok) {
                Life::Entry entry(life);
                if (!entry)
                    return;
                if (ok) {
                    initializeVpnXpcConnection();
                } else if (m_vpnStartCounter >= m_options.timing.maxStartAttempts) {
                    m_options.dialog->updateContentToWakeSignalFailed(
                        guarded([this] { reinitializeSystemExtensionAndStart(); }));
                } else {
                    // The delay runs on a thread of its own so that the configuration queue keeps moving.
                    spawn([this] {
                        sleepFor(m_options.timing.restartDelay);
                        if (!m_stopping)
                            tryToRunVPN();
                    });
                }
            });
        },
        logHandler);
}

void ExtensionControl::initializeVpnXpcConnection()
{
    m_options.dialog->updateContentToXPCConnection(retryAction());
    CLogMessage(kLogDebug) << "Network Extension XPC connection start";
    ExtensionClientPtr client = getNewXpcConnection();
    if (!client)
        return;
    client->helloWithVersion(kExpectedExtensionVersion, [this, life = m_life, client](const std::string& version) {
        Life::Entry entry(life);
        if (entry)
            handleHelloReply(client, version);
    });
}

void ExtensionControl::handleHelloReply(const ExtensionClientPtr& client, const std::string& version)
{
    client->closeConnection();
    CLogMessage(kLogDebug) << "The XPC hello message was received from Network Extension " << version;
    if (version != kExpectedExtensionVersion) {
        // Also "<nil>": the extension's socket could not be reached, and stopping and starting it recovers.
        reinstallAfterHello(version);
        return;
    }
    m_reinstallsInRow = 0;
    m_options.sendSettings(false, [this, life = m_life](bool ok) {
        Life::Entry entry(life);
        if (!entry)
            return;
        CLogMessage(kLogDebug) << "Network Extension settings transferred with the result: " << (ok ? "OK" : "Fail");
        if (!ok) {
            m_options.dialog->updateContentToError(kSettingsFailed, retryAction());
            return;
        }
        if (m_options.useDataFilter())
            initializeVpnDataFilter();
        else
            initializeDnsProxy();
    });
}

void ExtensionControl::reinstallAfterHello(const std::string& version)
{
    // An extension that keeps answering wrongly would otherwise be reinstalled for ever.
    if (m_reinstallsInRow >= m_options.timing.maxReinstalls) {
        CLogMessage(kLogError) << "Wrong Network Extension version " << version << " - not restarting after "
                               << m_reinstallsInRow.load() << " restarts";
        m_options.dialog->updateContentToError(kWrongVersion, guarded([this] {
            m_reinstallsInRow = 0;
            tryToRunVPN();
        }));
        return;
    }
    ++m_reinstallsInRow;
    CLogMessage(kLogError) << "Wrong Network Extension version " << version << " - trying to restart";
    m_options.dialog->updateContentToError(kWrongVersion, retryAction());
    reinitializeSystemExtensionAndStart();
}

void ExtensionControl::initializeDnsProxy()
{
    m_options.dialog->updateContentToDnsProxyCreation(retryAction());
    std::shared_ptr<DnsProxyManager> manager = dnsManager();
    if (!manager)
        return;
    manager->runDnsProxySessionWithHandler([this, life = m_life](bool ok, std::optional<std::string> error) {
        Life::Entry entry(life);
        if (!entry)
            return;
        if (ok)
            startTransparentProxy();
        else
            m_options.dialog->updateContentToError("DNS error: " + error.value_or(""), retryAction());
    });
}

void ExtensionControl::initializeVpnDataFilter()
{
    std::shared_ptr<DataFilterManager> manager = dataFilterManager();
    if (!manager)
        return;
    // The filter's own outcome does not stop the proxy: it only feeds the extension the machine's DNS answers.
    manager->runDataFilterSessionWithHandler([this, life = m_life](bool) {
        Life::Entry entry(life);
        if (!entry)
            return;
        std::shared_ptr<AppProxyConnection> current = connection();
        if (!current)
            return;
        if (!current->isConnected()) {
            if (!current->startVPN())
                m_options.dialog->updateContentToError(kStartSignalFailed, retryAction());
        } else {
            CLogMessage(kLogDebug) << kTransparentProxyAlreadyStarted;
            m_loadingState = 2;
        }
    });
}

void ExtensionControl::startTransparentProxy()
{
    m_options.dialog->updateContentToVpnStart(retryAction());
    std::shared_ptr<AppProxyConnection> current = connection();
    if (!current)
        return;
    if (current->isConnected()) {
        CLogMessage(kLogDebug) << kTransparentProxyAlreadyStarted;
        m_loadingState = 2;
        m_options.dialog->finishModal();
    } else if (!current->startVPN()) {
        m_options.dialog->updateContentToError(kStartSignalFailed, retryAction());
    }
}

void ExtensionControl::reinitializeSystemExtensionAndStart()
{
    onMain([this] {
        m_sysExtUnLoader = std::make_shared<SystemExtensionLoader>();
        m_sysExtUnLoader->stopExtensionWithHandler([this, life = m_life](int64_t code) {
            Life::Entry entry(life);
            if (!entry)
                return;
            if (code == kCodeCompleted)
                tryToRunVPN();
            else
                m_options.dialog->updateContentToSysExtRemoveFailed();
        });
    });
}

void ExtensionControl::getPropertiesOfSystemExtensionAndStart()
{
    onMain([this] {
        m_sysExtPropRecv = std::make_shared<SystemExtensionLoader>();
        // The request answers with its count and then with its end: activate once.
        auto answered = std::make_shared<bool>(false);
        m_sysExtPropRecv->propertiesOfExtensionWithHandler([this, life = m_life, answered](int64_t) {
            Life::Entry entry(life);
            if (!entry || *answered)
                return;
            *answered = true;
            initializeVpnExtensionLoader();
        });
    });
}

void ExtensionControl::removeSystemExtensionAndWait()
{
    onMain([this] {
        m_sysExtUnLoader = std::make_shared<SystemExtensionLoader>();
        m_sysExtUnLoader->stopExtensionWithHandler([this, life = m_life](int64_t code) {
            Life::Entry entry(life);
            if (!entry)
                return;
            if (code == kCodeCompleted)
                SystemLog("System Extension deactivated");
            else
                SystemLog("System Extension not deactivated with error " + std::to_string(code));
            m_options.exit(0);
        });
    });
}

// ---- Status control ----

void ExtensionControl::restartLater()
{
    if (m_restartPending.exchange(true))
        return;
    spawn([this] {
        sleepFor(m_options.timing.restartDelay);
        m_restartPending = false;
        if (!m_stopping)
            tryToRunVPN();
    });
}

void ExtensionControl::vpnProxyStatusChanged()
{
    std::shared_ptr<AppProxyConnection> current = connection();
    if (!current)
        return;
    if (current->isConnected()) {
        CLogMessage(kLogDebug) << "Transparent Proxy started";
        m_loadingState = 2;
        m_options.dialog->finishModal();
        return;
    }
    CLogMessage(kLogDebug) << "Transparent Proxy status changed to " << current->getStatusForLog();
    if (!current->isExpectedToBeStarted() || !current->isDisconnected())
        return;
    CLogMessage(kLogDebug) << "Transparent Proxy status mismatch";
    if (m_vpnStartCounter >= m_options.timing.maxStartAttempts)
        return;
    restartLater();
}

void ExtensionControl::checkVpnStatus()
{
    const int64_t now = m_options.nowSeconds();
    if (now <= m_lastCheckSecond)
        return;
    m_lastCheckSecond = now;
    std::shared_ptr<AppProxyConnection> current = connection();
    if (m_loadingState != 2 || m_options.isClosing() || m_options.isTerminating() || !current || current->isConnected())
        return;
    // Only the first of every ten restarts is an error: a proxy that keeps dropping must not flood the log.
    const int counter = m_mismatchCounter;
    CLogMessage(counter == 0 ? kLogError : kLogDebug)
        << "The Transparent proxy extension status mismatch - restarting...";
    m_mismatchCounter = (counter + 1) % 10;
    tryToRunVPN();
}

// ---- The pool of IPC clients ----

ExtensionClientPtr ExtensionControl::getNewXpcConnection()
{
    auto makePooled = [this] {
        XPCConnectionsStorageInfo info { m_options.makeClient(), m_options.nowSeconds() };
        info.m_xpcClient->connect();
        m_xpcConnections.push_back(info);
        return info.m_xpcClient;
    };
    std::shared_ptr<MainThreadExecutor> executor = mainExecutor();
    if (executor->isMainThread())
        return makePooled();

    struct Waiter {
        Mutex mutex;
        CondVar cond;
        bool done GUARDED_BY(mutex) = false;
        ExtensionClientPtr client GUARDED_BY(mutex);
    };
    // Releases the waiter when the task is destroyed, run or not (an executor that shuts down drops tasks).
    struct Release {
        explicit Release(std::shared_ptr<Waiter> waiter)
            : waiter(std::move(waiter))
        {
        }
        ~Release()
        {
            MutexLock lock(waiter->mutex);
            waiter->done = true;
            waiter->cond.signalAll();
        }
        Release(const Release&) = delete;
        Release& operator=(const Release&) = delete;
        const std::shared_ptr<Waiter> waiter;
    };
    auto waiter = std::make_shared<Waiter>();
    {
        auto release = std::make_shared<Release>(waiter);
        executor->post(guarded([makePooled, release] {
            ExtensionClientPtr client = makePooled();
            MutexLock lock(release->waiter->mutex);
            release->waiter->client = std::move(client);
        }));
    }
    MutexLock lock(waiter->mutex);
    // The destructor's shutdown releases the wait too; the pool task then finds the object gone.
    while (!waiter->done && !m_stopping)
        waiter->cond.waitFor(waiter->mutex, std::chrono::milliseconds(50));
    return waiter->client;
}

void ExtensionControl::cleanupXpcConnections(bool force)
{
    const int64_t oldest = m_options.nowSeconds() - m_options.timing.poolMaxAgeSeconds;
    for (size_t i = m_xpcConnections.size(); i-- > 0;) {
        const XPCConnectionsStorageInfo& info = m_xpcConnections[i];
        if (!force && info.m_creationTime >= oldest)
            continue;
        if (!force && info.m_xpcClient->isConnected())
            CLogMessage(kLogError) << "XPC connection reach the timeout";
        info.m_xpcClient->closeConnection();
        m_xpcConnections.erase(m_xpcConnections.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void ExtensionControl::stopVpn()
{
    cleanupXpcConnections(true);
}

size_t ExtensionControl::xpcConnectionCount() const
{
    return m_xpcConnections.size();
}

} // namespace corvantis
