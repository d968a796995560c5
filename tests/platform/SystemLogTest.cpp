#include "platform/SystemLog.h"
#include "platform/UniqueFd.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantis {
namespace {

// A forked child's pid, a newline, and what the child wrote with SystemLog(line) on its standard error.
std::string LoggedByAChild(const std::string& line)
{
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(writeEnd.get(), STDERR_FILENO);
        SystemLog(line);
        ::_exit(0);
    }
    writeEnd.reset();
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(child, &status, 0);
    return std::to_string(child) + "\n" + text;
}

TEST(SystemLogTest, EachLineCarriesTheTimeAndThePidOfTheProcessThatWroteIt)
{
    // The parent has logged (and so knows its pid) before the child forks; the child's line still names it.
    SystemLog("Corvantis system log test: parent");
    const std::string got = LoggedByAChild("a line with [brackets] and 100%s");
    const std::string childPid = got.substr(0, got.find('\n'));
    const std::string line = got.substr(got.find('\n') + 1);
    const std::regex shape(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(\d+)\] a line with \[brackets\] and 100%s\n)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    EXPECT_EQ(match[1].str(), childPid);
    EXPECT_NE(match[1].str(), std::to_string(::getpid()));
}

} // namespace
} // namespace corvantis
