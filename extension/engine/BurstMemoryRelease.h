#pragma once

#include "platform/DispatchQueue.h"
#include "platform/Mutex.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace corvantis {

// When CBurstMemoryRelease releases memory, and how; tests shorten the delay and count the releases.
struct BurstMemoryReleaseSettings {
    uint64_t minBurst = 128;
    std::chrono::nanoseconds delay = std::chrono::seconds(1);
    std::function<void()> release; // empty: ReleaseFreeMemory
};

// Gives the memory a burst of connections used back to the system once the burst has passed. Each connection
// holds buffers, and threads of its own while it connects; when thousands end, the allocator keeps what they
// freed unless told to return it.
//
// Counts the engine's connections (from the decision that takes one to the end of its processor). A burst is
// a moment with at least `minBurst` of them. Once the count has fallen to half of the highest count since the
// last release, the release runs `delay` later (the connections that just ended are still freeing their
// buffers), on a queue of its own; one at a time. The highest count then starts again from the count of that
// moment, so a slow descent releases again at each halving while the count stays at `minBurst` or more. The
// records of ended connections stay listed a few seconds longer; their removal in bulk makes a release due too.
//
// Thread-safety: every member may be called from any thread. The scheduled release keeps what it needs alive,
// so the object may go before it runs.
class CBurstMemoryRelease final {
public:
    using Settings = BurstMemoryReleaseSettings;

    explicit CBurstMemoryRelease(Settings settings = {});
    CBurstMemoryRelease(const CBurstMemoryRelease&) = delete;
    CBurstMemoryRelease& operator=(const CBurstMemoryRelease&) = delete;

    void ConnectionStarted();
    void ConnectionEnded();
    // The clean-up took `count` closed records out of the connection list at once: at least `minBurst` of them
    // also make a release due, `delay` later, unless one is pending.
    void RecordsRemoved(uint64_t count);

    // The process's one, which the connection processors report to.
    static CBurstMemoryRelease& Engine();

private:
    struct State {
        explicit State(Settings given);
        const Settings settings;
        const DispatchQueuePtr queue;
        Mutex mutex;
        uint64_t live GUARDED_BY(mutex) = 0;
        uint64_t peak GUARDED_BY(mutex) = 0; // the highest `live` since the last release
        bool pending GUARDED_BY(mutex) = false;
    };
    // Schedules the release; `pending` was set under the lock.
    void Schedule();
    static void Release(const std::shared_ptr<State>& state);

    const std::shared_ptr<State> m_state;
};

} // namespace corvantis
