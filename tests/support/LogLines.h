#pragma once

#include "core/foundation/Log.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis::test {

// The screen lines waiting in `log`'s queue, oldest first, taken out of it (the process log by default).
inline std::vector<std::string> TakeScreenLines(CLog& log = GetLog())
{
    std::vector<std::string> lines;
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    while (log.PopLogRecord(false, isError, time, line))
        lines.push_back(line);
    return lines;
}

} // namespace corvantis::test
