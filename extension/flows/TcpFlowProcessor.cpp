#include "extension/flows/TcpFlowProcessor.h"

#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "extension/flows/TcpFlowsManager.h"
#include "platform/SystemLog.h"

#include <cerrno>

namespace corvantis {

namespace {

void logClose(const FlowError& error, const char* operation)
{
    SystemLog("Corvantis close stream with " + error.description + " at " + operation + " ");
}

// Cancels `source` now, so that its handler never runs again, and lets a later block of `queue` destroy it:
// the caller may be that very handler.
void retire(DispatchSourcePtr& source, const DispatchQueuePtr& queue)
{
    if (!source)
        return;
    source->cancel();
    queue->async([retired = std::shared_ptr<DispatchSource>(std::move(source))] {});
    source = nullptr;
}

} // namespace

std::shared_ptr<TcpFlowProcessor> TcpFlowProcessor::create(NEAppProxyTCPFlowPtr flow,
    std::shared_ptr<TcpFlowsManager> manager, const TcpFlowQueues& queues, const TcpFlowSettings& settings)
{
    return std::make_shared<TcpFlowProcessor>(PrivateTag {}, std::move(flow), std::move(manager), queues, settings);
}

TcpFlowProcessor::TcpFlowProcessor(PrivateTag, NEAppProxyTCPFlowPtr flow, std::shared_ptr<TcpFlowsManager> manager,
    const TcpFlowQueues& queues, const TcpFlowSettings& settings)
    : FlowProcessor(flow->metaData())
    , m_flow(std::move(flow))
    , m_externalTcpProcessor(settings.makeConnection ? settings.makeConnection() : ClientProcessorWrapper::create())
    , m_apiSyncQueue(queues.api)
    , m_upstreamQueue(DispatchQueue::create("Corvantis Handle " + m_flow->metaData().sourceAppSigningIdentifier + " "
          + std::to_string(m_flow->hash()) + " upstream"))
    , m_downstreamQueue(queues.main)
    , m_connectQueue(queues.connect)
    , m_connectSemaphore(queues.connectSemaphore)
    , m_socketEventsManager(queues.socketEvents)
    , m_flowManager(std::move(manager))
    , m_halfClosedIdleLimit(settings.halfClosedIdleLimit)
    , m_splicePump(queues.splice)
{
}

TcpFlowProcessor::~TcpFlowProcessor()
{
    // Every step holds the processor, so no handler can be running; the sources still must not outlive it.
    if (m_sourceRead)
        m_sourceRead->cancel();
    if (m_sourceWrite)
        m_sourceWrite->cancel();
}

int TcpFlowProcessor::matchFlow(const NWEndpoint& endpoint, const std::optional<std::string>& hostname)
{
    const char* host = endpoint.isHost ? endpoint.hostname.c_str() : nullptr;
    const char* port = endpoint.isHost ? endpoint.port.c_str() : nullptr;
    return m_externalTcpProcessor->createNewConnection(
        m_appNameWrapper.get(), hostname ? hostname->c_str() : nullptr, host, port, false);
}

void TcpFlowProcessor::connectRemote()
{
    auto connected = [self = shared_from_this()](bool connected) {
        if (!connected) {
            // Not registered any more (stopped while connecting): the removal finds nothing, so nothing is closed
            // twice.
            self->closeFlow(NEAppProxyFlowError(kNEAppProxyFlowErrorAborted));
            return;
        }
        self->startUpstream();
    };
    // While the connect queue is idle no connect waits there for a unit, so a unit free now may go to this one:
    // the connect thread then starts from here, without a hand-over to the queue first. Anything else (a wait
    // for a unit, a resolution, a failure) takes its turn on the queue.
    bool started = false;
    if (m_connectQueue->syncIfIdle(
            [&] { started = m_externalTcpProcessor->tryStartConnectNow(m_connectSemaphore, connected); })
        && started)
        return;
    m_connectQueue->async([self = shared_from_this(), connected = std::move(connected)] {
        self->m_externalTcpProcessor->establishRemoteConnection(self->m_socketEventsManager, self->m_appNameWrapper,
            self->m_connectQueue, self->m_connectSemaphore, connected);
    });
}

// ---- Opening ----

void TcpFlowProcessor::startUpstream()
{
    // The connect's thread has nothing left to do: when the API queue is idle it opens the flow itself, and the
    // first chunk the application sent goes on in this thread too.
    m_apiSyncQueue->asyncInline([self = shared_from_this()] {
        self->m_flow->openWithLocalEndpoint([self](std::optional<FlowError> error) {
            if (error) {
                logClose(*error, "startUpstream()");
                self->close(error);
                return;
            }
            self->m_isOpened = true;
            // Decided before the first read goes out, so that an application that ends at once finds the
            // downstream pump already under way.
            const bool downstreamNow = self->m_externalTcpProcessor->needDownstreamNow();
            if (downstreamNow && self->startSplice())
                return;
            if (downstreamNow)
                self->m_downstreamStarted = true;
            self->processUpstream();
            if (downstreamNow)
                self->startDownstream();
        });
    });
}

bool TcpFlowProcessor::startSplice()
{
    if (!m_splicePump || !m_externalTcpProcessor->prepareSplice())
        return false;
    const int fd = m_flow->lendSocket();
    if (fd < 0)
        return false;
    bool started = false;
    // On the closing queue, so that a close either finds the flow in the pump or keeps it out of it.
    m_downstreamQueue->sync([&] {
        if (m_closed)
            return;
        m_lastDownstreamData = std::chrono::steady_clock::now().time_since_epoch().count();
        std::shared_ptr<TcpSplicePump::Client> client(shared_from_this(), static_cast<TcpSplicePump::Client*>(this));
        started = m_splicePump->add(m_flowId.load(), fd, m_externalTcpProcessor, std::move(client));
        m_spliced = started;
    });
    if (started)
        m_downstreamStarted = true;
    return started;
}

void TcpFlowProcessor::spliceApplicationEnded()
{
    m_applicationEnded = true;
    m_downstreamQueue->async([self = shared_from_this()] { self->watchHalfClosedIdle(); });
}

void TcpFlowProcessor::spliceRemoteData()
{
    m_lastDownstreamData = std::chrono::steady_clock::now().time_since_epoch().count();
}

void TcpFlowProcessor::spliceEnded(std::optional<FlowError> error)
{
    if (error)
        logClose(*error, "splice");
    else
        SystemLog("Corvantis close stream gracefully at processDownstream() ");
    // The pump's thread has nothing else to do for this flow: when the closing queue is idle the end runs here,
    // without a hand-over to another thread.
    m_closeRequested = true;
    m_downstreamQueue->asyncInline([self = shared_from_this(), error = std::move(error)] { self->shutdown(error); });
}

void TcpFlowProcessor::startDownstream()
{
    m_downstreamStarted = true;
    m_downstreamQueue->async([self = shared_from_this()] { self->processDownstream(); });
}

// ---- Upstream ----

void TcpFlowProcessor::processUpstream()
{
    // The flow's calls return at once from any thread, so the reads and writes of the pumps go to it straight
    // from their queues: a detour through the shared API queue would cost every chunk another thread hop and
    // line all flows up behind one queue. Opening and closing keep to the API queue.
    m_flow->readDataWithCompletionHandler(
        [self = shared_from_this()](std::optional<std::vector<uint8_t>> data, std::optional<FlowError> error) {
            // A read the close itself ended reports nothing new.
            if (self->m_closeRequested)
                return;
            if (error) {
                logClose(*error, "processUpstream()");
                self->close(error);
                return;
            }
            // The chunk goes on on the upstream queue, in this thread when that queue is idle (as it mostly is:
            // one read at a time), which spares every chunk a thread hop. Nothing on the upstream queue waits
            // for the flow's queue, so this wait cannot close a cycle. No data and no error is taken as the
            // application's end of stream, like empty data.
            if (!data || data->empty()) {
                self->m_upstreamQueue->sync([&self] { self->applicationEnded(); });
                return;
            }
            self->m_upstreamQueue->sync([&self, &data] { self->prepareUpstream(std::move(*data)); });
        });
}

void TcpFlowProcessor::prepareUpstream(std::vector<uint8_t> chunk)
{
    if (m_upstreamClosed)
        return;
    std::optional<std::vector<uint8_t>> answer;
    std::optional<std::vector<uint8_t>> replaced;
    std::optional<std::vector<uint8_t>> toSend;
    if (m_externalTcpProcessor->prepateDataForRemote(chunk, answer, replaced))
        toSend = std::move(replaced);
    else
        toSend = std::move(chunk);
    // A chunk the engine consumed whole leaves nothing to send; the next read must still be issued, or the pump
    // stalls with half a request header taken.
    if (!writeUpstreamData(std::move(toSend), true) || !answer)
        return;
    if (!answer->empty()) {
        m_downstreamStarted = true;
        writeDownstreamData(std::move(*answer));
    } else
        startDownstream();
}

void TcpFlowProcessor::applicationEnded()
{
    if (m_upstreamClosed)
        return;
    m_applicationEnded = true;
    if (!m_downstreamStarted) {
        // The remote was never read (a plain HTTP proxy still waits for the request): nothing can come back.
        close(std::nullopt);
        return;
    }
    if (!m_unsentUpstream)
        shutdownRemoteSendOnce();
    m_downstreamQueue->async([self = shared_from_this()] { self->watchHalfClosedIdle(); });
}

void TcpFlowProcessor::shutdownRemoteSendOnce()
{
    if (m_remoteSendShut)
        return;
    m_remoteSendShut = true;
    // The remote sees the application's end once every byte before it has gone; it may answer after that.
    (void)m_externalTcpProcessor->shutdownRemoteSend();
}

bool TcpFlowProcessor::writeUpstreamData(std::optional<std::vector<uint8_t>> dataNew, bool readNextWhenIdle)
{
    if (m_upstreamClosed)
        return false;
    if (!dataNew && !m_unsentUpstream) {
        retire(m_sourceWrite, m_upstreamQueue);
        if (readNextWhenIdle && !m_applicationEnded)
            processUpstream();
        return true;
    }
    std::vector<uint8_t> data;
    if (m_unsentUpstream && dataNew) {
        data = std::move(*m_unsentUpstream);
        data.insert(data.end(), dataNew->begin(), dataNew->end());
    } else {
        data = m_unsentUpstream ? std::move(*m_unsentUpstream) : std::move(*dataNew);
    }
    m_unsentUpstream.reset();

    int64_t sent = 0;
    int32_t err = 0;
    if (!m_externalTcpProcessor->sendDataToRemote(data, sent, err)) {
        if (err != EAGAIN && err != EWOULDBLOCK) {
            const FlowError error = NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset);
            logClose(error, "writeUpstreamData(dataNew:)");
            close(error);
            return false;
        }
        sent = 0;
    }
    if (static_cast<std::size_t>(sent) < data.size()) {
        m_unsentUpstream.emplace(data.begin() + sent, data.end());
        if (!m_sourceWrite) {
            const int fd = m_externalTcpProcessor->getNativeHandler();
            std::weak_ptr<TcpFlowProcessor> weak = weak_from_this();
            DispatchSourcePtr source = DispatchSource::create(DispatchSource::Kind::Write, fd, m_upstreamQueue, [weak] {
                const auto self = weak.lock();
                if (!self)
                    return;
                SystemLog("Corvantis tcp write available at writeUpstreamData(dataNew:) ");
                (void)self->writeUpstreamData(std::nullopt, false);
            });
            if (fd < 0 || !source->resume().ok()) {
                const FlowError error = NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset);
                logClose(error, "writeUpstreamData(dataNew:)");
                close(error);
                return false;
            }
            m_sourceWrite = std::move(source);
        }
    }
    if (m_unsentUpstream)
        return true;
    if (m_applicationEnded) {
        shutdownRemoteSendOnce();
        return true;
    }
    processUpstream();
    return true;
}

// ---- Downstream ----

void TcpFlowProcessor::processDownstream()
{
    if (m_closed)
        return;
    int32_t err = 0;
    std::optional<std::vector<uint8_t>> data = m_externalTcpProcessor->recvDataFromRemoteWithError(err);
    if (data && data->empty()) {
        SystemLog("Corvantis close stream gracefully at processDownstream() ");
        close(std::nullopt);
        return;
    }
    if (data) {
        m_lastDownstreamData = std::chrono::steady_clock::now().time_since_epoch().count();
        writeDownstreamData(std::move(*data));
        return;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
        const int fd = m_externalTcpProcessor->getNativeHandler();
        std::weak_ptr<TcpFlowProcessor> weak = weak_from_this();
        DispatchSourcePtr source = DispatchSource::create(DispatchSource::Kind::Read, fd, m_downstreamQueue, [weak] {
            const auto self = weak.lock();
            if (!self)
                return;
            SystemLog("Corvantis tcp read available at processDownstream() ");
            retire(self->m_sourceRead, self->m_downstreamQueue);
            self->processDownstream();
        });
        if (fd >= 0 && source->resume().ok()) {
            retire(m_sourceRead, m_downstreamQueue);
            m_sourceRead = std::move(source);
            SystemLog("Corvantis tcp would block at processDownstream() ");
            return;
        }
    }
    const FlowError error = NEAppProxyFlowError(kNEAppProxyFlowErrorPeerReset);
    logClose(error, "processDownstream()");
    close(error);
}

void TcpFlowProcessor::writeDownstreamData(std::vector<uint8_t> data)
{
    if (data.empty()) {
        close(std::nullopt);
        return;
    }
    CorvantisCoreWrapper::incTestWriteCounter(data.size());
    m_flow->writeData(std::move(data), [self = shared_from_this()](std::optional<FlowError> error) {
        if (self->m_closeRequested)
            return;
        if (error) {
            logClose(*error, "writeDownstreamData(data:)");
            self->close(error);
            return;
        }
        // The next receive runs in this thread when the downstream queue is idle, sparing the chunk a thread
        // hop; nothing on the downstream queue waits for the flow's queue.
        self->m_downstreamStarted = true;
        self->m_downstreamQueue->sync([&self] { self->processDownstream(); });
    });
}

void TcpFlowProcessor::watchHalfClosedIdle()
{
    if (m_closed || m_idleWatched)
        return;
    m_idleWatched = true;
    m_lastDownstreamData = std::chrono::steady_clock::now().time_since_epoch().count();
    checkHalfClosedIdleAfter(m_halfClosedIdleLimit);
}

void TcpFlowProcessor::checkHalfClosedIdleAfter(std::chrono::steady_clock::duration delay)
{
    m_downstreamQueue->after(delay, [weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || self->m_closed)
            return;
        const auto idle = std::chrono::steady_clock::now()
            - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(self->m_lastDownstreamData));
        if (idle >= self->m_halfClosedIdleLimit)
            self->close(std::nullopt);
        else
            self->checkHalfClosedIdleAfter(self->m_halfClosedIdleLimit - idle);
    });
}

// ---- Closing ----

void TcpFlowProcessor::close(std::optional<FlowError> error)
{
    m_closeRequested = true;
    // A close from the downstream queue's own block (the remote's end, most often) goes on at once: every such
    // caller returns right after it, and a block queued behind would cost the flow's end a thread hop when the
    // queue runs inline in another queue's thread.
    if (m_downstreamQueue->isCurrent()) {
        shutdown(error);
        return;
    }
    m_downstreamQueue->async([self = shared_from_this(), error = std::move(error)] { self->shutdown(error); });
}

void TcpFlowProcessor::shutdown(std::optional<FlowError> error)
{
    if (m_spliced) {
        m_spliced = false;
        std::vector<uint8_t> unsent = m_splicePump->remove(m_flowId.load());
        // An orderly end still hands over what the remote sent: the flow sends its end after its pending writes,
        // and this write is queued on the flow before the close is. The write holds the flow until it is done,
        // as a pumped write does: a flow let go of with bytes unsent resets the connection.
        if (!error && !unsent.empty()) {
            CorvantisCoreWrapper::incTestWriteCounter(unsent.size());
            m_flow->writeData(std::move(unsent), [flow = m_flow](std::optional<FlowError>) {});
        }
    }
    closeFlow(error);
    m_closed = true;
    // This is the downstream queue already: the read source is cancelled here, at once (a synchronous hop
    // onto this queue would wait for itself).
    retire(m_sourceRead, m_downstreamQueue);
    // The engine's connection closes only after both sources are cancelled, so its descriptor number, which
    // may be reused at once, never fires this flow's handlers or takes its bytes. The last step here: when the
    // upstream queue is idle it runs in this thread.
    m_upstreamQueue->asyncInline([self = shared_from_this()] {
        self->m_upstreamClosed = true;
        retire(self->m_sourceWrite, self->m_upstreamQueue);
        self->m_externalTcpProcessor->close();
    });
}

void TcpFlowProcessor::closeFlow(std::optional<FlowError> error)
{
    if (!m_flowManager->removeFlow(m_flowId.load()))
        return;
    // Ended from a block that has nothing left to do but end the flow: when the API queue is idle the flow's
    // close runs here, without a hand-over.
    m_apiSyncQueue->asyncInline([self = shared_from_this(), error = std::move(error)] { self->finishClose(error); });
}

void TcpFlowProcessor::finishClose(std::optional<FlowError> error)
{
    if (m_isOpened) {
        m_flow->closeReadWithError(error);
        m_flow->closeWriteWithError(error);
        SystemLog("Corvantis flow closed " + FlowErrorText(error));
        return;
    }
    SystemLog("Corvantis flow closing " + FlowErrorText(error));
    m_flow->openWithLocalEndpoint([self = shared_from_this(), error](std::optional<FlowError>) {
        self->m_flow->closeReadWithError(error);
        self->m_flow->closeWriteWithError(error);
        SystemLog("Corvantis flow closed " + FlowErrorText(error));
    });
}

} // namespace corvantis
