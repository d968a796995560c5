#include "platform/NotificationCenter.h"

#include <utility>
#include <vector>

namespace corvantis {

namespace {

// Where a waiting poster sleeps until its task has run.
class DoneSignal final {
public:
    void fire()
    {
        MutexLock lock(m_mutex);
        m_done = true;
        m_cond.signalAll();
    }
    void wait()
    {
        MutexLock lock(m_mutex);
        while (!m_done)
            m_cond.wait(m_mutex);
    }

private:
    Mutex m_mutex;
    CondVar m_cond;
    bool m_done GUARDED_BY(m_mutex) = false;
};

// Travels with the posted task only: fires when the task is destroyed, whether it ran or the executor
// dropped it, so the poster never waits for a task that will not run.
class DoneTicket final {
public:
    explicit DoneTicket(std::shared_ptr<DoneSignal> signal)
        : m_signal(std::move(signal))
    {
    }
    ~DoneTicket() { m_signal->fire(); }
    DoneTicket(const DoneTicket&) = delete;
    DoneTicket& operator=(const DoneTicket&) = delete;

private:
    std::shared_ptr<DoneSignal> m_signal;
};

bool coalesces(const Notification& queued, const Notification& n, unsigned mask)
{
    if ((mask & (kCoalesceOnName | kCoalesceOnSender)) == 0)
        return false;
    if ((mask & kCoalesceOnName) && queued.name != n.name)
        return false;
    if ((mask & kCoalesceOnSender) && queued.object != n.object)
        return false;
    return true;
}

} // namespace

NotificationCenter::NotificationCenter()
    : m_executor(std::make_shared<InlineExecutor>())
{
}

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter* center = new NotificationCenter();
    return *center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(const std::string& name, Observer observer)
{
    MutexLock lock(m_mutex);
    ObserverId id = m_nextId++;
    m_observers.emplace(id, std::make_pair(name, std::make_shared<Observer>(std::move(observer))));
    return id;
}

void NotificationCenter::removeObserver(ObserverId id)
{
    MutexLock lock(m_mutex);
    m_observers.erase(id);
}

void NotificationCenter::post(const Notification& n) const
{
    std::vector<std::shared_ptr<Observer>> targets;
    {
        MutexLock lock(m_mutex);
        for (const auto& [id, entry] : m_observers)
            if (entry.first == n.name)
                targets.push_back(entry.second);
    }
    for (const auto& observer : targets)
        (*observer)(n);
}

void NotificationCenter::setMainThreadExecutor(std::shared_ptr<MainThreadExecutor> executor)
{
    if (!executor)
        executor = std::make_shared<InlineExecutor>();
    MutexLock lock(m_mutex);
    m_executor = std::move(executor);
}

std::shared_ptr<MainThreadExecutor> NotificationCenter::mainThreadExecutor() const
{
    MutexLock lock(m_mutex);
    return m_executor;
}

bool NotificationCenter::isMainThread() const
{
    return mainThreadExecutor()->isMainThread();
}

void NotificationCenter::postNotificationOnMainThread(Notification n, bool waitUntilDone)
{
    auto executor = mainThreadExecutor();
    if (executor->isMainThread()) {
        post(n);
        return;
    }
    if (!waitUntilDone) {
        executor->post([this, n = std::move(n)] { post(n); });
        return;
    }
    auto done = std::make_shared<DoneSignal>();
    auto ticket = std::make_shared<DoneTicket>(done);
    executor->post([this, n = std::move(n), ticket]() mutable {
        post(n);
        ticket.reset(); // releases the poster now, not when the executor gets round to destroying the task
    });
    ticket.reset();
    done->wait();
}

void NotificationCenter::enqueueNotificationOnMainThread(Notification n, PostingStyle style, unsigned coalesceMask)
{
    auto executor = mainThreadExecutor();
    if (style == PostingStyle::Now && executor->isMainThread()) {
        {
            MutexLock lock(m_mutex);
            std::erase_if(m_queue, [&](const Notification& q) { return coalesces(q, n, coalesceMask); });
        }
        post(n);
        return;
    }
    bool startDrain = false;
    {
        MutexLock lock(m_mutex);
        bool replaced = false;
        for (auto& queued : m_queue) {
            if (coalesces(queued, n, coalesceMask)) {
                queued = std::move(n);
                replaced = true;
                break;
            }
        }
        if (!replaced)
            m_queue.push_back(std::move(n));
        startDrain = !std::exchange(m_drainPosted, true);
    }
    if (!startDrain)
        return;
    // Should the executor drop the drain task unrun, the next enqueue must be able to post another one.
    struct DrainTicket {
        explicit DrainTicket(NotificationCenter* c)
            : center(c)
        {
        }
        DrainTicket(const DrainTicket&) = delete;
        DrainTicket& operator=(const DrainTicket&) = delete;
        NotificationCenter* center;
        bool ran = false;
        ~DrainTicket()
        {
            if (!ran) {
                MutexLock lock(center->m_mutex);
                center->m_drainPosted = false;
            }
        }
    };
    auto ticket = std::make_shared<DrainTicket>(this);
    executor->post([ticket] {
        ticket->ran = true;
        ticket->center->drainQueue();
    });
}

void NotificationCenter::drainQueue()
{
    for (;;) {
        Notification n;
        {
            MutexLock lock(m_mutex);
            if (m_queue.empty()) {
                m_drainPosted = false;
                return;
            }
            n = std::move(m_queue.front());
            m_queue.pop_front();
        }
        post(n);
    }
}

} // namespace corvantis
