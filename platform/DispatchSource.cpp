#include "platform/DispatchSource.h"

#include "platform/DispatchThreads.h"
#include "platform/Mutex.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <system_error>
#include <thread>
#include <vector>

namespace corvantis {

namespace {

Status errnoStatus(int err, const char* what)
{
    return Status::error(err, std::string(what) + ": " + std::strerror(err));
}

} // namespace

struct DispatchSource::State : std::enable_shared_from_this<DispatchSource::State> {
    State(Kind k, int f, DispatchQueuePtr q, Handler h)
        : kind(k)
        , fd(f)
        , queue(std::move(q))
        , handler(std::move(h))
    {
    }

    // Called by the watcher thread when the descriptor is ready: queues one run of the handler.
    void fire();
    // One run of the handler, on the queue.
    void run();
    // Calls the handler without the mutex, while `running` is set. cancel() on another thread waits for
    // `running` to drop before it touches the handler, and cancel() on this thread leaves it alone, so reading
    // it unlocked here is safe; the analysis cannot see that.
    void runHandlerUnlocked() NO_THREAD_SAFETY_ANALYSIS { dispatch_detail::runGuarded(handler, queue->label()); }

    const Kind kind;
    const int fd;
    const DispatchQueuePtr queue;

    Mutex mutex;
    CondVar cv;
    Handler handler GUARDED_BY(mutex);
    bool resumed GUARDED_BY(mutex) = false;
    bool cancelled GUARDED_BY(mutex) = false;
    bool running GUARDED_BY(mutex) = false;
    std::thread::id runner GUARDED_BY(mutex);
    // The watcher's entry this source belongs to (guarded by the watcher's mutex).
    std::uint64_t entryKey = 0;
};

namespace {

// One thread with one epoll set watching every resumed source. A descriptor has one epoll registration (epoll
// refuses a second), shared by all sources on it and armed one-shot: after each report it stays quiet until a
// source that ran re-arms it, which gives level-triggered, coalesced handler runs.
//
// Lock order: a source's mutex, then the watcher's. The watcher thread never holds its mutex while it takes a
// source's.
class SourceWatcher final {
public:
    using StatePtr = std::shared_ptr<DispatchSource::State>;

    // The process-wide watcher, started on first use; an error when it cannot be started. Never destroyed.
    static SourceWatcher* instance(Status& failure)
    {
        static Status startFailure;
        static SourceWatcher* watcher = [] {
            UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
            if (!epoll) {
                startFailure = errnoStatus(errno, "epoll_create1");
                return static_cast<SourceWatcher*>(nullptr);
            }
            auto* w = new SourceWatcher(std::move(epoll));
            try {
                std::thread([w] { w->loop(); }).detach();
            } catch (const std::system_error& e) {
                startFailure = Status::error(e.code().value(), e.what());
                delete w;
                return static_cast<SourceWatcher*>(nullptr);
            }
            return w;
        }();
        failure = startFailure;
        return watcher;
    }

    Status attach(const StatePtr& state)
    {
        MutexLock lock(m_mutex);
        if (auto byFd = m_keyByFd.find(state->fd); byFd != m_keyByFd.end()) {
            const std::uint64_t key = byFd->second;
            Entry& entry = m_entries.at(key);
            entry.watches.push_back(Watch { state, true });
            if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, entry.fd, eventFor(key, entry)) == 0) {
                state->entryKey = key;
                return {};
            }
            const int err = errno;
            entry.watches.pop_back();
            if (err != ENOENT)
                return errnoStatus(err, "epoll_ctl(MOD)");
            // The descriptor of that entry was closed and its number reused: the entry is stale.
            m_entries.erase(key);
            m_keyByFd.erase(byFd);
        }
        const std::uint64_t key = m_nextKey++;
        Entry entry { state->fd, { Watch { state, true } } };
        if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, entry.fd, eventFor(key, entry)) != 0)
            return errnoStatus(errno, "epoll_ctl(ADD)");
        m_entries.emplace(key, std::move(entry));
        m_keyByFd[state->fd] = key;
        state->entryKey = key;
        return {};
    }

    void detach(const DispatchSource::State& state)
    {
        MutexLock lock(m_mutex);
        auto it = m_entries.find(state.entryKey);
        if (it == m_entries.end())
            return;
        Entry& entry = it->second;
        std::erase_if(entry.watches, [&](const Watch& w) { return w.state.get() == &state; });
        if (entry.watches.empty()) {
            // A stale entry (number reused) is no longer in m_keyByFd: then DEL must not run, it would hit
            // the new descriptor's registration.
            auto byFd = m_keyByFd.find(entry.fd);
            if (byFd != m_keyByFd.end() && byFd->second == it->first) {
                ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, entry.fd, nullptr);
                m_keyByFd.erase(byFd);
            }
            m_entries.erase(it);
        } else if (anyArmed(entry)) {
            ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, entry.fd, eventFor(it->first, entry));
        }
    }

    void rearm(const DispatchSource::State& state)
    {
        MutexLock lock(m_mutex);
        auto it = m_entries.find(state.entryKey);
        if (it == m_entries.end())
            return;
        for (Watch& w : it->second.watches)
            if (w.state.get() == &state)
                w.armed = true;
        ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, it->second.fd, eventFor(it->first, it->second));
    }

private:
    struct Watch {
        StatePtr state;
        bool armed;
    };
    struct Entry {
        int fd;
        std::vector<Watch> watches;
    };

    explicit SourceWatcher(UniqueFd epoll)
        : m_epoll(std::move(epoll))
    {
    }

    static bool anyArmed(const Entry& entry)
    {
        return std::any_of(entry.watches.begin(), entry.watches.end(), [](const Watch& w) { return w.armed; });
    }

    epoll_event* eventFor(std::uint64_t key, const Entry& entry) REQUIRES(m_mutex)
    {
        m_scratch = {};
        m_scratch.events = EPOLLONESHOT;
        for (const Watch& w : entry.watches) {
            if (!w.armed)
                continue;
            m_scratch.events |= w.state->kind == DispatchSource::Kind::Read ? (EPOLLIN | EPOLLRDHUP) : EPOLLOUT;
        }
        m_scratch.data.u64 = key;
        return &m_scratch;
    }

    static bool matches(DispatchSource::Kind kind, std::uint32_t revents)
    {
        if (kind == DispatchSource::Kind::Read)
            return (revents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
        return (revents & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0;
    }

    void loop()
    {
        dispatch_detail::prepareLayerThread("Corvantis source");
        epoll_event events[64];
        for (;;) {
            int n = ::epoll_wait(m_epoll.get(), events, 64, -1);
            if (n < 0)
                continue; // EINTR (signals are blocked here, but a debugger may still interrupt)
            for (int i = 0; i < n; ++i) {
                std::vector<StatePtr> ready;
                {
                    MutexLock lock(m_mutex);
                    auto it = m_entries.find(events[i].data.u64);
                    if (it == m_entries.end())
                        continue;
                    for (Watch& w : it->second.watches) {
                        if (w.armed && matches(w.state->kind, events[i].events)) {
                            w.armed = false;
                            ready.push_back(w.state);
                        }
                    }
                    // The one-shot report disarmed the whole registration: re-arm what did not fire.
                    if (anyArmed(it->second))
                        ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, it->second.fd, eventFor(it->first, it->second));
                }
                for (const StatePtr& state : ready)
                    state->fire();
            }
        }
    }

    const UniqueFd m_epoll;
    Mutex m_mutex;
    std::map<std::uint64_t, Entry> m_entries GUARDED_BY(m_mutex);
    std::map<int, std::uint64_t> m_keyByFd GUARDED_BY(m_mutex);
    std::uint64_t m_nextKey GUARDED_BY(m_mutex) = 1;
    epoll_event m_scratch GUARDED_BY(m_mutex) {};
};

SourceWatcher* watcherOrNull()
{
    Status ignored;
    return SourceWatcher::instance(ignored);
}

} // namespace

void DispatchSource::State::fire()
{
    MutexLock lock(mutex);
    if (cancelled)
        return;
    queue->async([self = shared_from_this()] { self->run(); });
}

void DispatchSource::State::run()
{
    MutexLock lock(mutex);
    if (cancelled)
        return;
    running = true;
    runner = std::this_thread::get_id();
    lock.unlock();
    runHandlerUnlocked();
    lock.lock();
    running = false;
    runner = {};
    cv.signalAll();
    Handler dead;
    if (cancelled) {
        dead = std::move(handler);
    } else if (auto* watcher = watcherOrNull()) {
        watcher->rearm(*this);
    }
    lock.unlock();
    // `dead` (and what it captured) goes here, outside the lock.
}

DispatchSourcePtr DispatchSource::create(Kind kind, int fd, DispatchQueuePtr queue, Handler handler)
{
    return DispatchSourcePtr(
        new DispatchSource(std::make_shared<State>(kind, fd, std::move(queue), std::move(handler))));
}

DispatchSource::DispatchSource(std::shared_ptr<State> state)
    : m_state(std::move(state))
{
}

DispatchSource::~DispatchSource()
{
    cancel();
}

Status DispatchSource::resume()
{
    MutexLock lock(m_state->mutex);
    if (m_state->resumed || m_state->cancelled)
        return {};
    Status failure;
    SourceWatcher* watcher = SourceWatcher::instance(failure);
    if (!watcher)
        return failure;
    Status st = watcher->attach(m_state);
    if (st.ok())
        m_state->resumed = true;
    return st;
}

void DispatchSource::cancel()
{
    State& s = *m_state;
    MutexLock lock(s.mutex);
    if (!s.cancelled) {
        s.cancelled = true;
        if (s.resumed)
            if (auto* watcher = watcherOrNull())
                watcher->detach(s);
    }
    const auto self = std::this_thread::get_id();
    while (s.running && s.runner != self)
        s.cv.wait(s.mutex);
    Handler dead;
    if (!s.running)
        dead = std::move(s.handler);
    lock.unlock();
}

bool DispatchSource::isCancelled() const
{
    MutexLock lock(m_state->mutex);
    return m_state->cancelled;
}

} // namespace corvantis
