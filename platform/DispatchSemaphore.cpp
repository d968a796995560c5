#include "platform/DispatchSemaphore.h"

namespace corvantis {

DispatchSemaphore::DispatchSemaphore(long initial)
    : m_count(initial < 0 ? 0 : initial)
{
}

void DispatchSemaphore::signal()
{
    std::lock_guard lock(m_mutex);
    ++m_count;
    m_cv.notify_one();
}

void DispatchSemaphore::wait()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return m_count > 0; });
    --m_count;
}

bool DispatchSemaphore::wait(Clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    if (!m_cv.wait_until(lock, deadline, [&] { return m_count > 0; }))
        return false;
    --m_count;
    return true;
}

} // namespace corvantis
