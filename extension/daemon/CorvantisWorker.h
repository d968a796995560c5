#pragma once

#include "extension/engine/CorvantisCoreWrapper.h"
#include "extension/engine/SocketEventsManager.h"
#include "extension/flows/TcpFlowsManager.h"
#include "extension/flows/TcpSplicePump.h"
#include "extension/flows/UdpFlowProcessor.h"
#include "extension/flows/UdpFlowsManager.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/netext/NEAppProxyTCPFlow.h"
#include "platform/netext/NEAppProxyUDPFlow.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace corvantis {

// The one object of the extension process that owns the engine and what the providers share: the engine facade,
// the socket event loop, the two flow registries, six serial queues and the semaphore that bounds the TCP
// connects in progress. It brings the engine up when asked, hands every new flow to its registry, answers the
// provider messages of the application, and closes the flows of a provider that stops.
//
// Queues: "Corvantis worker queue" (bring-up and flow hand-off, run synchronously by the callers), "Corvantis
// socket queue" (the event loop, for the life of the worker), "Corvantis tcp connect queue", "Corvantis tcp
// main queue", "Corvantis UDP processing queue" and "Corvantis API processing queue" (the flows' and the
// replies' queues).
//
// Thread-safety: initializeEngine and the flow hand-offs run on the worker queue (their callers make sure of
// it); processAppMessage and the stops may be called from any thread.
class CorvantisWorker final {
public:
    // What the tests tune; the process uses the defaults.
    struct Settings {
        TcpFlowSettings tcp;
        UdpFlowSettings udp;
        // Ends the process for the kill message (status 0, no reply).
        std::function<void(int status)> exitProcess;
    };

    // The process's worker, made on first use.
    static std::shared_ptr<CorvantisWorker> sharedWorker();

    explicit CorvantisWorker(Settings settings = {});
    // Stops the event loop when it runs, and waits for it.
    ~CorvantisWorker();
    CorvantisWorker(const CorvantisWorker&) = delete;
    CorvantisWorker& operator=(const CorvantisWorker&) = delete;

    // Brings the engine up (again: the facade is asked each time, the placeholder DNS address refreshed), and
    // the event loop once. False, logged, when the facade or the event loop cannot start.
    bool initializeEngine();
    // Answers a provider message (an archived IPCMessage): "Error message cannot be processed" for an error,
    // "message type not known" for a wake or an empty one, "fail" for bytes that hold no message; the kill
    // message ends the process and answers nothing. `completion` (may be empty) gets the reply on the api queue.
    void processAppMessage(
        const std::vector<uint8_t>& message, std::function<void(const std::vector<uint8_t>& reply)> completion);
    bool handleNewTcpFlow(const NEAppProxyTCPFlowPtr& flow);
    bool handleNewUdpFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint, bool fromDnsProxy);
    // The providers' hand-off: the same, run synchronously on the worker queue; a flow that is not a TCP flow
    // offered as one is answered false.
    bool takeTcpFlow(const std::shared_ptr<NEAppProxyFlow>& flow);
    bool takeUdpFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint, bool fromDnsProxy);
    // Close every flow of one kind (the other kind stays open); return at once.
    void stopAppProxy();
    void stopDnsProxy();

    const DispatchQueuePtr& mainQueue() const { return m_mainQueue; }
    const std::shared_ptr<TcpFlowsManager>& tcpFlowsManager() const { return m_tcpFlowsManager; }
    const std::shared_ptr<UdpFlowsManager>& udpFlowsManager() const { return m_udpFlowsManager; }
    CorvantisCoreWrapper& coreWrapper() { return m_coreWrapper; }
    bool isInitialized() const { return m_isInitialized.load(); }

private:
    const Settings m_settings;
    std::atomic<bool> m_isInitialized { false };
    const std::shared_ptr<UdpFlowsManager> m_udpFlowsManager;
    const std::shared_ptr<TcpFlowsManager> m_tcpFlowsManager;
    CorvantisCoreWrapper m_coreWrapper;
    const SocketEventsManagerPtr m_socketEventsManager;
    const DispatchQueuePtr m_mainQueue;
    const DispatchQueuePtr m_socketQueue;
    const DispatchQueuePtr m_tcpConnectQueue;
    const DispatchQueuePtr m_tcpMainQueue;
    const DispatchQueuePtr m_udpProcessingQueue;
    const DispatchQueuePtr m_apiSyncQueue;
    const DispatchSemaphorePtr m_tcpConnectionSemaphore;
    const std::shared_ptr<TcpSplicePump> m_tcpSplicePump; // null when the system gave none: the queues pump
};

} // namespace corvantis
