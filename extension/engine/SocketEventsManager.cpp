#include "extension/engine/SocketEventsManager.h"

#include "core/foundation/LogMessage.h"

#include <array>
#include <thread>
#include <vector>

namespace corvantis {

SocketEventsManager::SocketEventsManager()
    : SocketEventsManager(Params {})
{
}

SocketEventsManager::SocketEventsManager(Params params)
    : m_params(params)
{
}

SocketEventsManager::~SocketEventsManager() = default;

bool SocketEventsManager::InitInstance()
{
    {
        MutexLock lock(m_mutex);
        m_socketsIdCounter = 1;
    }
    auto queue = EventQueue::create();
    if (!queue) {
        CLogMessage(kLogError) << "SocketEventsManager: cannot create the event queue, error "
                               << queue.status().errnum() << " " << queue.status().message();
        return false;
    }
    m_queue = std::move(*queue);
    return true;
}

bool SocketEventsManager::AddSocket(
    int socket, bool readWrite, std::uint64_t timeoutMs, std::uint64_t& socketId, SocketEventProcessor eventProcessor)
{
    MutexLock lock(m_mutex);
    socketId = m_socketsIdCounter++;
    if (!m_queue) {
        return false;
    }
    if (!m_queue->addFd(socket, EventFilter::Read, socketId).ok()) {
        return false;
    }
    if (readWrite && !m_queue->addFd(socket, EventFilter::Write, socketId).ok()) {
        return false;
    }
    auto record = std::make_shared<eventProcessorDescriptionType>();
    record->socketId = socketId;
    record->socket = socket;
    if (timeoutMs != 0) {
        const std::chrono::milliseconds period(timeoutMs);
        if (!m_queue->addTimer(socketId, period, socketId).ok()) {
            return false;
        }
        record->hasTimeout = true;
        record->deadline = std::chrono::steady_clock::now() + period * 10;
    }
    record->processor = std::move(eventProcessor);
    m_processors.emplace(socketId, std::move(record));
    return true;
}

void SocketEventsManager::RemoveSocketId(std::uint64_t socketId)
{
    // The record may hold the last reference to its owner; let it go after the lock, so that an owner's
    // destructor may itself call the manager.
    RecordPtr record;
    {
        MutexLock lock(m_mutex);
        const auto found = m_processors.find(socketId);
        if (found == m_processors.end()) {
            return;
        }
        record = std::move(found->second);
        m_processors.erase(found);
    }
}

void SocketEventsManager::checkExtendedTimeout()
{
    m_loop.assertOnLoopThread("SocketEventsManager::checkExtendedTimeout");
    const auto now = std::chrono::steady_clock::now();
    std::vector<RecordPtr> expired;
    {
        MutexLock lock(m_mutex);
        for (const auto& [id, record] : m_processors) {
            if (record->hasTimeout && record->deadline < now) {
                expired.push_back(record);
            }
        }
    }
    for (const RecordPtr& record : expired) {
        eventDescription description;
        description.timeout = true;
        description.socketId = record->socketId;
        description.ident = static_cast<std::uint64_t>(record->socket);
        description.data = 0;
        record->processor(description);
    }
}

void SocketEventsManager::dispatch(const KernelEvent& event, unsigned& eventsSinceSweep, bool& sweepNext)
{
    RecordPtr record;
    {
        MutexLock lock(m_mutex);
        ++eventsSinceSweep;
        const auto found = m_processors.find(event.udata);
        if (found == m_processors.end()) {
            if (event.filter == EventFilter::Timer) {
                // The owner removed the socket; its timer goes now, and the sweep it would have fed runs next.
                (void)m_queue->removeTimer(event.ident);
                sweepNext = true;
            }
            return;
        }
        record = found->second;
    }
    eventDescription description;
    description.eof = event.eof;
    description.read = event.filter == EventFilter::Read;
    description.write = event.filter == EventFilter::Write;
    description.timeout = event.filter == EventFilter::Timer;
    description.socketId = event.udata;
    description.ident = event.ident;
    description.data = event.data;
    record->processor(description);
}

bool SocketEventsManager::EventsProcessingThread()
{
    if (!m_queue) {
        return false;
    }
    m_loop.enter("SocketEventsManager::EventsProcessingThread");
    unsigned eventsSinceSweep = 0;
    bool sweepNext = false;
    unsigned failuresInRow = 0;
    std::array<KernelEvent, 1> events {};
    while (!m_stop.load()) {
        if (sweepNext || eventsSinceSweep >= m_params.eventsPerSweep) {
            checkExtendedTimeout();
            eventsSinceSweep = 0;
            sweepNext = false;
        }
        auto waited = m_queue->wait(events, m_params.idleSweepInterval);
        if (!waited) {
            // Nothing here can repair the queue, but giving up would end UDP relaying and DNS resolution for the
            // life of the process; keep serving, slowing down so a lasting failure does not flood the log.
            CLogMessage(kLogError) << "SocketEventsManager: waiting for events failed with error "
                                   << waited.status().errnum() << " (" << waited.status().message() << ")";
            ++failuresInRow;
            std::this_thread::sleep_for(std::chrono::milliseconds(failuresInRow < 10 ? 1 : 100));
            continue;
        }
        failuresInRow = 0;
        if (*waited == 0) {
            sweepNext = true;
            continue;
        }
        if (events[0].filter == EventFilter::Wake) {
            continue;
        }
        dispatch(events[0], eventsSinceSweep, sweepNext);
    }
    // No processor will be called again: release them all (outside the lock, as their owners may call back), so
    // owners that hold the manager while it holds them are freed.
    std::map<std::uint64_t, RecordPtr> released;
    {
        MutexLock lock(m_mutex);
        released.swap(m_processors);
    }
    released.clear();
    m_loop.leave();
    return true;
}

void SocketEventsManager::Stop()
{
    m_stop.store(true);
    if (m_queue) {
        m_queue->wake();
    }
}

} // namespace corvantis
