#pragma once

#include "platform/Mutex.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

// A serial queue of blocks. Blocks of one queue run one at a time, in the order they were submitted; blocks of
// different queues run at the same time. Queues have no thread of their own: a queue with work borrows a thread
// of one process-wide pool. The pool grows while queues with work find no free thread (at once up to twice the
// CPUs, then by one thread every few milliseconds while the shortage lasts) and shrinks again when threads stay
// idle. So thousands of idle queues cost no thread, and a block that waits (on a semaphore, on a socket, on
// another queue) holds up only its own queue; a block that never ends (an event loop) keeps one pool thread.
//
// A block that throws does not end its thread: the exception is written to standard error and the queue goes on
// with its next block (sync() instead hands the exception to its caller).
//
// Thread-safety: every member may be called from any thread. A queue stays alive while blocks are pending on it,
// also when the caller drops its last reference.
class DispatchQueue final : public std::enable_shared_from_this<DispatchQueue> {
    struct PrivateTag { };

public:
    using Block = std::function<void()>;

    // A new queue. `label` names it for log lines and debugging only (several queues may share a label).
    static DispatchQueuePtr create(std::string label);

    // Runs `block` on a pool thread when every block submitted earlier has run. Returns at once.
    void async(Block block);

    // Runs `block` on this queue after every block submitted earlier and waits until it has run; an exception
    // thrown by the block is rethrown here. Called from a block of this very queue (also from a block of another
    // queue that runs inline within one of this queue's), it runs `block` at once on the calling thread instead
    // of deadlocking. Two queues that sync onto each other from their blocks deadlock.
    // When the queue is idle (nothing pending, nothing running) `block` runs on the calling thread, with no
    // thread hop: it still runs alone on the queue (a block submitted meanwhile waits for its end) and
    // isCurrent() holds for it, as on a pool thread.
    void sync(const Block& block);

    // Runs `block` on the calling thread as sync() does when the queue is idle (or when this thread runs one of
    // its blocks), and returns true; returns false without running it when the queue has work pending or running
    // elsewhere. Never waits for the queue.
    [[nodiscard]] bool syncIfIdle(const Block& block);

    // Runs `block` at once on the calling thread when the queue is idle; when the queue has work pending or
    // running, submits it as async() does. Never waits for the queue. A block run here runs alone on the queue
    // (blocks submitted meanwhile go to the pool after it), isCurrent() holds for it, and an exception it throws
    // is written to standard error as on a pool thread. For callers that have nothing else to do meanwhile (a
    // thread about to finish its own work, or a block at its end): the work is spared a hand-over to another
    // thread and its wake-up. What it submits is not run here: the caller's thread is lent for one block only,
    // so it never takes on the work (and the per-thread buffers) of the pool's threads.
    void asyncInline(Block block);

    // Submits `block` with async() once `delay` has passed on the monotonic clock; never earlier. The queue is
    // kept alive until then. Returns at once.
    void after(std::chrono::nanoseconds delay, Block block);

    // True when the calling thread is running a block of this queue (the innermost one, when a block of another
    // queue runs inline within it).
    bool isCurrent() const;

    const std::string& label() const { return m_label; }

    // Runs `block` on a pool thread, concurrently with everything else (a global queue). Returns at once.
    static void asyncGlobal(Block block);

    DispatchQueue(PrivateTag, std::string label);
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

private:
    friend class DispatchPool;

    // Runs at most `maxBlocks` pending blocks on the calling pool thread. Returns true when more are pending
    // (the queue stays scheduled), false when it ran dry (it is no longer scheduled).
    bool drain(std::size_t maxBlocks);
    // Marks an idle queue as running on the calling thread; false when it has work pending or running.
    bool claimIdle();
    // Runs `block` on the calling thread as the queue's block, for a queue claimIdle() claimed; then hands what
    // was submitted meanwhile to the pool. Rethrows what `block` throws.
    void runClaimed(const Block& block);
    // Ends an inline run on a claimed queue: hands what was submitted meanwhile to the pool, else marks it idle.
    void releaseClaim();
    // Whether the calling thread is running a block of this queue, innermost or not.
    bool runsOnThisThread() const;
    bool hasPending() const REQUIRES(m_mutex) { return m_head < m_blocks.size(); }
    // Takes the first pending block; there must be one.
    Block takeFirst() REQUIRES(m_mutex);

    const std::string m_label;
    Mutex m_mutex;
    // The pending blocks are m_blocks[m_head...]. A vector rather than a deque: it holds no memory until the
    // first block, and gives back what a burst grew it to, so the many idle queues of held connections stay small.
    std::vector<Block> m_blocks GUARDED_BY(m_mutex);
    std::size_t m_head GUARDED_BY(m_mutex) = 0;
    // Set while the queue sits in the pool's ready list, a pool thread drains it, or a sync() runs inline.
    bool m_scheduled GUARDED_BY(m_mutex) = false;
};

} // namespace corvantis
