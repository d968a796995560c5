#pragma once

#include "ipc/ProviderControl.h"
#include "platform/DispatchQueue.h"
#include "platform/Result.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcListener.h"
#include "supervisor/AllowList.h"
#include "supervisor/ConfigurationFile.h"
#include "supervisor/ExtensionProcess.h"
#include "supervisor/Manifest.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// The service that plays the system for the programs (platform/sysext/SupervisorProtocol.h): it activates,
// replaces and stops the extension daemon of its own tree, keeps the network configurations with their sessions,
// and drives the daemon's providers through its control service.
//
// Callers. Root and the users on the allow list. Another user's activation is answered "needs approval" and
// waits until that user is allowed (a newer one of the same user replaces it, and the older is never answered);
// that user's other requests fail. The extension serves one user: it is started with -AllowedUid of the user
// whose activation (or, after it ended, whose session or message) started it, or with none when root started
// it; while it runs, every other non-root user's activation fails with the reason kExtensionRunsForAnotherUser.
//
// Activation state. "Activated" lasts from a successful activation to a deactivation, in this process only: a
// restarted supervisor starts nothing until a program activates again. While activated, a session start or a
// provider message starts the extension again when it ended, and a saved, enabled DNS proxy or content filter
// starts its provider at once; when not activated such a configuration is only stored, and its provider starts
// with the next start of the extension, as every enabled one does at each start.
//
// End of the extension (crash, kill, a provider that quits it, a deactivation or replacement): its sessions go
// Disconnected, calls to its providers that wait are answered with nothing, and `CorvantisExtension --cleanup`
// runs; the cleanup also runs when the supervisor starts and stops.
//
// Threading: every request, the extension's end and the allow list's changes are handled on one serial queue, so
// the state needs no further lock; starting and stopping the extension block that queue up to their bounds.
// start() and stop() may be called from any thread but that queue.
class Supervisor final : public std::enable_shared_from_this<Supervisor> {
    struct PrivateTag { };

public:
    struct Options {
        // The tree whose extension and manifest the supervisor runs.
        ExtensionTree tree { std::filesystem::path() };
        // Where the allow list and the configurations are kept.
        std::filesystem::path stateFolder;
        // The supervisor's own socket in the runtime folder.
        std::string serviceName;
        // Besides root, the owner the extension and its folders may have (the supervisor's own uid).
        uid_t trustedUid = 0;
        // How long a started extension may take until its services accept connections.
        std::chrono::milliseconds startBound { std::chrono::seconds(30) };
        // From SIGTERM to SIGKILL when the extension is stopped.
        std::chrono::milliseconds stopBound { std::chrono::seconds(5) };
        // How long `CorvantisExtension --cleanup` may run.
        std::chrono::milliseconds cleanupBound { std::chrono::seconds(30) };
        // How long a provider's start, stop or message may take before it counts as failed.
        std::chrono::milliseconds providerBound { std::chrono::seconds(60) };
    };

    // Runs the extension's cleanup, reads the allow list and the configurations and starts serving the socket.
    // Fails with the reason when the socket cannot be served.
    [[nodiscard]] static Result<std::shared_ptr<Supervisor>> start(Options options);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // Stops serving, stops the extension and runs its cleanup. Later calls do nothing.
    void stop();

    Supervisor(PrivateTag, Options options);

private:
    class CallerObject;
    struct Caller {
        std::weak_ptr<XpcConnection> connection;
        uid_t uid = 0;
    };
    struct PendingActivation {
        std::weak_ptr<XpcConnection> connection;
        int64_t requestId = 0;
    };
    using Reply = std::function<void(XpcArray)>;

    // A call from a client, on the queue.
    void handleCall(const XpcConnectionPtr& connection, uid_t uid, const std::string& selector,
        const XpcArray& arguments, Reply reply);
    void submitRequest(
        const XpcConnectionPtr& connection, uid_t uid, int64_t requestId, int kind, const std::string& identifier);
    void activate(const XpcConnectionPtr& connection, uid_t uid, int64_t requestId);
    void replaceExtension(const XpcConnectionPtr& connection, int64_t requestId, uid_t owner);
    void allowUser(uid_t caller, uid_t uid, Reply reply);
    void load(uid_t uid, int kind, Reply reply);
    void save(uid_t uid, const XpcObject& value, Reply reply);
    void startSession(uid_t uid, const std::string& identifier, Reply reply);
    void stopSession(uid_t uid, const std::string& identifier, Reply reply);
    void sendMessage(uid_t uid, const std::string& identifier, const std::vector<uint8_t>& message, Reply reply);

    // Why `uid` may not use the supervisor (not allowed) or the running extension (another user's), or nothing.
    std::optional<std::string> refusal(uid_t uid) const;
    // Starts the extension for `owner` (0: root only) unless it runs; then starts the enabled DNS proxy and filter.
    Status startExtension(uid_t owner);
    // The extension, started again for `uid` when activated but not running. The error's text otherwise.
    std::optional<std::string> ensureExtension(uid_t uid);
    // Stops a running extension on purpose and handles its end.
    void stopExtension();
    // The extension of this run ended: sessions, waiting calls, cleanup.
    void extensionEnded(const std::string& why);
    void runCleanup();
    // Starts or stops the provider of an enabled or disabled DNS proxy or content filter.
    void applyProvider(const NEConfiguration& configuration);
    void setSessionStatus(const std::string& identifier, NEVPNStatus status);
    // A call to the providers of this run: exactly one of `done` and `lost` runs, on the queue; `lost` when the
    // extension ends first or the bound passes.
    uint64_t trackProviderCall(std::function<void()> lost);
    // Takes the call `id` out of the waiting ones; false when it was answered (lost) already.
    bool finishProviderCall(uint64_t id);

    void send(const std::weak_ptr<XpcConnection>& connection, const std::string& selector, XpcArray arguments,
        XpcConnection::ReplyHandler reply = {});
    void failRequest(const std::weak_ptr<XpcConnection>& connection, int64_t requestId, const std::string& why);
    void finishRequest(const std::weak_ptr<XpcConnection>& connection, int64_t requestId);

    const Options m_options;
    const DispatchQueuePtr m_queue;
    AllowList m_allowList;
    ConfigurationFile m_configurations;
    std::shared_ptr<XpcListener> m_listener;
    bool m_stopped = false;

    // State below: on m_queue only.
    std::vector<Caller> m_callers;
    std::map<uid_t, PendingActivation> m_pendingActivations;
    std::map<std::string, NEVPNStatus> m_sessions;
    std::unique_ptr<ExtensionProcess> m_process;
    std::string m_serviceName;
    pid_t m_runPid = 0;
    uint64_t m_run = 0;
    bool m_activated = false;
    std::optional<uid_t> m_owner;
    uid_t m_lastOwner = 0;
    std::unique_ptr<ProviderControlClient> m_control;
    uint64_t m_nextProviderCall = 1;
    std::map<uint64_t, std::function<void()>> m_providerCalls;
};

} // namespace corvantis
