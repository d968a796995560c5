#pragma once

#include "platform/MainThreadExecutor.h"
#include "platform/Mutex.h"

#include <any>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace corvantis {

// A named message with its sender (compared by address only, never dereferenced here) and a payload whose
// meaning belongs to the name.
struct Notification {
    std::string name;
    const void* object = nullptr;
    std::any userInfo;
};

// When a notification queued on the main thread is delivered.
enum class PostingStyle { WhenIdle, Asap, Now };

inline constexpr unsigned kCoalesceOnName = 1;
inline constexpr unsigned kCoalesceOnSender = 2;

// Observers by notification name, and delivery on the program's main thread.
//
// Observers run on the thread that delivers the notification, in the order they were added, outside the
// center's lock (an observer may post or add and remove observers). Thread-safe.
class NotificationCenter final {
public:
    using Observer = std::function<void(const Notification&)>;
    using ObserverId = uint64_t;

    NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's center. Never destroyed.
    static NotificationCenter& defaultCenter();

    // Calls `observer` for every notification named `name` from now on. Returns its id (never 0).
    ObserverId addObserver(const std::string& name, Observer observer);
    // Stops the calls. A delivery already running on another thread may still finish its call.
    void removeObserver(ObserverId id);

    // Delivers `n` to its observers on the calling thread before returning.
    void post(const Notification& n) const;

    // The main thread. Null sets an InlineExecutor (the state before a program registers its own).
    void setMainThreadExecutor(std::shared_ptr<MainThreadExecutor> executor);
    std::shared_ptr<MainThreadExecutor> mainThreadExecutor() const;
    bool isMainThread() const;

    // Delivers `n` on the main thread: at once when called there; otherwise through the executor, and with
    // `waitUntilDone` the caller blocks until the observers have run (or the executor dropped the task). A
    // thread must not wait here while it holds a lock that the main thread needs.
    void postNotificationOnMainThread(Notification n, bool waitUntilDone);

    // Queues `n` for delivery on the main thread without waiting. Coalescing: while a notification that
    // matches `n` (same name with kCoalesceOnName, same sender with kCoalesceOnSender) waits in the queue, `n`
    // takes its place instead of adding a second delivery. PostingStyle::Now, called on the main thread,
    // drops the matching queued ones and delivers `n` before returning.
    void enqueueNotificationOnMainThread(
        Notification n, PostingStyle style, unsigned coalesceMask = kCoalesceOnName | kCoalesceOnSender);

private:
    void drainQueue();

    mutable Mutex m_mutex;
    std::map<ObserverId, std::pair<std::string, std::shared_ptr<Observer>>> m_observers GUARDED_BY(m_mutex);
    ObserverId m_nextId GUARDED_BY(m_mutex) = 1;
    std::shared_ptr<MainThreadExecutor> m_executor GUARDED_BY(m_mutex);
    std::deque<Notification> m_queue GUARDED_BY(m_mutex);
    bool m_drainPosted GUARDED_BY(m_mutex) = false;
};

} // namespace corvantis
