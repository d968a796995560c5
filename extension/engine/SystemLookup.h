#pragma once

#include "extension/engine/SocketEventsManager.h"
#include "platform/Mutex.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct ares_channeldata;
struct ares_addrinfo;
struct sockaddr;

namespace corvantis {

// The system resolver for one name: a c-ares lookup per family, with c-ares's sockets and a clock (an idle
// eventfd whose registration times out every tick) on the event loop.
//
// It has no lock of its own. c-ares calls back from inside its own calls, so every call into this object and
// every handler it calls runs under its owner's mutex, the one given to the constructor. Events of the loop reach
// the owner first (`Handlers::onLoop`), which takes that mutex, runs the step, and delivers what the step produced
// once the mutex is released.
class SystemLookup {
public:
    struct Handlers {
        // Each address a lookup found, in the order c-ares gives them.
        std::function<void(const sockaddr* address, int ttl)> address;
        // A line for the log: an error, or a debug line (a lookup failed or timed out).
        std::function<void(bool error, const std::string& text)> log;
        // Both lookups ended, by answers, failures or the deadline; no handler is called after this one.
        std::function<void()> finished;
        // A loop event for this lookup: run `step` under the owner's mutex, then deliver.
        std::function<void(const std::function<void()>& step)> onLoop;
    };

    // `tick`: how often c-ares handles its own time-outs and the deadline is checked.
    SystemLookup(Mutex& ownerMutex, std::weak_ptr<SocketEventsManager> eventManager, Handlers handlers,
        std::chrono::milliseconds tick = std::chrono::milliseconds(100));
    // c-ares closes the sockets it still owns; no handler is called from here on.
    ~SystemLookup();
    SystemLookup(const SystemLookup&) = delete;
    SystemLookup& operator=(const SystemLookup&) = delete;

    // Starts both lookups of `name` against `servers` ("address:port,..."; empty: the system's configuration).
    // A lookup may end inside this call (a hosts-file entry, a failure). `keepAlive` is held by every loop
    // registration, so the owner outlives them. False, with the reason, when nothing could be started.
    bool start(const std::string& name, const std::string& servers, std::chrono::milliseconds timeout,
        std::shared_ptr<void> keepAlive, std::string& reason) REQUIRES(m_ownerMutex);

    // For the owner, whose own name for the mutex the analysis cannot match with this object's.
    void assertOwnerMutexHeld() ASSERT_CAPABILITY(m_ownerMutex) { m_ownerMutex.assertHeld(); }

private:
    // Ends the lookup: its registrations leave the loop and no c-ares event is handled any more.
    void stop() REQUIRES(m_ownerMutex);
    static void onSocketState(void* data, int fd, int readable, int writable);
    static void onAnswer(void* arg, int status, int timeouts, ares_addrinfo* result);
    void onSocketEvent(int fd, const eventDescription& event) REQUIRES(m_ownerMutex);
    void onTick() REQUIRES(m_ownerMutex);
    bool addSocket(int fd, bool readWrite, std::uint64_t timeoutMs, std::uint64_t& id, SocketEventProcessor processor);
    void removeSocket(std::uint64_t id);

    Mutex& m_ownerMutex;
    const std::weak_ptr<SocketEventsManager> m_eventManager;
    const Handlers m_handlers;
    const std::chrono::milliseconds m_tick;

    ares_channeldata* m_channel GUARDED_BY(m_ownerMutex) = nullptr;
    bool m_destroying = false; // set by the destructor: c-ares closing its sockets then calls no one
    bool m_done GUARDED_BY(m_ownerMutex) = false;
    int m_pending GUARDED_BY(m_ownerMutex) = 0; // lookups not finished yet
    // Weak: only the loop's registrations hold the owner, so a loop dropped mid-lookup frees both.
    std::weak_ptr<void> m_keepAlive GUARDED_BY(m_ownerMutex);
    std::map<int, std::uint64_t> m_sockets GUARDED_BY(m_ownerMutex); // descriptor -> event loop id
    UniqueFd m_tickFd; // an idle descriptor whose registration carries the clock
    std::uint64_t m_tickId GUARDED_BY(m_ownerMutex) = 0;
    std::chrono::steady_clock::time_point m_deadline GUARDED_BY(m_ownerMutex) {};
};

} // namespace corvantis
