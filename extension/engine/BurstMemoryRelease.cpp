#include "extension/engine/BurstMemoryRelease.h"

#include "platform/Allocator.h"

#include <utility>

namespace corvantis {

CBurstMemoryRelease::State::State(Settings given)
    : settings(std::move(given))
    , queue(DispatchQueue::create("Corvantis memory release"))
{
}

CBurstMemoryRelease::CBurstMemoryRelease(Settings settings)
    : m_state(std::make_shared<State>(std::move(settings)))
{
}

CBurstMemoryRelease& CBurstMemoryRelease::Engine()
{
    // Never destroyed: connections may still end while the process exits.
    static CBurstMemoryRelease* const engine = new CBurstMemoryRelease();
    return *engine;
}

void CBurstMemoryRelease::ConnectionStarted()
{
    MutexLock lock(m_state->mutex);
    ++m_state->live;
    if (m_state->live > m_state->peak)
        m_state->peak = m_state->live;
}

void CBurstMemoryRelease::ConnectionEnded()
{
    {
        MutexLock lock(m_state->mutex);
        if (m_state->live > 0)
            --m_state->live;
        if (m_state->pending || m_state->peak < m_state->settings.minBurst || m_state->live > m_state->peak / 2)
            return;
        m_state->pending = true;
    }
    Schedule();
}

void CBurstMemoryRelease::RecordsRemoved(uint64_t count)
{
    {
        MutexLock lock(m_state->mutex);
        if (m_state->pending || count < m_state->settings.minBurst)
            return;
        m_state->pending = true;
    }
    Schedule();
}

void CBurstMemoryRelease::Schedule()
{
    m_state->queue->after(m_state->settings.delay, [state = m_state] { Release(state); });
}

void CBurstMemoryRelease::Release(const std::shared_ptr<State>& state)
{
    {
        // What ends from now on is measured against what is left now.
        MutexLock lock(state->mutex);
        state->peak = state->live;
        state->pending = false;
    }
    if (state->settings.release)
        state->settings.release();
    else
        ReleaseFreeMemory();
}

} // namespace corvantis
