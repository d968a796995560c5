#pragma once

#include "platform/Mutex.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

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
    // thrown by the block is rethrown here. Called from a block of this very queue, it runs `block` at once on
    // the calling thread instead of deadlocking. Two queues that sync onto each other from their blocks deadlock.
    void sync(const Block& block);

    // Submits `block` with async() once `delay` has passed on the monotonic clock; never earlier. The queue is
    // kept alive until then. Returns at once.
    void after(std::chrono::nanoseconds delay, Block block);

    // True when the calling thread is running a block of this queue.
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

    const std::string m_label;
    Mutex m_mutex;
    std::deque<Block> m_blocks GUARDED_BY(m_mutex);
    // Set while the queue sits in the pool's ready list or a pool thread drains it.
    bool m_scheduled GUARDED_BY(m_mutex) = false;
};

} // namespace corvantis
