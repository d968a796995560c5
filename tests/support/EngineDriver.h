#pragma once

// Plays the application side of the engine's flows without the extension process: each flow is a socket pair
// whose one end the test (or benchmark) uses as the application's socket, while the driver pumps the other end
// through a ClientProcessorWrapper the way the flow code does: rule decision, connect (with the connect
// semaphore and, when needed, the resolver over a running event loop), the bytes both ways, and the close.
//
// Header-only, so it links with whatever links the engine (corvantis_engine).

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/SocketEventsManager.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"
#include "platform/UniqueFd.h"

namespace corvantis::test {

class EngineDriver;

// One application connection carried by the engine.
class EngineFlow final : public std::enable_shared_from_this<EngineFlow> {
public:
    EngineFlow(std::shared_ptr<ClientProcessorWrapper> wrapper, UniqueFd appEnd, UniqueFd flowEnd)
        : m_wrapper(std::move(wrapper))
        , m_appEnd(std::move(appEnd))
        , m_flowEnd(std::move(flowEnd))
    {
    }
    // Stops the pumps (both sockets shut down), waits for them and closes the connection.
    ~EngineFlow()
    {
        if (m_started)
            WaitConnected(std::chrono::hours(1)); // the connect thread must be done with the connection
        if (m_flowEnd)
            ::shutdown(m_flowEnd.get(), SHUT_RDWR);
        // Through the socket object, never by number: once closed, the number may be another connection's.
        if (const auto remote = remoteSocket(); remote && m_pumping.load())
            remote->Shutdown();
        joinPumps();
        finish();
    }
    EngineFlow(const EngineFlow&) = delete;
    EngineFlow& operator=(const EngineFlow&) = delete;

    // createNewConnection's answer (ClientProcessorWrapper::kNotTaken, kRefused, kTaken).
    int Decision() const { return m_decision; }
    // establishRemoteConnection's answer; false when the flow was not taken.
    bool Started() const { return m_started; }
    // The connect's report, once it came within `timeout`.
    std::optional<bool> WaitConnected(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, timeout, [&] { return m_connected.has_value(); });
        return m_connected;
    }
    // The application's end of the flow: write what the application sends, read what it receives. -1 when the
    // flow was not taken.
    int AppSocket() const { return m_appEnd.get(); }
    // Closes the application's end (the application closed its socket).
    void CloseApp() { m_appEnd.reset(); }
    // True once both pumps have ended and the connection was closed, within `timeout`; at once for a flow the
    // engine did not take.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_closed; });
    }
    const std::shared_ptr<ClientProcessorWrapper>& Wrapper() const { return m_wrapper; }
    std::shared_ptr<CConnRecord> Record() const { return m_wrapper->GetConnection(); }

private:
    friend class EngineDriver;

    std::shared_ptr<CSafeSocket> remoteSocket() const
    {
        const auto record = m_wrapper->GetConnection();
        return record ? record->GetRemoteSocket() : nullptr;
    }

    void onConnected(bool connected)
    {
        if (connected) {
            m_pumping = true;
            m_pumpsLeft = 2;
            m_upstream = std::thread([this] { upstream(); });
            if (m_wrapper->needDownstreamNow())
                startDownstream();
        } else {
            m_flowEnd.reset(); // the application sees its connection end
            finish();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connected = connected;
        }
        m_cv.notify_all();
    }

    void startDownstream()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_downstream.joinable())
            m_downstream = std::thread([this] { downstream(); });
    }

    static bool pollFor(int fd, short events)
    {
        pollfd p { fd, events, 0 };
        return ::poll(&p, 1, 100) >= 0 || errno == EINTR;
    }

    static bool writeAll(int fd, const uint8_t* data, size_t length)
    {
        while (length > 0) {
            const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    // Application -> remote.
    void upstream()
    {
        const int flow = m_flowEnd.get();
        std::vector<uint8_t> buffer(65536);
        bool failed = false;
        while (!failed) {
            pollFor(flow, POLLIN);
            const ssize_t n = ::recv(flow, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0) {
                // The application ended its side: so does the remote's.
                if (const auto remote = remoteSocket(); remote && n == 0)
                    remote->ShutdownSend();
                else if (remote)
                    remote->Shutdown();
                break;
            }
            std::vector<uint8_t> data(buffer.begin(), buffer.begin() + n);
            std::optional<std::vector<uint8_t>> answer;
            std::optional<std::vector<uint8_t>> replaced;
            m_wrapper->prepateDataForRemote(data, answer, replaced);
            const auto record = m_wrapper->GetConnection();
            if (record && record->IsClosed()) {
                failed = true;
                break;
            }
            if (answer && !writeAll(flow, answer->data(), answer->size())) {
                failed = true;
                break;
            }
            const std::vector<uint8_t>& payload = replaced ? *replaced : data;
            size_t offset = 0;
            while (offset < payload.size()) {
                int64_t sent = 0;
                int32_t err = 0;
                if (m_wrapper->sendDataToRemote(payload.data() + offset, payload.size() - offset, sent, err)) {
                    offset += static_cast<size_t>(sent);
                } else if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
                    pollFor(m_wrapper->getNativeHandler(), POLLOUT);
                } else {
                    failed = true;
                    break;
                }
            }
            startDownstream();
        }
        if (failed)
            ::shutdown(flow, SHUT_RDWR);
        startDownstream(); // so the count of pumps reaches zero even when no data ever went up
        pumpEnded();
    }

    // Remote -> application.
    void downstream()
    {
        const int flow = m_flowEnd.get();
        for (;;) {
            pollFor(m_wrapper->getNativeHandler(), POLLIN);
            int32_t err = 0;
            auto data = m_wrapper->recvDataFromRemoteWithError(err);
            if (!data) {
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
                    continue;
                ::shutdown(flow, SHUT_RDWR);
                break;
            }
            if (data->empty()) {
                ::shutdown(flow, SHUT_WR);
                break;
            }
            if (!writeAll(flow, data->data(), data->size())) {
                ::shutdown(flow, SHUT_RDWR);
                break;
            }
        }
        pumpEnded();
    }

    // A flow the engine did not take: no pumps, no connection to close (the flow code closes only connections
    // it asked the engine to establish).
    void endUntaken()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finishing = true;
            m_closed = true;
        }
        m_cv.notify_all();
    }

    void pumpEnded()
    {
        if (--m_pumpsLeft == 0)
            finish();
    }

    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_finishing)
                return;
            m_finishing = true;
        }
        // Closed counts only once the connection is: a waiter may look at the record right away.
        m_wrapper->close();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_cv.notify_all();
    }

    void joinPumps()
    {
        if (m_upstream.joinable())
            m_upstream.join();
        std::thread downstreamThread;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            downstreamThread = std::move(m_downstream);
        }
        if (downstreamThread.joinable())
            downstreamThread.join();
    }

    const std::shared_ptr<ClientProcessorWrapper> m_wrapper;
    UniqueFd m_appEnd;
    UniqueFd m_flowEnd;
    int m_decision = ClientProcessorWrapper::kNotTaken;
    bool m_started = false;
    std::atomic<bool> m_pumping { false };
    std::atomic<int> m_pumpsLeft { 0 };
    std::thread m_upstream;
    std::thread m_downstream; // guarded by m_mutex
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::optional<bool> m_connected; // guarded by m_mutex
    bool m_finishing = false; // guarded by m_mutex
    bool m_closed = false; // guarded by m_mutex
};

// The flow code's surroundings: an event loop running on a thread of its own, the connect queue and the connect
// semaphore shared by all flows.
class EngineDriver final {
public:
    struct Options {
        long maxConnects = ClientProcessorWrapper::kMaxConnectsInProgress;
        DnsResolverSettings resolver; // its table defaults to the application object's
    };

    explicit EngineDriver(CCorvantisAppProxy& app)
        : EngineDriver(app, Options())
    {
    }
    EngineDriver(CCorvantisAppProxy& app, Options options)
        : m_app(app)
        , m_options(std::move(options))
        , m_events(std::make_shared<SocketEventsManager>())
        , m_queue(DispatchQueue::create("Corvantis tcp connect queue"))
        , m_semaphore(ClientProcessorWrapper::MakeConnectSemaphore(m_options.maxConnects))
    {
        if (m_events->InitInstance())
            m_loop = std::thread([events = m_events] { events->EventsProcessingThread(); });
    }
    ~EngineDriver()
    {
        m_events->Stop();
        if (m_loop.joinable())
            m_loop.join();
    }
    EngineDriver(const EngineDriver&) = delete;
    EngineDriver& operator=(const EngineDriver&) = delete;

    // A new flow of `app` to `endpoint`:`port` (the address the application connected to; `hostName` is the
    // name the system knows for it, if any). A taken flow is connected: this waits for a connect unit when all
    // are in use. The flow's end for the application exists only when the flow was taken.
    std::shared_ptr<EngineFlow> Open(
        const AppNameWrapper& app, const std::string& endpoint, uint16_t port, const std::string& hostName = {})
    {
        return open(UniqueFd(), app, endpoint, port, hostName);
    }

    // The same for a flow whose data already comes over a socket of the caller's (a benchmark's accepted
    // connection): the driver pumps `flowEnd` itself, with no socket pair between, and the flow has no
    // application end. A flow that is not taken closes `flowEnd`.
    std::shared_ptr<EngineFlow> OpenOn(UniqueFd flowEnd, const AppNameWrapper& app, const std::string& endpoint,
        uint16_t port, const std::string& hostName = {})
    {
        return open(std::move(flowEnd), app, endpoint, port, hostName);
    }

    const SocketEventsManagerPtr& EventManager() const { return m_events; }
    const DispatchQueuePtr& ConnectQueue() const { return m_queue; }
    const DispatchSemaphorePtr& ConnectSemaphore() const { return m_semaphore; }

private:
    // `given` empty: the flow's two ends are a new socket pair.
    std::shared_ptr<EngineFlow> open(UniqueFd given, const AppNameWrapper& app, const std::string& endpoint,
        uint16_t port, const std::string& hostName)
    {
        int pair[2] = { -1, -1 };
        UniqueFd appEnd;
        UniqueFd flowEnd;
        auto wrapper = ClientProcessorWrapper::create(m_app, m_options.resolver);
        const std::string portText = std::to_string(port);
        const int decision = wrapper->createNewConnection(
            &app, hostName.empty() ? nullptr : hostName.c_str(), endpoint.c_str(), portText.c_str(), false);
        if (decision == ClientProcessorWrapper::kTaken && given) {
            flowEnd = std::move(given);
        } else if (decision == ClientProcessorWrapper::kTaken
            && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
            appEnd = UniqueFd(pair[0]);
            flowEnd = UniqueFd(pair[1]);
        }
        auto flow = std::make_shared<EngineFlow>(wrapper, std::move(appEnd), std::move(flowEnd));
        flow->m_decision = decision;
        if (decision != ClientProcessorWrapper::kTaken) {
            // Refused, or carried by the system: the engine holds nothing of it, so it has ended already.
            flow->endUntaken();
            return flow;
        }
        if (!flow->m_flowEnd) {
            // Taken, but no socket pair for it: the connection ends at once instead of staying listed as open.
            flow->finish();
            return flow;
        }
        auto appName = std::make_shared<const AppNameWrapper>(app);
        std::weak_ptr<EngineFlow> weak = flow;
        flow->m_started
            = wrapper->establishRemoteConnection(m_events, appName, m_queue, m_semaphore, [weak](bool connected) {
                  if (auto alive = weak.lock())
                      alive->onConnected(connected);
              });
        return flow;
    }

    CCorvantisAppProxy& m_app;
    const Options m_options;
    SocketEventsManagerPtr m_events;
    std::thread m_loop;
    DispatchQueuePtr m_queue;
    DispatchSemaphorePtr m_semaphore;
};

} // namespace corvantis::test
