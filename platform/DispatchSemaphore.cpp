#include "platform/DispatchSemaphore.h"

namespace corvantis {

DispatchSemaphore::DispatchSemaphore(long initial)
    : m_count(initial < 0 ? 0 : initial)
{
}

void DispatchSemaphore::signal()
{
    MutexLock lock(m_mutex);
    ++m_count;
    m_cv.signal();
}

void DispatchSemaphore::wait()
{
    MutexLock lock(m_mutex);
    while (m_count <= 0)
        m_cv.wait(m_mutex);
    --m_count;
}

bool DispatchSemaphore::wait(Clock::time_point deadline)
{
    MutexLock lock(m_mutex);
    while (m_count <= 0) {
        if (!m_cv.waitUntil(m_mutex, deadline) && m_count <= 0)
            return false;
    }
    --m_count;
    return true;
}

} // namespace corvantis
