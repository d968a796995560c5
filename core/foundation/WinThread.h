#pragma once

#include <memory>
#include <pthread.h>
#include <thread>

namespace corvantis {

// The work a background thread runs: a plain function and the one pointer it is given.
using ThreadFunction = void (*)(void*);

// The root of the thread objects. It may carry the handle of a POSIX thread; when its cancel flag is set,
// destroying the object cancels that thread. Nothing in the system sets the flag: the threads started by
// CreateWinThread run until their function returns, whatever happens to this object.
class CWinThread {
public:
    // `handle` 0 means no thread. With `cancelOnDestroy`, the destructor cancels a thread it has.
    explicit CWinThread(pthread_t handle, bool cancelOnDestroy = false);
    virtual ~CWinThread();
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Hooks around a thread's work that this system never fills in: both return 0 and do nothing.
    virtual int InitInstance();
    virtual int ExitInstance();
    // Cancels the thread behind the handle; returns pthread_cancel's result, or 0 when there is no handle.
    virtual int Cancel();

protected:
    const bool m_autoCancel;
    const pthread_t m_handle;
};

// Carries a function and its argument into a new thread. The thread shares ownership of it until the function
// has returned, so the object outlives whoever started the thread.
class WinThreadC final {
public:
    WinThreadC(ThreadFunction function, void* argument);
    WinThreadC(const WinThreadC&) = delete;
    WinThreadC& operator=(const WinThreadC&) = delete;

    static std::shared_ptr<WinThreadC> threadWithFunction(ThreadFunction function, void* argument);

    // The thread's entry: calls the function with the argument (nothing when the function is null). An exception
    // the function lets out ends the function, not the process, and leaves an error line in the log.
    void startWorkThread();

private:
    const ThreadFunction m_function;
    void* const m_argument;
};

// A thread started by CreateWinThread. It has no handle: destroying it, or Cancel, never stops the thread.
class CWinThreadC final : public CWinThread {
public:
    CWinThreadC(std::thread::id id, std::shared_ptr<WinThreadC> work);
    ~CWinThreadC() override;

    int Cancel() override;

    // The started thread's id (it stays valid as a value after the thread has ended).
    std::thread::id GetThreadId() const { return m_id; }

private:
    const std::thread::id m_id;
    std::shared_ptr<WinThreadC> m_work;
};

// Starts a thread that runs `function(argument)` and returns its thread object, or null when no thread could be
// started. The caller may drop the object at once; the thread runs on until the function returns. `argument`
// must stay valid for as long as the function uses it.
std::shared_ptr<CWinThread> CreateWinThread(ThreadFunction function, void* argument);

} // namespace corvantis
