#include "core/foundation/LogTrace.h"

#include <chrono>
#include <unistd.h>

namespace corvantis {

void LogTimingLine(CLog& log, const char* routine, int place, const std::string& suffix)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    CLogMessage(log, kLogVerbose) << routine << ":" << place << " T=" << ms
                                  << " S=" << static_cast<long long>(::gettid()) << suffix;
}

void LogTimingLine(const char* routine, int place, const std::string& suffix)
{
    LogTimingLine(GetLog(), routine, place, suffix);
}

} // namespace corvantis
