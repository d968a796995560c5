#pragma once

#include "extension/engine/SocketEventsManager.h"
#include "extension/flows/FlowProcessor.h"
#include "extension/flows/TcpSplicePump.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/DispatchSource.h"
#include "platform/Mutex.h"
#include "platform/netext/NEAppProxyTCPFlow.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace corvantis {

class ClientProcessorWrapper;
class TcpFlowsManager;

// The worker's shared queues and limits that every TCP flow uses.
struct TcpFlowQueues {
    SocketEventsManagerPtr socketEvents; // the engine's event loop, for resolutions before a connect
    DispatchQueuePtr connect; // connects are started on it
    DispatchSemaphorePtr connectSemaphore; // bounds the connects in progress
    DispatchQueuePtr main; // receiving from the remotes and every close, for all TCP flows
    DispatchQueuePtr api; // every call on a flow object
    // Moves the bytes of flows the engine has nothing left to prepare; null: the queues move every byte.
    std::shared_ptr<TcpSplicePump> splice;
};

// What a TCP flow's carriage may be tuned with.
struct TcpFlowSettings {
    // The engine's connection of a new flow. Empty: ClientProcessorWrapper::create() over the extension's object.
    std::function<std::shared_ptr<ClientProcessorWrapper>()> makeConnection;
    // After the application ended its sending side, the flow ends once the remote has sent nothing for this long.
    std::chrono::milliseconds halfClosedIdleLimit { 60000 };
};

// Carries one TCP flow of another application through the engine: asks whether the engine takes it, has the
// engine connect to the target (directly, or through the proxies and chains the rules choose), opens the flow
// and pumps both ways until either side ends or fails.
//
// Upstream (application to remote): one read from the flow at a time; each chunk goes through the engine's
// preparation (a plain HTTP proxy's request) and is sent without blocking; what the remote socket does not take
// waits under a write source, and nothing more is read until it is gone. When the application ends its sending
// side, the remote's sending side is shut down once the pending bytes are gone, and the downstream pump goes on
// until the remote ends, a failure, or `halfClosedIdleLimit` without data from the remote.
// Downstream (remote to application): receives without blocking, waits under a one-shot read source, and has
// one write to the flow outstanding at a time, so the slower side paces the faster.
// Splice: once a flow is open with nothing left for the engine to prepare (see
// ClientProcessorWrapper::prepareSplice), the queues' pumps are never started and the splice pump moves its bytes,
// with the same counts, ends and half-close limit.
// Closing: every end goes through close(); the first removal from the registry closes the flow object once;
// the sources are cancelled before the engine's connection (and with it the descriptor they watch) is closed.
//
// Lifetime: held by the registry from registration until removal, and by every scheduled step.
// Thread-safety: the upstream state lives on the flow's own upstream queue, the downstream state on the shared
// main queue, calls on the flow object on the api queue, a spliced flow's bytes on the splice pump's thread; flags
// read across them are atomic. A read's or a write's completion goes on with a synchronous step on the upstream
// or downstream queue, which runs in the completion's thread when that queue is idle; no block of those queues
// waits for the flow's own queue.
class TcpFlowProcessor final : public FlowProcessor,
                               public std::enable_shared_from_this<TcpFlowProcessor>,
                               private TcpSplicePump::Client {
    struct PrivateTag { };

public:
    static std::shared_ptr<TcpFlowProcessor> create(NEAppProxyTCPFlowPtr flow, std::shared_ptr<TcpFlowsManager> manager,
        const TcpFlowQueues& queues, const TcpFlowSettings& settings);
    TcpFlowProcessor(PrivateTag, NEAppProxyTCPFlowPtr flow, std::shared_ptr<TcpFlowsManager> manager,
        const TcpFlowQueues& queues, const TcpFlowSettings& settings);
    ~TcpFlowProcessor() override;

    // The engine's decision for the flow (ClientProcessorWrapper::kNotTaken, kRefused or kTaken).
    int matchFlow(const NWEndpoint& endpoint, const std::optional<std::string>& hostname);
    // Schedules the connect of a taken flow; called once the flow is registered, so that its result finds the
    // flow's id.
    void connectRemote();
    // Ends the flow, with the error the application is to see (none: an orderly end). Only schedules, except
    // when called from a block of the downstream queue: there the end begins at once, so such a caller must
    // return right after it.
    void close(std::optional<FlowError> error);

    uint64_t flowId() const { return m_flowId.load(); }
    void setFlowId(uint64_t id) { m_flowId.store(id); }
    const NEAppProxyTCPFlowPtr& flow() const { return m_flow; }

private:
    void startUpstream();
    // Hands the open flow to the splice pump when the engine allows it; false: the queues pump it.
    bool startSplice();
    void spliceApplicationEnded() override;
    void spliceRemoteData() override;
    void spliceEnded(std::optional<FlowError> error) override;
    void startDownstream();
    void processUpstream();
    void prepareUpstream(std::vector<uint8_t> chunk);
    void applicationEnded();
    bool writeUpstreamData(std::optional<std::vector<uint8_t>> dataNew, bool readNextWhenIdle);
    void shutdownRemoteSendOnce();
    void processDownstream();
    void writeDownstreamData(std::vector<uint8_t> data);
    void watchHalfClosedIdle();
    // On the downstream queue after `delay`: ends the flow when the remote has sent nothing for the limit.
    void checkHalfClosedIdleAfter(std::chrono::steady_clock::duration delay);
    void shutdown(std::optional<FlowError> error);
    void closeFlow(std::optional<FlowError> error);
    void finishClose(std::optional<FlowError> error);

    const NEAppProxyTCPFlowPtr m_flow;
    const std::shared_ptr<ClientProcessorWrapper> m_externalTcpProcessor;
    const DispatchQueuePtr m_apiSyncQueue;
    const DispatchQueuePtr m_upstreamQueue;
    const DispatchQueuePtr m_downstreamQueue; // also the closing queue
    const DispatchQueuePtr m_connectQueue;
    const DispatchSemaphorePtr m_connectSemaphore;
    const SocketEventsManagerPtr m_socketEventsManager;
    const std::shared_ptr<TcpFlowsManager> m_flowManager;
    const std::chrono::milliseconds m_halfClosedIdleLimit;
    const std::shared_ptr<TcpSplicePump> m_splicePump;

    std::atomic<uint64_t> m_flowId { 0 };
    std::atomic<bool> m_isOpened { false };
    std::atomic<bool> m_downstreamStarted { false };
    std::atomic<bool> m_applicationEnded { false };
    std::atomic<bool> m_closeRequested { false };

    // Upstream queue only.
    std::optional<std::vector<uint8_t>> m_unsentUpstream;
    DispatchSourcePtr m_sourceWrite;
    bool m_remoteSendShut = false;
    bool m_upstreamClosed = false;

    // Downstream (main) queue only.
    DispatchSourcePtr m_sourceRead;
    bool m_closed = false;
    bool m_idleWatched = false;
    bool m_spliced = false; // in the splice pump, until the close takes it out
    // When the remote last sent data; written by the splice pump's thread too.
    std::atomic<std::chrono::steady_clock::rep> m_lastDownstreamData { 0 };
};

} // namespace corvantis
