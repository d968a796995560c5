#pragma once

#include "platform/MainThreadExecutor.h"

#include <functional>
#include <thread>

namespace corvantis {

// The Qt GUI thread as the program's main thread. Register one with
// NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>()) once the
// application object exists.
//
// Tasks are queued to the application object's event loop and run there in posting order, also from a nested
// loop (a modal box). A task posted while no application object exists, or left in the queue when it is
// destroyed, is destroyed unrun (which releases a waiting poster). Thread-safe; construct it on the GUI thread.
class QtMainThreadExecutor final : public MainThreadExecutor {
public:
    // Takes the calling thread as the main thread; it must be the thread of the application object.
    QtMainThreadExecutor();
    QtMainThreadExecutor(const QtMainThreadExecutor&) = delete;
    QtMainThreadExecutor& operator=(const QtMainThreadExecutor&) = delete;

    // Exactly the thread that built this executor.
    bool isMainThread() const override;
    // Queues `task` to the GUI thread, even when called there (never runs it inline).
    void post(std::function<void()> task) override;

private:
    const std::thread::id m_mainThread;
};

} // namespace corvantis
