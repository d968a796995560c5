#include "tests/driver/EngineDriver.h"

#include "core/foundation/SafeSocket.h"
#include "core/profile/ConnRecord.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace corvantis::test {

namespace {

// How long a pump waits for its socket before it looks again whether the flow is ending.
constexpr int kPollMs = 100;

void pollFor(int fd, short events)
{
    pollfd p { fd, events, 0 };
    (void)::poll(&p, 1, kPollMs);
}

bool writeAll(int fd, const uint8_t* data, size_t length)
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

bool wouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

} // namespace

EngineFlow::EngineFlow(std::shared_ptr<ClientProcessorWrapper> wrapper, UniqueFd appEnd, UniqueFd flowEnd)
    : m_wrapper(std::move(wrapper))
    , m_appEnd(std::move(appEnd))
    , m_flowEnd(std::move(flowEnd))
{
}

EngineFlow::~EngineFlow()
{
    if (m_started)
        WaitConnected(std::chrono::hours(1)); // the connect thread must be done with the connection
    endFlow();
    joinPumps();
    finish();
}

std::optional<bool> EngineFlow::WaitConnected(std::chrono::milliseconds timeout)
{
    MutexLock lock(m_mutex);
    m_changed.waitFor(m_mutex, timeout, [&] {
        m_mutex.assertHeld();
        return m_connected.has_value();
    });
    return m_connected;
}

bool EngineFlow::WaitClosed(std::chrono::milliseconds timeout)
{
    MutexLock lock(m_mutex);
    return m_changed.waitFor(m_mutex, timeout, [&] {
        m_mutex.assertHeld();
        return m_closed;
    });
}

bool EngineFlow::DownstreamStarted() const
{
    MutexLock lock(m_mutex);
    return m_downstreamStarted;
}

std::shared_ptr<CConnRecord> EngineFlow::Record() const
{
    return m_wrapper->GetConnection();
}

void EngineFlow::onConnected(bool connected)
{
    if (!connected) {
        // The application sees its connection end.
        if (m_flowEnd)
            ::shutdown(m_flowEnd.get(), SHUT_RDWR);
        finish();
    }
    // Asked before any pump runs: the upstream pump may clear the facade's pending request at once.
    const bool downstreamNow = connected && m_wrapper->needDownstreamNow();
    {
        MutexLock lock(m_mutex);
        if (connected) {
            m_pumpsLeft = 1;
            m_upstream = std::thread([this] { upstream(); });
            if (downstreamNow)
                startDownstreamLocked();
        }
        m_connected = connected;
    }
    m_changed.signalAll();
}

void EngineFlow::startDownstream()
{
    MutexLock lock(m_mutex);
    startDownstreamLocked();
}

void EngineFlow::startDownstreamLocked()
{
    if (m_downstreamStarted || m_ending.load())
        return;
    m_downstreamStarted = true;
    ++m_pumpsLeft;
    m_downstream = std::thread([this] { downstream(); });
}

bool EngineFlow::recordEnded() const
{
    const auto record = m_wrapper->GetConnection();
    return record && (record->IsCanceled() || record->IsClosed());
}

bool EngineFlow::sendToRemote(const std::vector<uint8_t>& data)
{
    size_t offset = 0;
    do {
        int64_t sent = 0;
        int32_t err = 0;
        if (m_wrapper->sendDataToRemote(data.data() + offset, data.size() - offset, sent, err)) {
            offset += static_cast<size_t>(sent);
        } else if (wouldBlock(err) && !m_ending.load()) {
            pollFor(m_wrapper->getNativeHandler(), POLLOUT);
        } else {
            return false;
        }
    } while (offset < data.size());
    return true;
}

void EngineFlow::upstream()
{
    const int flow = m_flowEnd.get();
    std::vector<uint8_t> buffer(65536);
    bool applicationEnded = false;
    while (!m_ending.load()) {
        // Looked at on every pass, not only after data came: a canceled connection whose application sends
        // nothing more must end all the same.
        if (recordEnded()) {
            endFlow();
            break;
        }
        pollFor(flow, POLLIN);
        const ssize_t n = ::recv(flow, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && wouldBlock(errno))
            continue;
        if (n < 0) {
            endFlow();
            break;
        }
        if (n == 0) {
            applicationEnded = true;
            break;
        }
        const std::vector<uint8_t> data(buffer.begin(), buffer.begin() + n);
        std::optional<std::vector<uint8_t>> answer;
        std::optional<std::vector<uint8_t>> replaced;
        const bool taken = m_wrapper->prepateDataForRemote(data, answer, replaced);
        if (!taken) {
            if (!sendToRemote(data)) {
                endFlow();
                break;
            }
        } else if (replaced && !sendToRemote(*replaced)) {
            endFlow();
            break;
        }
        if (answer) {
            // The remote side is ready; a non-empty answer goes to the application before anything the remote
            // sends.
            if (!answer->empty() && !writeAll(flow, answer->data(), answer->size())) {
                endFlow();
                break;
            }
            startDownstream();
        }
    }
    if (applicationEnded) {
        const auto record = m_wrapper->GetConnection();
        if (const auto remote = record ? record->GetRemoteSocket() : nullptr)
            remote->ShutdownSend();
        // Nothing can come back on a flow that never started reading from the remote.
        if (!DownstreamStarted())
            endFlow();
    }
    pumpEnded();
}

void EngineFlow::downstream()
{
    const int flow = m_flowEnd.get();
    while (!m_ending.load()) {
        pollFor(m_wrapper->getNativeHandler(), POLLIN);
        int32_t err = 0;
        const auto data = m_wrapper->recvDataFromRemoteWithError(err);
        if (!data && wouldBlock(err))
            continue;
        // An error, or the remote's end of stream (which is also what a canceled connection gives): the whole
        // flow ends.
        if (!data || data->empty() || !writeAll(flow, data->data(), data->size())) {
            endFlow();
            break;
        }
    }
    pumpEnded();
}

void EngineFlow::endFlow()
{
    if (m_ending.exchange(true))
        return;
    // Wakes a pump blocked on the application's socket; the others look at m_ending at their next poll.
    if (m_flowEnd)
        ::shutdown(m_flowEnd.get(), SHUT_RDWR);
}

void EngineFlow::pumpEnded()
{
    bool last = false;
    {
        MutexLock lock(m_mutex);
        last = --m_pumpsLeft == 0;
    }
    if (last)
        finish();
}

void EngineFlow::endUntaken()
{
    {
        MutexLock lock(m_mutex);
        m_finishing = true;
        m_closed = true;
    }
    m_changed.signalAll();
}

void EngineFlow::finish()
{
    {
        MutexLock lock(m_mutex);
        if (m_finishing)
            return;
        m_finishing = true;
    }
    // Closed counts only once the connection is: a waiter may look at the record right away.
    m_wrapper->close();
    {
        MutexLock lock(m_mutex);
        m_closed = true;
    }
    m_changed.signalAll();
}

void EngineFlow::joinPumps()
{
    std::thread upstreamThread;
    std::thread downstreamThread;
    {
        // No pump starts once the flow is ending, so these are the last.
        MutexLock lock(m_mutex);
        upstreamThread = std::move(m_upstream);
        downstreamThread = std::move(m_downstream);
    }
    if (upstreamThread.joinable())
        upstreamThread.join();
    if (downstreamThread.joinable())
        downstreamThread.join();
}

EngineDriver::EngineDriver(CCorvantisAppProxy& app)
    : EngineDriver(app, Options())
{
}

EngineDriver::EngineDriver(CCorvantisAppProxy& app, Options options)
    : m_app(app)
    , m_options(std::move(options))
    , m_events(std::make_shared<SocketEventsManager>())
    , m_queue(DispatchQueue::create("Corvantis tcp connect queue"))
    , m_semaphore(ClientProcessorWrapper::MakeConnectSemaphore(m_options.maxConnects))
{
    if (m_events->InitInstance())
        m_loop = std::thread([events = m_events] { events->EventsProcessingThread(); });
}

EngineDriver::~EngineDriver()
{
    m_events->Stop();
    if (m_loop.joinable())
        m_loop.join();
}

std::shared_ptr<EngineFlow> EngineDriver::Open(
    const AppNameWrapper& app, const std::string& endpoint, uint16_t port, const std::string& hostName)
{
    return open(UniqueFd(), app, endpoint, port, hostName);
}

std::shared_ptr<EngineFlow> EngineDriver::OpenOn(UniqueFd flowEnd, const AppNameWrapper& app,
    const std::string& endpoint, uint16_t port, const std::string& hostName)
{
    return open(std::move(flowEnd), app, endpoint, port, hostName);
}

std::shared_ptr<EngineFlow> EngineDriver::open(
    UniqueFd given, const AppNameWrapper& app, const std::string& endpoint, uint16_t port, const std::string& hostName)
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

} // namespace corvantis::test
