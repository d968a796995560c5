#pragma once

// Plays the application side of the engine's flows without the extension process: each flow is a socket pair
// whose one end the test (or benchmark) uses as the application's socket, while the driver pumps the other end
// through a ClientProcessorWrapper the way the flow code does: rule decision, connect (with the connect
// semaphore and, when needed, the resolver over a running event loop), the bytes both ways, and the close.
//
// The pumps keep the flow code's contract with the facade:
//  - upstream, every chunk the application sends goes through prepateDataForRemote first; what it does not take
//    goes to the remote unchanged, what it takes is replaced by its replacement;
//  - downstream (remote to application) starts at once only when needDownstreamNow says so; otherwise when the
//    facade answers a chunk (an empty answer: the remote side is ready; any other is written to the application
//    first), never merely because a chunk went up;
//  - the remote's end of stream, an error on either side, a failed send and a connection the user canceled or
//    the engine closed each end the whole flow: the application's socket is shut down both ways (what was
//    written before stays readable) and the connection is closed once both pumps have stopped.
// The application's end of stream is passed on to the remote as a half-close, and the flow then ends with the
// remote's end of stream. (The flow code closes such a flow two seconds after the application's end instead,
// whatever the remote still sends; tests that carry large replies after a half-close cannot rely on a time.)
//
// Built as its own library (corvantis_enginedriver) over the engine alone, so benchmarks link it without any
// test framework.

#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/DnsResolveProcessor.h"
#include "extension/engine/SocketEventsManager.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"
#include "platform/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {

class AppNameWrapper;
class CConnRecord;
class CCorvantisAppProxy;

namespace test {

class EngineDriver;

// One application connection carried by the engine.
//
// Thread-safety: the public members may be called from any thread. The connect thread reports once; the two
// pump threads share the wrapper as the flow code's queues do (one sends, one receives) and meet only under
// m_mutex, which also guards the outcome the waiters read.
class EngineFlow final : public std::enable_shared_from_this<EngineFlow> {
public:
    EngineFlow(std::shared_ptr<ClientProcessorWrapper> wrapper, UniqueFd appEnd, UniqueFd flowEnd);
    // Waits for the connect's report, ends the flow, waits for the pumps and closes the connection.
    ~EngineFlow();
    EngineFlow(const EngineFlow&) = delete;
    EngineFlow& operator=(const EngineFlow&) = delete;

    // createNewConnection's answer (ClientProcessorWrapper::kNotTaken, kRefused, kTaken).
    int Decision() const { return m_decision; }
    // establishRemoteConnection's answer; false when the flow was not taken.
    bool Started() const { return m_started; }
    // The connect's report, once it came within `timeout`.
    std::optional<bool> WaitConnected(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // The application's end of the flow: write what the application sends, read what it receives. -1 when the
    // flow was not taken, or when the caller's own socket is pumped (EngineDriver::OpenOn).
    int AppSocket() const { return m_appEnd.get(); }
    // Closes the application's end (the application closed its socket).
    void CloseApp() { m_appEnd.reset(); }
    // True once both pumps have ended and the connection was closed, within `timeout`; at once for a flow the
    // engine did not take.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // True once the driver has started reading from the remote.
    bool DownstreamStarted() const;
    const std::shared_ptr<ClientProcessorWrapper>& Wrapper() const { return m_wrapper; }
    std::shared_ptr<CConnRecord> Record() const;

private:
    friend class EngineDriver;

    void onConnected(bool connected);
    // Starts the downstream pump unless it runs already or the flow is ending.
    void startDownstream();
    void startDownstreamLocked() REQUIRES(m_mutex);
    // Application -> remote, and remote -> application.
    void upstream();
    void downstream();
    // Sends all of `data` to the remote (at least one send, as the flow code does even for nothing); false when a
    // send failed or the flow is ending.
    bool sendToRemote(const std::vector<uint8_t>& data);
    // The user canceled the connection, or the engine closed it.
    bool recordEnded() const;
    // Ends the whole flow: the pumps stop and the application sees the end of its connection. Any thread, once.
    void endFlow();
    void pumpEnded();
    // Closes the connection (once) and wakes the waiters.
    void finish();
    // A flow the engine did not take: no pumps, no connection to close (the flow code closes only connections
    // it asked the engine to establish).
    void endUntaken();
    void joinPumps();

    const std::shared_ptr<ClientProcessorWrapper> m_wrapper;
    UniqueFd m_appEnd;
    const UniqueFd m_flowEnd;
    int m_decision = ClientProcessorWrapper::kNotTaken; // set by the driver before the flow is shared
    bool m_started = false; // likewise
    std::atomic<bool> m_ending { false };

    mutable Mutex m_mutex;
    CondVar m_changed;
    std::optional<bool> m_connected GUARDED_BY(m_mutex);
    std::thread m_upstream GUARDED_BY(m_mutex);
    std::thread m_downstream GUARDED_BY(m_mutex);
    bool m_downstreamStarted GUARDED_BY(m_mutex) = false;
    int m_pumpsLeft GUARDED_BY(m_mutex) = 0;
    bool m_finishing GUARDED_BY(m_mutex) = false;
    bool m_closed GUARDED_BY(m_mutex) = false;
};

// The flow code's surroundings: an event loop running on a thread of its own, the connect queue and the connect
// semaphore shared by all flows.
//
// Thread-safety: Open and OpenOn may be called from any number of threads at once; the driver must outlive the
// flows it opened.
class EngineDriver final {
public:
    struct Options {
        long maxConnects = ClientProcessorWrapper::kMaxConnectsInProgress;
        DnsResolverSettings resolver; // its table defaults to the application object's
    };

    explicit EngineDriver(CCorvantisAppProxy& app);
    EngineDriver(CCorvantisAppProxy& app, Options options);
    // Stops the event loop and waits for its thread.
    ~EngineDriver();
    EngineDriver(const EngineDriver&) = delete;
    EngineDriver& operator=(const EngineDriver&) = delete;

    // A new flow of `app` to `endpoint`:`port` (the address the application connected to; `hostName` is the
    // name the system knows for it, if any). A taken flow is connected: this waits for a connect unit when all
    // are in use. The flow's end for the application exists only when the flow was taken.
    std::shared_ptr<EngineFlow> Open(
        const AppNameWrapper& app, const std::string& endpoint, uint16_t port, const std::string& hostName = {});

    // The same for a flow whose data already comes over a socket of the caller's (a benchmark's accepted
    // connection): the driver pumps `flowEnd` itself, with no socket pair between, and the flow has no
    // application end. A flow that is not taken closes `flowEnd`.
    std::shared_ptr<EngineFlow> OpenOn(UniqueFd flowEnd, const AppNameWrapper& app, const std::string& endpoint,
        uint16_t port, const std::string& hostName = {});

    const SocketEventsManagerPtr& EventManager() const { return m_events; }
    const DispatchQueuePtr& ConnectQueue() const { return m_queue; }
    const DispatchSemaphorePtr& ConnectSemaphore() const { return m_semaphore; }

private:
    // `given` empty: the flow's two ends are a new socket pair.
    std::shared_ptr<EngineFlow> open(UniqueFd given, const AppNameWrapper& app, const std::string& endpoint,
        uint16_t port, const std::string& hostName);

    CCorvantisAppProxy& m_app;
    const Options m_options;
    const SocketEventsManagerPtr m_events;
    std::thread m_loop;
    const DispatchQueuePtr m_queue;
    const DispatchSemaphorePtr m_semaphore;
};

} // namespace test
} // namespace corvantis
