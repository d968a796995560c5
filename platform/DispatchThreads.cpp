#include "platform/DispatchThreads.h"

#include "platform/Mutex.h"
#include "platform/ThreadName.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <pthread.h>
#include <queue>
#include <thread>
#include <vector>

namespace corvantis::dispatch_detail {

void prepareLayerThread(const std::string& name)
{
    setCurrentThreadName(name);
    sigset_t set;
    sigfillset(&set);
    for (int sig : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS })
        sigdelset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void runGuarded(const std::function<void()>& block, const std::string& where) noexcept
{
    try {
        block();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Corvantis: exception left a block of \"%s\": %s\n", where.c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "Corvantis: unknown exception left a block of \"%s\"\n", where.c_str());
    }
}

namespace {

// One thread that fires delayed calls in deadline order. Lives for the whole process (never destroyed, so
// no exit-time join races with calls still pending).
class TimerThread final {
public:
    static TimerThread& instance()
    {
        static TimerThread* timers = new TimerThread();
        return *timers;
    }

    void add(std::chrono::steady_clock::time_point deadline, std::function<void()> fire)
    {
        MutexLock lock(m_mutex);
        m_entries.push(Entry { deadline, m_nextSeq++, std::move(fire) });
        if (!m_started) {
            m_started = true;
            std::thread([this] { run(); }).detach();
        }
        m_cv.signal();
    }

private:
    struct Entry {
        std::chrono::steady_clock::time_point deadline;
        std::uint64_t seq; // keeps equal deadlines in submission order
        std::function<void()> fire;
        bool operator>(const Entry& o) const { return deadline != o.deadline ? deadline > o.deadline : seq > o.seq; }
    };

    void run()
    {
        prepareLayerThread("Corvantis timer");
        MutexLock lock(m_mutex);
        for (;;) {
            if (m_entries.empty()) {
                m_cv.wait(m_mutex);
                continue;
            }
            const auto deadline = m_entries.top().deadline;
            if (std::chrono::steady_clock::now() < deadline) {
                (void)m_cv.waitUntil(m_mutex, deadline);
                continue;
            }
            auto fire = std::move(const_cast<Entry&>(m_entries.top()).fire);
            m_entries.pop();
            lock.unlock();
            runGuarded(fire, "a delayed call");
            fire = nullptr;
            lock.lock();
        }
    }

    Mutex m_mutex;
    CondVar m_cv;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> m_entries GUARDED_BY(m_mutex);
    std::uint64_t m_nextSeq GUARDED_BY(m_mutex) = 0;
    bool m_started GUARDED_BY(m_mutex) = false;
};

} // namespace

void scheduleAt(std::chrono::steady_clock::time_point deadline, std::function<void()> fire)
{
    TimerThread::instance().add(deadline, std::move(fire));
}

} // namespace corvantis::dispatch_detail
