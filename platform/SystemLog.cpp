#include "platform/SystemLog.h"

#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace corvantis {

namespace {

Mutex g_mutex;
std::function<void(const std::string&)> g_sink GUARDED_BY(g_mutex);

// The process's pid, read once: every line carries it, and a system call per line is dear where each one
// costs a trip through the hypervisor. A forked child reads its own again.
std::atomic<pid_t> g_pid { 0 };

pid_t OwnPid()
{
    static const int forgetInChildren = ::pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); });
    (void)forgetInChildren;
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = ::getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

} // namespace

void SystemLog(const std::string& line)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local {};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[64];
    const int prefixLength = std::snprintf(
        prefix, sizeof prefix, "%s.%03lld [%d] ", stamp, static_cast<long long>(millis), static_cast<int>(OwnPid()));
    // Put together before the lock, which then covers only the one write of the whole line.
    std::string text;
    text.reserve(static_cast<std::size_t>(prefixLength) + line.size() + 1);
    text.append(prefix, static_cast<std::size_t>(prefixLength));
    text += line;
    text += '\n';
    MutexLock lock(g_mutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    if (g_sink)
        g_sink(line);
}

void SetSystemLogSink(std::function<void(const std::string& line)> sink)
{
    MutexLock lock(g_mutex);
    g_sink = std::move(sink);
}

} // namespace corvantis
