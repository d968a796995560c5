#pragma once

// A SocketEventsManager served by its own thread for the duration of a test, and a recorder of the events a
// processor receives that a test can wait on.

#include "extension/engine/SocketEventsManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvantis::test {

class RunningEventLoop final {
public:
    explicit RunningEventLoop(SocketEventsManager::Params params = {})
        : m_manager(std::make_shared<SocketEventsManager>(params))
    {
        m_ready = m_manager->InitInstance();
        if (m_ready) {
            m_thread = std::thread([this] { m_result = m_manager->EventsProcessingThread(); });
        }
    }
    ~RunningEventLoop() { stop(); }
    RunningEventLoop(const RunningEventLoop&) = delete;
    RunningEventLoop& operator=(const RunningEventLoop&) = delete;

    bool ready() const { return m_ready; }
    SocketEventsManager& manager() { return *m_manager; }
    const SocketEventsManagerPtr& shared() const { return m_manager; }
    std::thread& thread() { return m_thread; }

    // Stops the loop and returns what EventsProcessingThread returned.
    bool stop()
    {
        if (m_thread.joinable()) {
            m_manager->Stop();
            m_thread.join();
        }
        return m_result;
    }

private:
    SocketEventsManagerPtr m_manager;
    bool m_ready = false;
    bool m_result = false;
    std::thread m_thread;
};

// Collects events from any thread; tests wait until a condition over them holds.
class EventRecorder final {
public:
    SocketEventProcessor processor()
    {
        return [this](eventDescription event) { add(event); };
    }

    void add(const eventDescription& event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
        m_changed.notify_all();
    }

    // Waits until `condition` holds over the events seen so far or the deadline passes; returns whether it held.
    bool waitForEvents(const std::function<bool(const std::vector<eventDescription>&)>& condition,
        std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return condition(m_events); });
    }

    std::vector<eventDescription> events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<eventDescription> m_events;
};

inline bool isSweepEvent(const eventDescription& e)
{
    return e.timeout && !e.read && !e.write && !e.eof && e.data == 0;
}

} // namespace corvantis::test
