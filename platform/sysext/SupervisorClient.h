#pragma once

#include "platform/DispatchQueue.h"
#include "platform/Mutex.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/sysext/SystemExtensionManager.h"
#include "platform/xpc/XpcConnection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// The programs' side of the supervisor (platform/sysext/SupervisorProtocol.h): extension requests and the
// network configurations with their sessions, over one connection to the supervisor's socket.
//
// Delivery. A request's delegate is called on the main thread (NotificationCenter's main-thread executor), one
// call at a time; the client holds the delegate until its request has finished or failed. Load, save and message
// completions and status observers run on the client's own serial queue, never inside a call of this class.
//
// The supervisor going away (not running, restarted, stopped) fails what waits: requests fail with a reason,
// loads and saves complete with an error text, message handlers run with no data, and every session the client
// knew goes Disconnected (the supervisor stops the extension when it ends). The next call connects again.
//
// Thread-safety: every member may be called from any thread. The synchronous calls (status, startTunnel) wait
// for the supervisor's reply up to a bound; they must not be called on the connection's queue, which no
// callback of this class runs on.
class SupervisorClient final : public SystemExtensionManager,
                               public NEConfigurationStore,
                               public std::enable_shared_from_this<SupervisorClient> {
    struct PrivateTag { };

public:
    struct Options {
        // The service the supervisor listens on, in the runtime folder.
        std::string serviceName;
        // How long status() and startTunnel() wait for the supervisor's answer.
        std::chrono::milliseconds callBound { std::chrono::seconds(10) };
    };

    static std::shared_ptr<SupervisorClient> create();
    static std::shared_ptr<SupervisorClient> create(Options options);
    ~SupervisorClient() override;
    SupervisorClient(const SupervisorClient&) = delete;
    SupervisorClient& operator=(const SupervisorClient&) = delete;

    // SystemExtensionManager.
    void submitRequest(SystemExtensionRequestKind kind, const std::string& identifier,
        std::shared_ptr<SystemExtensionRequestDelegate> delegate) override;

    // NEConfigurationStore.
    void load(NEConfigurationKind kind, LoadCompletion completion) override;
    void save(const NEConfiguration& configuration, SaveCompletion completion) override;
    NEVPNStatus status(const std::string& identifier) override;
    std::optional<std::string> startTunnel(const std::string& identifier) override;
    void stopTunnel(const std::string& identifier) override;
    bool sendProviderMessage(
        const std::string& identifier, const std::vector<uint8_t>& message, ResponseHandler response) override;
    void addStatusObserver(StatusObserver observer) override;

    // Adds `uid` to the supervisor's allow list (a root caller only). `completion` gets the error's text, or
    // nothing when done; it runs on the client's queue.
    void allowUser(uid_t uid, std::function<void(std::optional<std::string> error)> completion);

    // Ends the connection; what waits fails as when the supervisor goes away. Later calls connect again.
    void disconnect();

    SupervisorClient(PrivateTag, Options options);

private:
    class Exported;
    struct PendingCall {
        uint64_t generation;
        std::function<void()> lost;
    };
    struct PendingRequest {
        uint64_t generation;
        std::shared_ptr<SystemExtensionRequestDelegate> delegate;
    };

    // The current connection, made (and subscribed to state changes) when there is none.
    XpcConnectionPtr connection();
    // Sends a call; exactly one of `reply` (on the connection's queue) and `lost` (on the client's queue) runs.
    void call(const std::string& selector, XpcArray arguments, std::function<void(XpcArray)> reply,
        std::function<void()> lost);
    // The connection of `generation` broke: fail what it carried.
    void connectionLost(uint64_t generation);
    void mergeStatuses(const XpcDict& statuses);
    // Records a session's state and tells the observers when it changed. A session first learnt of through a
    // snapshot (`announceNew` false) did not change: the client just did not know it.
    void setStatus(const std::string& identifier, NEVPNStatus status, bool announceNew = true);
    // Request events from the supervisor, on the connection's queue.
    std::shared_ptr<SystemExtensionRequestDelegate> delegateOf(int64_t requestId, bool last);
    void onRequestEvent(const std::string& selector, const XpcArray& arguments, std::function<void(XpcArray)> reply);
    void postToMain(std::function<void()> task);

    const Options m_options;
    const DispatchQueuePtr m_queue;

    Mutex m_mutex;
    XpcConnectionPtr m_connection GUARDED_BY(m_mutex);
    uint64_t m_generation GUARDED_BY(m_mutex) = 0;
    bool m_statusesKnown GUARDED_BY(m_mutex) = false;
    std::map<std::string, NEVPNStatus> m_statuses GUARDED_BY(m_mutex);
    std::vector<std::shared_ptr<StatusObserver>> m_observers GUARDED_BY(m_mutex);
    uint64_t m_nextCall GUARDED_BY(m_mutex) = 1;
    std::map<uint64_t, PendingCall> m_calls GUARDED_BY(m_mutex);
    int64_t m_nextRequest GUARDED_BY(m_mutex) = 1;
    std::map<int64_t, PendingRequest> m_requests GUARDED_BY(m_mutex);
};

} // namespace corvantis
