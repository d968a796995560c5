#pragma once

#include "core/foundation/LogMessage.h"

#include <string>
#include <string_view>

namespace corvantis {

// Timing trace line, written at level 3 by routines whose timing item is switched on:
// "<routine>:<place> T=<wall-clock milliseconds> S=<thread id>" followed by `suffix`. `place` is a fixed number
// that marks the step inside the routine (usually the source line).
void LogTimingLine(CLog& log, const char* routine, int place, const std::string& suffix = std::string());
void LogTimingLine(const char* routine, int place, const std::string& suffix = std::string());

// The file name part of a source path ("Log.cpp" of ".../core/foundation/Log.cpp").
constexpr const char* LogSourceFileName(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/')
            name = p + 1;
    }
    return name;
}

} // namespace corvantis

// Debug trace line (level 4): the calling function's full name, " ", the source file name and the line number run
// together. Costs only the level tests when the debug level is off.
#define CORVANTIS_DEBUG_TRACE()                                                                                        \
    ::corvantis::CLogMessage(::corvantis::kLogDebug)                                                                   \
        .WriteAt(::corvantis::kLogDebug, __PRETTY_FUNCTION__)                                                          \
        .WriteAt(::corvantis::kLogDebug, " ")                                                                          \
        .WriteAt(::corvantis::kLogDebug, ::corvantis::LogSourceFileName(__FILE__))                                     \
        .WriteAt(::corvantis::kLogDebug, __LINE__)
