#include "tests/support/FakeMainThread.h"

#include <future>

namespace corvantis::test {

FakeMainThread::FakeMainThread()
    : m_thread([this] { loop(); })
{
}

FakeMainThread::~FakeMainThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    m_thread.join();
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        dropped.swap(m_tasks);
    }
}

bool FakeMainThread::isMainThread() const
{
    return std::this_thread::get_id() == m_thread.get_id();
}

void FakeMainThread::post(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_cond.notify_all();
}

void FakeMainThread::runAndWait(std::function<void()> task)
{
    std::promise<void> done;
    post([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

void FakeMainThread::loop()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex);
            m_cond.wait(lock, [&] { return m_stop || !m_tasks.empty(); });
            if (m_stop)
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

} // namespace corvantis::test
