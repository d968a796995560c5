#include "Log.h"
#include "LogMessage.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

std::vector<std::string> Drain(CLog& log)
{
    std::vector<std::string> lines;
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    while (log.PopLogRecord(false, isError, time, line))
        lines.push_back(line);
    return lines;
}

TEST(LogMessageTest, ErrorLineReachesTheScreenQueue)
{
    CLog log;
    CLogMessage(log, kLogError) << "Cannot connect, error " << 61;
    EXPECT_EQ(Drain(log), std::vector<std::string> { "Cannot connect, error 61" });
}

} // namespace
} // namespace corvantis
