#include "platform/SystemLog.h"

#include "platform/Mutex.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace corvantis {

namespace {

Mutex g_mutex;
std::function<void(const std::string&)> g_sink GUARDED_BY(g_mutex);

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
    MutexLock lock(g_mutex);
    std::fprintf(stderr, "%s.%03lld [%d] %s\n", stamp, static_cast<long long>(millis), static_cast<int>(::getpid()),
        line.c_str());
    if (g_sink)
        g_sink(line);
}

void SetSystemLogSink(std::function<void(const std::string& line)> sink)
{
    MutexLock lock(g_mutex);
    g_sink = std::move(sink);
}

} // namespace corvantis
