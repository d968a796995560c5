#pragma once

#include "platform/EventQueue.h"
#include "platform/LoopThreadChecker.h"
#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace corvantis {

// What a socket's processor is told about one event.
struct eventDescription {
    bool eof = false; // the peer ended its side or the socket hung up
    bool read = false; // readiness to read (a pending socket error is reported as a plain read)
    bool write = false; // readiness to write
    bool timeout = false; // the socket's periodic timer fired, or its extended time-out has passed (sweep)
    std::uint64_t socketId = 0;
    // The descriptor for read, write and sweep events; the socket id for timer events.
    std::uint64_t ident = 0;
    // Bytes ready to read, or timer expirations since the last event; 0 for write and sweep events.
    std::int64_t data = 0;
};

using SocketEventProcessor = std::function<void(eventDescription)>;

// One registered socket. Shared: the manager's map holds one reference, a dispatch in progress another, so a
// processor that removes its own registration keeps running to its end.
struct eventProcessorDescriptionType {
    SocketEventProcessor processor;
    std::uint64_t socketId = 0;
    std::int64_t socket = -1;
    bool hasTimeout = false;
    std::chrono::steady_clock::time_point deadline {};
};

// The engine's readiness loop for the sockets it opens towards DNS servers and UDP targets. Owners register a
// non-blocking socket with a processor; the thread that runs EventsProcessingThread calls the processor whenever
// the socket becomes readable (or writable, when asked), and, for a socket registered with a time-out, every
// time-out period and at every sweep once ten periods have passed. Sweeps run after `eventsPerSweep` events,
// after `idleSweepInterval` without any event, and after a timer of a removed socket fired.
//
// Read and write readiness are edge-triggered: a processor reads or writes until the socket would block.
//
// Thread-safety: AddSocket and RemoveSocketId may be called from any thread, also from inside a processor (its
// own registration included). Processors and sweeps run only on the loop thread, one at a time, never under the
// manager's lock. A dispatch that took its reference before RemoveSocketId still runs, so owners tolerate one
// late call after removal.
class SocketEventsManager final {
public:
    struct Params {
        std::chrono::milliseconds idleSweepInterval { std::chrono::seconds(10) };
        unsigned eventsPerSweep = 1001;
    };

    SocketEventsManager();
    explicit SocketEventsManager(Params params);
    ~SocketEventsManager();
    SocketEventsManager(const SocketEventsManager&) = delete;
    SocketEventsManager& operator=(const SocketEventsManager&) = delete;

    // Creates the event queue and sets the id counter to 1. False (logged) when the system refuses the queue.
    // Called once, before any other operation.
    [[nodiscard]] bool InitInstance();

    // Registers `socket` (borrowed; the owner keeps it open while registered and closes it itself) for read
    // events, with `readWrite` also for write events, and with `timeoutMs` above 0 a timer firing every
    // `timeoutMs` ms whose extended time-out ends after ten periods. `socketId` receives the new id, which is
    // used up even when the registration then fails. Returns false when a registration step fails.
    [[nodiscard]] bool AddSocket(int socket, bool readWrite, std::uint64_t timeoutMs, std::uint64_t& socketId,
        SocketEventProcessor eventProcessor);

    // Forgets the registration; later events of the id are dropped and its timer is deleted when it next fires.
    // Unknown ids are ignored.
    void RemoveSocketId(std::uint64_t socketId);

    // Gives a time-out event to every socket whose extended time-out has passed, in ascending id order. Called
    // by the loop; a call on any other thread stops the program (it would run processors off the loop thread).
    void checkExtendedTimeout();

    // The loop. A failed wait is logged and the wait retried (a signal never ends the loop). Returns true once
    // Stop was called, false only when InitInstance did not succeed. One thread at a time: a second thread that
    // starts the loop while it runs stops the program.
    bool EventsProcessingThread();

    // Makes EventsProcessingThread return after the dispatch in progress, if any; before returning it releases
    // every registration's processor. Any thread.
    void Stop();

private:
    using RecordPtr = std::shared_ptr<eventProcessorDescriptionType>;

    void dispatch(const KernelEvent& event, unsigned& eventsSinceSweep, bool& sweepNext);

    const Params m_params;
    EventQueuePtr m_queue; // set once by InitInstance, before the loop and any registration
    std::atomic<bool> m_stop { false };
    LoopThreadChecker m_loop;

    Mutex m_mutex;
    std::uint64_t m_socketsIdCounter GUARDED_BY(m_mutex) = 1;
    std::map<std::uint64_t, RecordPtr> m_processors GUARDED_BY(m_mutex);
};

using SocketEventsManagerPtr = std::shared_ptr<SocketEventsManager>;

} // namespace corvantis
