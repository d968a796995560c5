#pragma once

#include "app/ExtensionClient.h"
#include "app/NetworkLoadDialog.h"
#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {

class AppProxyConnection;
class AppProxyManager;
class DataFilterManager;
class DnsProxyManager;
class MainThreadExecutor;
class SystemExtensionLoader;

// The extension version this application expects: given to the managers and sent in the hello.
inline constexpr const char* kExpectedExtensionVersion = "3.12.2";

// The text of the approval step, which the loading dialog shows and its button logs: the extension may run only
// once an administrator allowed it for `loginName`.
std::string SysExtApprovalText(const std::string& loginName);

// One pooled link to the extension with the second (since the epoch) it was made.
struct XPCConnectionsStorageInfo {
    ExtensionClientPtr m_xpcClient;
    int64_t m_creationTime = 0;
};

// Brings the network extension up in a fixed chain of asynchronous steps and keeps it up: wait for the network,
// activate the extension, create and wake the transparent proxy configuration, say hello over IPC and send the
// settings, start the DNS proxy (or the content filter), start the transparent proxy. Every step shows itself in
// the loading dialog, whose button retries the whole chain. Afterwards status changes and a periodic check
// restart the chain when the proxy's status and the expectation disagree.
//
// Thread-safety: the chain's steps may run on any thread (the work thread, the managers' completion queues,
// reply threads, delayed-restart threads); nothing waits on the main thread. The loader and the IPC client pool
// live on the main thread: steps hop there through the main executor. Counters and flags are atomic, objects are
// behind a lock. The object joins every thread it started when it is destroyed; callbacks that arrive later
// (manager completions, dialog buttons, queued main-thread tasks) find it gone and do nothing. Destroy it on a
// thread that is not blocked in one of its callbacks.
class ExtensionControl final {
public:
    using SettingsResult = std::function<void(bool ok)>;
    // Sends the settings to the extension; `restart` asks it to restart the proxy; `result` runs once, on any
    // thread.
    using SettingsSender = std::function<void(bool restart, SettingsResult result)>;

    // The waits and bounds, as the program has them; tests shorten them.
    struct Timing {
        // From a start of the chain until the loading dialog shows, unless the proxy runs by then.
        std::chrono::milliseconds dialogDelay { 3000 };
        // The network wait: passes of polls, each poll this far apart.
        int networkPasses = 20;
        int networkPollsPerPass = 10;
        std::chrono::milliseconds networkPollInterval { 100 };
        // Before the chain restarts after a failed wake signal or a status mismatch.
        std::chrono::milliseconds restartDelay { 5000 };
        // A pooled client younger than this (seconds) survives a cleanup without force.
        int64_t poolMaxAgeSeconds = 10;
        // Starts of the chain after which a failed wake signal offers reinstalling and a status mismatch no
        // longer restarts.
        int maxStartAttempts = 20;
        // Reinstalls in a row (wrong version, or no hello answer) before the chain gives up with retry.
        int maxReinstalls = 20;
    };

    // What the program or a test injects. Empty members take the defaults noted.
    struct Options {
        // The loading dialog. Default: one that shows nothing.
        std::shared_ptr<NetworkLoadDialog> dialog;
        // A new, unconnected client of the extension. Default: MakeExtensionClient.
        std::function<ExtensionClientPtr()> makeClient;
        // Whether the base network interface is known. Default: GetBaseInterfaceIndex() != 0.
        std::function<bool()> isNetworkKnown;
        // The settings step. Default: none, which answers false.
        SettingsSender sendSettings;
        // Whether the content filter replaces the DNS proxy. Default: "UseDataFilterInsteadOfDnsProxy" of
        // theApp's settings (false without theApp).
        std::function<bool()> useDataFilter;
        // The loading dialog's cancel button, run on the main thread. Default: nothing.
        NetworkLoadDialog::Action quit;
        // Ends the process after the extension's removal. Default: std::exit.
        std::function<void(int code)> exit;
        // The application is terminating / its windows are closing: the periodic check then stays quiet.
        // Default: false.
        std::function<bool()> isTerminating;
        std::function<bool()> isClosing;
        // Wall-clock seconds since the epoch. Default: time().
        std::function<int64_t()> nowSeconds;
        // Sleeps the calling thread. Default: a sleep that the destructor cuts short.
        std::function<void(std::chrono::milliseconds)> sleep;
        // The main thread. Default: NotificationCenter::defaultCenter()'s executor, looked up at each use.
        std::shared_ptr<MainThreadExecutor> mainExecutor;
        // The user's login name for the approval text. Default: the name of the real user id.
        std::string loginName;
        Timing timing;
    };

    // With the program's defaults.
    ExtensionControl();
    explicit ExtensionControl(Options options);
    // Stops every thread it started (cutting their sleeps short) and joins them.
    ~ExtensionControl();
    ExtensionControl(const ExtensionControl&) = delete;
    ExtensionControl& operator=(const ExtensionControl&) = delete;

    // ---- The chain ----

    // Makes the loader and the three configuration managers (for kExpectedExtensionVersion); state 0, counter 0.
    // Called once by the work thread before the first tryToRunVPN.
    void createManagers();
    // Starts or restarts the whole chain: state 1, counter + 1, the delayed loading dialog, the network wait and
    // the activation. Off the main thread the caller waits for the network (up to passes x polls x interval);
    // on the main thread the wait runs on a thread of its own and the call returns at once.
    void tryToRunVPN();
    // Activates the extension (on the main thread) and goes on by its result: 0 the proxy configuration,
    // 2 the approval step, 11 and 12 failures with retry.
    void initializeVpnExtensionLoader();
    // Creates, saves and wakes the transparent proxy configuration; the connection becomes connection().
    void initializeVpnProxy();
    // The hello with kExpectedExtensionVersion, then the settings; a wrong or missing answer reinstalls the
    // extension (at most Timing::maxReinstalls times in a row).
    void initializeVpnXpcConnection();
    void initializeDnsProxy();
    void initializeVpnDataFilter();
    void startTransparentProxy();
    // Deactivates the extension, then restarts the chain; a failed deactivation shows the removal failure.
    void reinitializeSystemExtensionAndStart();
    // Asks for the extension's properties, then activates it whatever the answer.
    void getPropertiesOfSystemExtensionAndStart();
    // Deactivates the extension, writes the outcome to the system log and ends the process with code 0.
    void removeSystemExtensionAndWait();

    // ---- Status control (main thread) ----

    // The proxy's status changed (the handler of the status notification calls it).
    void vpnProxyStatusChanged();
    // At most once per wall-clock second: restarts the chain when the proxy should run and does not.
    void checkVpnStatus();

    // ---- The pool of IPC clients ----

    // A new client, connected, kept in the pool. Its body runs on the main thread (waiting for it when called
    // elsewhere); null when the object is being destroyed or the main executor dropped the task unrun.
    ExtensionClientPtr getNewXpcConnection();
    // Closes and drops pooled clients: all with `force`, else those older than Timing::poolMaxAgeSeconds.
    // Main thread only.
    void cleanupXpcConnections(bool force);
    // Closes every pooled client. Main thread only.
    void stopVpn();
    // Main thread only.
    size_t xpcConnectionCount() const;

    // ---- State ----

    // 0 managers created; 1 bring-up running; 2 transparent proxy running.
    int loadingState() const { return m_loadingState.load(); }
    // Starts of the chain since the managers were made.
    int startCounter() const { return m_vpnStartCounter.load(); }
    std::shared_ptr<AppProxyConnection> connection() const;
    std::shared_ptr<AppProxyManager> appProxyManager() const;
    std::shared_ptr<DnsProxyManager> dnsManager() const;
    std::shared_ptr<DataFilterManager> dataFilterManager() const;

private:
    struct Life;

    // `body` wrapped so that it runs only while the object lives (and keeps it alive meanwhile).
    std::function<void()> guarded(std::function<void()> body);
    NetworkLoadDialog::Action retryAction();
    std::shared_ptr<MainThreadExecutor> mainExecutor() const;
    bool onMainThread() const;
    // Runs `body` on the main thread: at once when called there, else posted.
    void onMain(std::function<void()> body);
    // Starts a thread the destructor joins.
    void spawn(std::function<void()> body);
    void sleepFor(std::chrono::milliseconds duration);
    void showDialogLater();
    void waitForNetworkAndLoad();
    void handleLoaderResult(int64_t code);
    void handleHelloReply(const ExtensionClientPtr& client, const std::string& version);
    // A wrong or missing hello: reinstall, unless too many reinstalls came in a row.
    void reinstallAfterHello(const std::string& version);
    void restartLater();
    void setConnection(std::shared_ptr<AppProxyConnection> connection);
    std::shared_ptr<SystemExtensionLoader> sysExtLoader() const;

    Options m_options;
    const std::shared_ptr<Life> m_life;

    std::atomic<int> m_loadingState { 0 };
    std::atomic<int> m_vpnStartCounter { 0 };
    std::atomic<int> m_reinstallsInRow { 0 };
    std::atomic<bool> m_restartPending { false };
    std::atomic<int> m_mismatchCounter { 0 };
    std::atomic<int64_t> m_lastCheckSecond { 0 };

    mutable Mutex m_mutex;
    std::shared_ptr<AppProxyConnection> m_connection GUARDED_BY(m_mutex);
    std::shared_ptr<SystemExtensionLoader> m_sysExtLoader GUARDED_BY(m_mutex);
    std::shared_ptr<AppProxyManager> m_manager GUARDED_BY(m_mutex);
    std::shared_ptr<DnsProxyManager> m_dnsManager GUARDED_BY(m_mutex);
    std::shared_ptr<DataFilterManager> m_dataFilterManager GUARDED_BY(m_mutex);

    // Main thread only.
    std::shared_ptr<SystemExtensionLoader> m_sysExtUnLoader;
    std::shared_ptr<SystemExtensionLoader> m_sysExtPropRecv;
    std::vector<XPCConnectionsStorageInfo> m_xpcConnections;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::atomic<bool> m_stopping { false };
    Mutex m_threadsMutex;
    CondVar m_stopCond; // signalled when m_stopping is set
    std::list<Worker> m_threads GUARDED_BY(m_threadsMutex);
};

} // namespace corvantis
