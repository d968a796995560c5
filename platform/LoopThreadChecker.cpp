#include "platform/LoopThreadChecker.h"

#include "platform/Assert.h"

namespace corvantis {

void LoopThreadChecker::enter(const char* loop)
{
    std::thread::id none;
    const bool entered = m_loopThread.compare_exchange_strong(none, std::this_thread::get_id());
    CORVANTIS_ASSERT(entered, loop, " is already running on another thread");
}

void LoopThreadChecker::leave()
{
    m_loopThread.store(std::thread::id {});
}

bool LoopThreadChecker::isLoopThread() const
{
    return m_loopThread.load() == std::this_thread::get_id();
}

void LoopThreadChecker::assertOnLoopThread(const char* entryPoint) const
{
    CORVANTIS_ASSERT(isLoopThread(), entryPoint, " runs on its event loop's thread only");
}

} // namespace corvantis
