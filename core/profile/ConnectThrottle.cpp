#include "core/profile/ConnectThrottle.h"

#include <algorithm>
#include <thread>

namespace corvantis {

CConnectThrottle::CConnectThrottle(Timing timing, std::function<Clock::time_point()> now)
    : m_timing(timing)
    , m_now(std::move(now))
{
}

CConnectThrottle::Clock::time_point CConnectThrottle::Now() const
{
    return m_now ? m_now() : Clock::now();
}

CConnectThrottle::Clock::duration CConnectThrottle::Register(const std::string& host)
{
    const Clock::time_point now = Now();
    MutexLock lock(m_lock);
    m_global = std::min(m_global + 1, kMaxCount);
    Clock::duration delay {};
    auto it = m_table.find(host);
    if (it == m_table.end()) {
        m_table.emplace(host, Entry { now, 1 });
    } else {
        it->second.count = std::min(it->second.count + 1, kMaxCount);
        it->second.time = now + m_timing.hold;
        delay = m_timing.unit * (it->second.count + m_global);
    }
    if (++m_calls == 0)
        DecayLocked(now);
    return delay;
}

CConnectThrottle::Clock::duration CConnectThrottle::Throttle(const std::string& host)
{
    const Clock::duration delay = Register(host);
    if (delay > Clock::duration::zero())
        std::this_thread::sleep_for(delay);
    return delay;
}

bool CConnectThrottle::TryDecay()
{
    if (!m_lock.tryLock())
        return false;
    MutexLock lock(m_lock, kAdoptLock);
    DecayLocked(Now());
    return true;
}

void CConnectThrottle::DecayLocked(Clock::time_point now)
{
    const Clock::time_point cutoff = now - m_timing.decayAge;
    if (m_lastDecay < cutoff) {
        m_global >>= 1;
        m_lastDecay = now;
    }
    for (auto it = m_table.begin(); it != m_table.end();) {
        if (it->second.time < cutoff) {
            it->second.count >>= 1;
            it->second.time = now;
            if (it->second.count == 0) {
                it = m_table.erase(it);
                continue;
            }
        }
        ++it;
    }
}

uint32_t CConnectThrottle::GetHostCount(const std::string& host) const
{
    MutexLock lock(m_lock);
    auto it = m_table.find(host);
    return it == m_table.end() ? 0 : it->second.count;
}

uint32_t CConnectThrottle::GetGlobalCount() const
{
    MutexLock lock(m_lock);
    return m_global;
}

} // namespace corvantis
