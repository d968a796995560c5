#pragma once

#include <functional>

namespace corvantis {

// The program's main thread, as the notification center reaches it. The application registers one that runs
// tasks on its GUI thread; a program without a main loop (the extension) uses InlineExecutor.
class MainThreadExecutor {
public:
    virtual ~MainThreadExecutor() = default;

    // Whether the calling thread is the main thread.
    virtual bool isMainThread() const = 0;
    // Runs `task` on the main thread later, in posting order. May be called from any thread. An executor that
    // shuts down may destroy tasks without running them; waiters are released when the task is destroyed.
    virtual void post(std::function<void()> task) = 0;
};

// Every thread counts as the main thread: tasks run at once on the caller.
class InlineExecutor final : public MainThreadExecutor {
public:
    bool isMainThread() const override { return true; }
    void post(std::function<void()> task) override { task(); }
};

} // namespace corvantis
