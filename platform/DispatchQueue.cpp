#include "platform/DispatchQueue.h"

#include "platform/DispatchThreads.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <system_error>
#include <thread>

namespace corvantis {

namespace {

// The queues whose blocks the calling thread is running, innermost first: a queue's block may run another
// queue's block inline (sync or asyncInline on an idle queue).
struct Running {
    const DispatchQueue* queue;
    const Running* outer;
};
thread_local const Running* t_running = nullptr;

// Marks the calling thread as running a block of `queue` for the scope's life.
class RunningScope final {
public:
    explicit RunningScope(const DispatchQueue* queue)
        : m_frame { queue, t_running }
    {
        t_running = &m_frame;
    }
    ~RunningScope() { t_running = m_frame.outer; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    Running m_frame;
};

} // namespace

// The threads that run the queues' blocks. The ready list holds every queue with pending work that no thread
// drains yet. Up to a soft limit (twice the CPUs) a thread is started whenever there are more ready queues than
// free threads. Beyond it, a queue that finds no free thread asks for a check a few milliseconds later: if ready
// queues still outnumber free threads then (the busy ones are blocked or slow), one more thread starts, and so on
// while the stall lasts. So a block that waits never stops other queues for long, and a burst of short blocks on
// many queues does not start a thread per queue.
class DispatchPool final {
public:
    static DispatchPool& instance()
    {
        // Never destroyed: pool threads may still run while the process exits.
        static DispatchPool* pool = new DispatchPool();
        return *pool;
    }

    void schedule(DispatchQueuePtr queue)
    {
        {
            MutexLock lock(m_mutex);
            m_ready.push_back(std::move(queue));
            if (m_ready.size() > m_idle) {
                if (m_threads < m_softLimit)
                    startThread();
                else
                    armStallCheck();
            }
        }
        // Signalled once the lock is free: a thread woken while it is held would only wake to wait for it, and
        // its second wake-up, where each one is dear, would double the hand-over's cost. The pool lives for good.
        m_cv.signal();
    }

private:
    // Enough for every queue of the engine being blocked at once; beyond it, ready queues wait for a thread.
    static constexpr std::size_t kMaxThreads = 2048;
    // Free threads kept for the next burst; more than these end after kIdleLinger without work.
    static constexpr std::size_t kIdleKept = 4;
    static constexpr std::chrono::seconds kIdleLinger { 10 };
    // How long ready queues may outnumber free threads before one more thread starts.
    static constexpr std::chrono::milliseconds kStallDelay { 2 };
    // Blocks one queue runs before it goes to the back of the ready list, so busy queues share the threads.
    static constexpr std::size_t kBatch = 64;

    DispatchPool()
        : m_softLimit(std::max<std::size_t>(4, 2 * std::thread::hardware_concurrency()))
    {
    }

    void startThread() REQUIRES(m_mutex)
    {
        if (m_threads >= kMaxThreads)
            return;
        try {
            std::thread([this] { workerMain(); }).detach();
            ++m_threads;
            ++m_idle; // counted as free from the start: it goes straight to the ready list
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "Corvantis: cannot start a pool thread: %s\n", e.what());
        }
    }

    void armStallCheck() REQUIRES(m_mutex)
    {
        if (m_stallCheckArmed || m_threads >= kMaxThreads)
            return;
        m_stallCheckArmed = true;
        dispatch_detail::scheduleAt(std::chrono::steady_clock::now() + kStallDelay, [this] { stallCheck(); });
    }

    void stallCheck()
    {
        MutexLock lock(m_mutex);
        m_stallCheckArmed = false;
        if (m_ready.size() > m_idle) {
            startThread();
            if (m_ready.size() > m_idle)
                armStallCheck();
        }
    }

    void workerMain()
    {
        dispatch_detail::prepareLayerThread("Corvantis pool");
        MutexLock lock(m_mutex);
        for (;;) {
            while (m_ready.empty()) {
                if (!m_cv.waitFor(m_mutex, kIdleLinger) && m_ready.empty() && m_idle > kIdleKept) {
                    --m_idle;
                    --m_threads;
                    return;
                }
            }
            DispatchQueuePtr queue = std::move(m_ready.front());
            m_ready.pop_front();
            --m_idle;
            lock.unlock();
            const bool more = queue->drain(kBatch);
            if (!more)
                queue.reset(); // may destroy the queue: outside the pool's lock
            lock.lock();
            ++m_idle;
            if (more)
                m_ready.push_back(std::move(queue)); // this thread, now free, takes the front next
        }
    }

    const std::size_t m_softLimit;
    Mutex m_mutex;
    CondVar m_cv;
    std::deque<DispatchQueuePtr> m_ready GUARDED_BY(m_mutex);
    std::size_t m_threads GUARDED_BY(m_mutex) = 0;
    std::size_t m_idle GUARDED_BY(m_mutex) = 0;
    bool m_stallCheckArmed GUARDED_BY(m_mutex) = false;
};

DispatchQueue::DispatchQueue(PrivateTag, std::string label)
    : m_label(std::move(label))
{
}

DispatchQueuePtr DispatchQueue::create(std::string label)
{
    return std::make_shared<DispatchQueue>(PrivateTag {}, std::move(label));
}

void DispatchQueue::async(Block block)
{
    {
        MutexLock lock(m_mutex);
        m_blocks.push_back(std::move(block));
        if (m_scheduled)
            return;
        m_scheduled = true;
    }
    DispatchPool::instance().schedule(shared_from_this());
}

bool DispatchQueue::drain(std::size_t maxBlocks)
{
    {
        RunningScope running(this);
        for (std::size_t i = 0; i < maxBlocks; ++i) {
            Block block;
            {
                MutexLock lock(m_mutex);
                if (!hasPending()) {
                    m_scheduled = false;
                    return false;
                }
                block = takeFirst();
            }
            dispatch_detail::runGuarded(block, m_label);
        }
    }
    MutexLock lock(m_mutex);
    if (!hasPending()) {
        m_scheduled = false;
        return false;
    }
    return true;
}

DispatchQueue::Block DispatchQueue::takeFirst()
{
    // Capacity an emptied queue keeps for its next blocks; more is given back.
    constexpr std::size_t kKeptCapacity = 4;
    // Taken blocks at the front worth moving the rest down for, so a queue that never runs dry stays bounded.
    constexpr std::size_t kCompactAfter = 32;
    Block block = std::move(m_blocks[m_head]);
    ++m_head;
    if (m_head == m_blocks.size()) {
        m_blocks.clear();
        m_head = 0;
        if (m_blocks.capacity() > kKeptCapacity)
            std::vector<Block>().swap(m_blocks);
    } else if (m_head >= kCompactAfter && 2 * m_head >= m_blocks.size()) {
        m_blocks.erase(m_blocks.begin(), m_blocks.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    return block;
}

void DispatchQueue::sync(const Block& block)
{
    // This thread runs one of the queue's blocks, further out: waiting for the queue would wait for itself.
    if (runsOnThisThread()) {
        block();
        return;
    }
    if (claimIdle()) {
        runClaimed(block);
        return;
    }
    Mutex mutex;
    CondVar cv;
    bool done = false;
    std::exception_ptr error;
    async([&] {
        try {
            block();
        } catch (...) {
            error = std::current_exception();
        }
        MutexLock lock(mutex);
        done = true;
        cv.signalAll(); // under the lock: the waiter's stack frame lives until we release it
    });
    MutexLock lock(mutex);
    while (!done)
        cv.wait(mutex);
    if (error)
        std::rethrow_exception(error);
}

bool DispatchQueue::claimIdle()
{
    MutexLock lock(m_mutex);
    if (m_scheduled || hasPending())
        return false;
    // Marked as scheduled, nothing else runs on the queue: a block submitted meanwhile waits in m_blocks.
    m_scheduled = true;
    return true;
}

bool DispatchQueue::syncIfIdle(const Block& block)
{
    if (runsOnThisThread()) {
        block();
        return true;
    }
    if (!claimIdle())
        return false;
    runClaimed(block);
    return true;
}

void DispatchQueue::asyncInline(Block block)
{
    if (runsOnThisThread() || !claimIdle()) {
        async(std::move(block));
        return;
    }
    {
        RunningScope running(this);
        dispatch_detail::runGuarded(block, m_label);
        block = nullptr; // what the block holds goes now, as it would on a pool thread
    }
    releaseClaim();
}

void DispatchQueue::runClaimed(const Block& block)
{
    std::exception_ptr error;
    {
        RunningScope running(this);
        try {
            block();
        } catch (...) {
            error = std::current_exception();
        }
    }
    releaseClaim();
    if (error)
        std::rethrow_exception(error);
}

void DispatchQueue::releaseClaim()
{
    bool more = false;
    {
        MutexLock lock(m_mutex);
        if (!hasPending())
            m_scheduled = false;
        else
            more = true; // stays marked: the pool drains what came in meanwhile
    }
    if (more)
        DispatchPool::instance().schedule(shared_from_this());
}

void DispatchQueue::after(std::chrono::nanoseconds delay, Block block)
{
    const auto deadline = std::chrono::steady_clock::now() + delay;
    dispatch_detail::scheduleAt(
        deadline, [self = shared_from_this(), block = std::move(block)]() mutable { self->async(std::move(block)); });
}

bool DispatchQueue::isCurrent() const
{
    return t_running && t_running->queue == this;
}

bool DispatchQueue::runsOnThisThread() const
{
    for (const Running* running = t_running; running; running = running->outer) {
        if (running->queue == this)
            return true;
    }
    return false;
}

void DispatchQueue::asyncGlobal(Block block)
{
    // A queue of its own per block: global work runs concurrently, never in line behind other global work.
    create("global")->async(std::move(block));
}

} // namespace corvantis
