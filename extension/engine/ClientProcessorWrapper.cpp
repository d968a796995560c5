#include "extension/engine/ClientProcessorWrapper.h"

#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/RuleLookup.h"
#include "core/proxy/HttpTraffic.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "platform/Mutex.h"
#include "platform/ThreadName.h"
#include "platform/ThreadStack.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace corvantis {

namespace {

// The threads the connects run on. A connect may block for seconds (a slow proxy, the connection throttle), so
// each gets a thread no other work waits behind; a thread that finished its connect stays a while for the next
// one, so a stream of connections does not start a thread for each.
class ConnectThreads final {
public:
    static ConnectThreads& instance()
    {
        // Never destroyed: connect threads may still run while the process exits.
        static ConnectThreads* threads = new ConnectThreads();
        return *threads;
    }

    // Runs `task` on a free thread, or on a new one; throws std::system_error when none can be started.
    void run(std::function<void()> task)
    {
        bool queued = false;
        {
            MutexLock lock(m_mutex);
            if (m_idle > m_tasks.size()) {
                m_tasks.push_back(std::move(task));
                queued = true;
            }
        }
        if (queued) {
            // Once the lock is free: a thread woken while it is held would only wake to wait for it.
            m_cv.signal();
            return;
        }
        std::thread([this, task = std::move(task)]() mutable { loop(std::move(task)); }).detach();
    }

private:
    // How long a thread without a connect waits for the next before it ends.
    static constexpr std::chrono::seconds kLinger { 10 };
    // How long a thread waits for the next connect before it gives back the stack pages the last one touched:
    // connects that follow each other closely reuse them instead of faulting them in anew each time.
    static constexpr std::chrono::milliseconds kReleaseStackAfter { 100 };

    void loop(std::function<void()> task)
    {
        for (;;) {
            task();
            task = nullptr; // what the connect held goes now, not when the next one comes
            MutexLock lock(m_mutex);
            ++m_idle;
            bool stackReleased = false;
            while (m_tasks.empty()) {
                if (!stackReleased) {
                    if (m_cv.waitFor(m_mutex, kReleaseStackAfter) || !m_tasks.empty())
                        continue;
                    // A connect runs deep (proxy handshakes, log lines); the wait for the next one is shallow and
                    // may last until the thread ends, so the stack pages the connect touched go back meanwhile.
                    // Outside the lock: a connect handed over meanwhile is found by the loop.
                    lock.unlock();
                    releaseUnusedStack();
                    lock.lock();
                    stackReleased = true;
                    continue;
                }
                if (!m_cv.waitFor(m_mutex, kLinger) && m_tasks.empty()) {
                    --m_idle;
                    return;
                }
            }
            --m_idle;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
    }

    Mutex m_mutex;
    CondVar m_cv;
    std::deque<std::function<void()>> m_tasks GUARDED_BY(m_mutex);
    std::size_t m_idle GUARDED_BY(m_mutex) = 0;
};

} // namespace

std::shared_ptr<ClientProcessorWrapper> ClientProcessorWrapper::create(
    CCorvantisAppProxy& app, DnsResolverSettings resolver, std::chrono::milliseconds connectTimeout)
{
    auto wrapper = std::make_shared<ClientProcessorWrapper>(PrivateTag {}, app, std::move(resolver));
    wrapper->m_clientProcessor.SetConnectTimeout(connectTimeout);
    return wrapper;
}

std::shared_ptr<ClientProcessorWrapper> ClientProcessorWrapper::create(std::chrono::milliseconds connectTimeout)
{
    return create(GetAppProxy(), {}, connectTimeout);
}

DispatchSemaphorePtr ClientProcessorWrapper::MakeConnectSemaphore(long limit)
{
    return std::make_shared<DispatchSemaphore>(limit);
}

ClientProcessorWrapper::ClientProcessorWrapper(PrivateTag, CCorvantisAppProxy& app, DnsResolverSettings resolver)
    : m_app(app)
    , m_resolver(std::move(resolver))
    , m_clientProcessor(app)
{
    if (!m_resolver.storage && !m_resolver.withoutTable)
        m_resolver.storage = &app.GetDnsStorage();
}

ClientProcessorWrapper::~ClientProcessorWrapper() = default;

int ClientProcessorWrapper::createNewConnection(
    const AppNameWrapper* app, const char* hostname, const char* endpoint, const char* port, bool isUdp)
{
    const CLogContext identity = app ? app->getName() : CLogContext {};
    switch (m_clientProcessor.ProcessConnectionRequest(identity, hostname, endpoint, port, isUdp)) {
    case CClientProcessor::kRefused:
        return kRefused;
    case CClientProcessor::kTaken:
        return kTaken;
    default:
        return kNotTaken;
    }
}

bool ClientProcessorWrapper::startConnectThread(const char* threadName, std::optional<CHost> resolved,
    const DispatchSemaphorePtr& semaphore, const ConnectResultProcessor& resultProcessor, bool unitTaken)
{
    if (!unitTaken)
        semaphore->wait();
    try {
        ConnectThreads::instance().run([self = shared_from_this(), name = std::string(threadName),
                                           resolved = std::move(resolved), semaphore, resultProcessor] {
            setCurrentThreadName(name);
            const bool connected = self->m_clientProcessor.ConnectTargetHost(resolved);
            if (resultProcessor)
                resultProcessor(connected);
            semaphore->signal();
        });
    } catch (const std::system_error& e) {
        // No thread: the unit goes back and the connection fails like any other that could not connect.
        semaphore->signal();
        m_clientProcessor.FailConnection(std::string("connect thread cannot be started: ") + e.what());
        if (resultProcessor)
            resultProcessor(false);
        return false;
    }
    return true;
}

bool ClientProcessorWrapper::tryStartConnectNow(
    const DispatchSemaphorePtr& semaphore, const ConnectResultProcessor& resultProcessor)
{
    if (m_prepared || !semaphore->waitFor(std::chrono::nanoseconds(0)))
        return false;
    const CTunnel::SConnectPrepare prepared = m_clientProcessor.ConnectionTargetHostPrepare();
    if (prepared.kind != CTunnel::kConnectNow) {
        // A resolution first, or a failure (which may wait in the connection throttle): the connect queue's.
        semaphore->signal();
        m_prepared = prepared;
        return false;
    }
    return startConnectThread("Corvantis connect thread (IP)", std::nullopt, semaphore, resultProcessor, true);
}

bool ClientProcessorWrapper::establishRemoteConnection(const SocketEventsManagerPtr& eventManager,
    const std::shared_ptr<const AppNameSource>& appName, const DispatchQueuePtr& queue,
    const DispatchSemaphorePtr& semaphore, ConnectResultProcessor resultProcessor)
{
    const CTunnel::SConnectPrepare prepared
        = m_prepared ? *std::exchange(m_prepared, std::nullopt) : m_clientProcessor.ConnectionTargetHostPrepare();
    if (prepared.kind == CTunnel::kConnectNow)
        return startConnectThread("Corvantis connect thread (IP)", std::nullopt, semaphore, resultProcessor);

    if (prepared.kind == CTunnel::kBlocked || !prepared.host) {
        m_clientProcessor.FailConnection("connection cannot be established");
        if (resultProcessor)
            resultProcessor(false);
        return false;
    }

    const CHost host = *prepared.host;
    auto self = shared_from_this();
    // The resolver reports on the event loop's thread. Failing a connection reports it to the connection
    // throttle, which may sleep, so both outcomes move to the connect queue before anything else happens.
    auto onResolved = [self, queue, semaphore, resultProcessor, host](bool success, const CHost& resolved) {
        queue->async([self, semaphore, resultProcessor, host, success, resolved] {
            if (!success) {
                self->m_clientProcessor.FailConnection("Could not resolve " + host.GetHostName());
                if (resultProcessor)
                    resultProcessor(false);
                return;
            }
            self->startConnectThread("Corvantis connect thread (resolved IP)", resolved, semaphore, resultProcessor);
        });
    };
    // A resolver that could not start has already reported its failure through onResolved.
    DnsResolveProcessor::resolveHost(host, eventManager, appName, std::move(onResolved), m_resolver);
    return true;
}

bool ClientProcessorWrapper::needDownstreamNow() const
{
    const auto record = m_clientProcessor.GetConnection();
    return !(record && record->HasDataPath());
}

bool ClientProcessorWrapper::prepateDataForRemote(const std::vector<uint8_t>& data,
    std::optional<std::vector<uint8_t>>& answer, std::optional<std::vector<uint8_t>>& replacedData)
{
    answer.reset();
    replacedData.reset();
    const auto record = m_clientProcessor.GetConnection();
    if (!record || !record->HasDataPath())
        return false;
    // From here on the data belongs to the forwarding: an application's origin-form request must never reach
    // the proxy unchanged.
    replacedData.emplace();
    const std::shared_ptr<CSafeSocket> remote = record->GetRemoteSocket();
    if (!m_httpTraffic) {
        const CProxy* proxy = record->GetDataPath();
        if (!proxy || !remote)
            return true; // no connection to forward over: the send of nothing fails and ends the flow
        m_httpTraffic = std::make_unique<CHttpTraffic>(*proxy, remote.get());
    }
    std::string answerText;
    std::string rest;
    // The forwarding writes the rewritten request (and any authentication exchange) to the proxy itself; those
    // bytes went towards the remote side and count like every other sent byte. Only this path sends on the
    // socket, so the socket's own counter tells them apart.
    const uint64_t sentBefore = remote ? remote->GetBytesSent() : 0;
    const bool processed = m_httpTraffic->ProcessRequest(data.data(), data.size(), answerText, rest);
    if (remote) {
        const uint64_t sentHere = remote->GetBytesSent() - sentBefore;
        if (sentHere > 0) {
            record->AddBytesSent(sentHere);
            m_app.GetStatistics().AddSent(sentHere);
        }
    }
    if (!processed) {
        CLogMessage(kLogError, record->GetContext())
            << FormatConnEndpoint(*record, false) << " HTTP connection error: " << m_httpTraffic->TakeText();
        if (!record->IsClosed())
            record->MarkClosed();
        record->SetDataPath(nullptr);
        m_httpTraffic.reset();
        return true;
    }
    replacedData->assign(rest.begin(), rest.end());
    if (!m_httpTraffic->IsForwarded())
        return true; // the header is not complete yet
    // The request is with the proxy: the pending mark clears, so later data goes unchanged and the flow may read
    // the reply. The answer, empty unless the forwarding already read the proxy's reply header, says so.
    record->SetDataPath(nullptr);
    m_httpTraffic.reset();
    answer.emplace(answerText.begin(), answerText.end());
    return true;
}

void ClientProcessorWrapper::openDumpsOnce()
{
    std::call_once(m_dumpOnce, [this] {
        if (!m_app.GetSettings().TrafficLogEnabled)
            return;
        const auto record = m_clientProcessor.GetConnection();
        const std::string folder = GetTrafficDir();
        if (!record || folder.empty())
            return;
        m_dumps = OpenTrafficDumpFiles(folder, GetTrafficDumpApplication(record->GetContext()),
            record->GetTarget().ToString(false), MakeTrafficDumpStamp());
    });
}

void ClientProcessorWrapper::dump(bool towardsRemote, const uint8_t* data, size_t length)
{
    openDumpsOnce();
    std::FILE* file = towardsRemote ? m_dumps.to.get() : m_dumps.from.get();
    if (!file || length == 0)
        return;
    std::fwrite(data, 1, length, file);
    std::fflush(file);
}

template <typename Move> int64_t ClientProcessorWrapper::moveCounted(bool towardsRemote, const Move& move, int32_t& err)
{
    err = 0;
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote) {
        err = EBADF;
        return -1;
    }
    int error = 0;
    const ssize_t n = move(*remote, error);
    if (n < 0) {
        err = error;
        return -1;
    }
    const auto count = static_cast<uint64_t>(n);
    if (towardsRemote) {
        record->AddBytesSent(count);
        m_app.GetStatistics().AddSent(count);
    } else {
        record->AddBytesReceived(count);
        m_app.GetStatistics().AddReceived(count);
    }
    return n;
}

bool ClientProcessorWrapper::sendDataToRemote(const uint8_t* data, size_t length, int64_t& sent, int32_t& err)
{
    const auto send = [&](CSafeSocket& remote, int& error) {
        return remote.Send(data, length, MSG_DONTWAIT | MSG_NOSIGNAL, error);
    };
    const int64_t n = moveCounted(true, send, err);
    sent = std::max<int64_t>(n, 0);
    if (n < 0)
        return false;
    dump(true, data, static_cast<size_t>(sent));
    return true;
}

int ClientProcessorWrapper::getNativeHandler() const
{
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    // A closed socket's number may already belong to another connection: nobody may poll or shut it down.
    return remote && !remote->IsClosed() ? remote->GetSocket() : -1;
}

int ClientProcessorWrapper::setRecvTimoutOnRemoteSocket()
{
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote)
        return EBADF;
    timeval timeout {};
    timeout.tv_sec = 0;
    timeout.tv_usec = 100;
    if (remote->SetSockOpt(SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return errno;
    return 0;
}

std::optional<std::vector<uint8_t>> ClientProcessorWrapper::recvDataFromRemoteWithError(int32_t& err)
{
    // Received into one buffer per thread; what is handed on holds just the bytes that came. Not zero-filled, so
    // its pages become resident only as data comes: a thread that has only met idle connections costs nothing
    // for it.
    thread_local const std::unique_ptr<uint8_t[]> scratch = std::make_unique_for_overwrite<uint8_t[]>(kRecvChunk);
    const auto receive
        = [](CSafeSocket& remote, int& error) { return remote.Recv(scratch.get(), kRecvChunk, MSG_DONTWAIT, error); };
    const int64_t n = moveCounted(false, receive, err);
    if (n < 0)
        return std::nullopt;
    std::vector<uint8_t> buffer(scratch.get(), scratch.get() + n);
    dump(false, buffer.data(), buffer.size());
    return buffer;
}

bool ClientProcessorWrapper::prepareSplice()
{
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote || remote->IsClosed() || record->HasDataPath())
        return false;
    openDumpsOnce();
    if (m_dumps.to || m_dumps.from)
        return false;
    return remote->SetNonBlocking();
}

bool ClientProcessorWrapper::spliceToRemote(int pipeRead, size_t length, int64_t& sent, int32_t& err)
{
    const auto splice = [&](CSafeSocket& remote, int& error) { return remote.SpliceFromPipe(pipeRead, length, error); };
    const int64_t n = moveCounted(true, splice, err);
    sent = std::max<int64_t>(n, 0);
    return n >= 0;
}

int64_t ClientProcessorWrapper::spliceFromRemote(int pipeWrite, size_t length, int32_t& err)
{
    const auto splice = [&](CSafeSocket& remote, int& error) { return remote.SpliceToPipe(pipeWrite, length, error); };
    return moveCounted(false, splice, err);
}

int ClientProcessorWrapper::shutdownRemoteSend()
{
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote)
        return ENOTCONN;
    return remote->ShutdownSend() == 0 ? 0 : errno;
}

void ClientProcessorWrapper::close()
{
    m_clientProcessor.CloseConnection();
    // Both pumps have stopped by now; what was written reaches the files.
    if (m_dumps.to)
        std::fflush(m_dumps.to.get());
    if (m_dumps.from)
        std::fflush(m_dumps.from.get());
}

// ---- DNS ----

DnsRequestHandler& ClientProcessorWrapper::dnsHandler()
{
    // Made on the first DNS call: most wrappers carry a TCP connection and never answer a name request, and each
    // held connection would otherwise keep a handler of its own.
    std::call_once(m_dnsOnce, [this] { m_dns = std::make_shared<DnsRequestHandler>(m_app, m_resolver); });
    return *m_dns;
}

bool ClientProcessorWrapper::processDnsConnection(const AppNameWrapper& app)
{
    return dnsHandler().processDnsConnection(app);
}

bool ClientProcessorWrapper::processDnsRequest(const std::vector<uint8_t>& request, const AppNameWrapper& app,
    const std::string& serverHost, uint16_t serverPort, bool internalServer, const SocketEventsManagerPtr& eventManager,
    DnsResultProcessor resultProcessor)
{
    return dnsHandler().processDnsRequest(
        request, app, serverHost, serverPort, internalServer, eventManager, std::move(resultProcessor));
}

void ClientProcessorWrapper::processDnsAnswer(
    CCorvantisAppProxy& app, const std::vector<uint8_t>& answer, const AppNameWrapper* fromApp)
{
    DnsRequestHandler::processDnsAnswer(app, answer, fromApp);
}

void ClientProcessorWrapper::processDnsAnswer(const std::vector<uint8_t>& answer, const AppNameWrapper* fromApp)
{
    DnsRequestHandler::processDnsAnswer(GetAppProxy(), answer, fromApp);
}

} // namespace corvantis
