#pragma once

#include "platform/MainThreadExecutor.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace corvantis::test {

// A main thread for tests: one thread of its own that runs posted tasks in order until destroyed. Tasks still
// queued at destruction are destroyed unrun.
class FakeMainThread final : public MainThreadExecutor {
public:
    FakeMainThread();
    ~FakeMainThread() override;
    FakeMainThread(const FakeMainThread&) = delete;
    FakeMainThread& operator=(const FakeMainThread&) = delete;

    bool isMainThread() const override;
    void post(std::function<void()> task) override;

    // Runs `task` on the main thread and returns when it has run.
    void runAndWait(std::function<void()> task);
    std::thread::id id() const { return m_thread.get_id(); }

private:
    void loop();

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::function<void()>> m_tasks;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace corvantis::test
