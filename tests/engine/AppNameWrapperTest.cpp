#include "extension/engine/AppNameWrapper.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogEventWrap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvantis {
namespace {

struct DisplayCase {
    const char* name;
    const char* revDns;
    const char* bsdName;
    const char* packetName;
    const char* packetShortName;
    const char* expected;
};

TEST(AppNameWrapperTest, DisplayNameJoinsBestNameAndIdentifier)
{
    const std::vector<DisplayCase> cases = {
        { "short name and identifier", "org.example.browser", "browser-bin", "Browser App", "Browser",
            "Browser, org.example.browser" },
        { "package name when no short name", "org.example.tool", "tool", "Example Tool", "",
            "Example Tool, org.example.tool" },
        { "process name when no package", "curl", "curl-7", "", "", "curl-7, curl" },
        { "only a process name", "", "sshd", "", "", "sshd" },
        { "only an identifier", "org.example.daemon", "", "", "", "org.example.daemon" },
        { "executable name standing in for the identifier", "curl", "curl", "", "", "curl" },
        { "all empty", "", "", "", "", "<unknown>" },
    };
    for (const DisplayCase& c : cases) {
        SCOPED_TRACE(c.name);
        const AppNameWrapper wrapper(c.revDns, c.bsdName, c.packetName, c.packetShortName, "/usr/bin/x", 42);
        EXPECT_EQ(wrapper.getName().displayName, c.expected);
    }
}

TEST(AppNameWrapperTest, RecordCarriesEveryNameAndThePid)
{
    const AppNameWrapper wrapper("org.example.app", "app", "Example App", "App", "/opt/example/bin/app", 2147483647);
    const CLogContext info = wrapper.getName();
    EXPECT_EQ(info.revDns, "org.example.app");
    EXPECT_EQ(info.bsdName, "app");
    EXPECT_EQ(info.packetName, "Example App");
    EXPECT_EQ(info.packetShortName, "App");
    EXPECT_EQ(info.fullPath, "/opt/example/bin/app");
    EXPECT_EQ(info.pid, 2147483647);
    EXPECT_EQ(wrapper.pid(), 2147483647);
    EXPECT_EQ(info.BestName(), "App");
}

TEST(AppNameWrapperTest, ExecutableNameOfAPath)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "/usr/bin/curl", "curl" },
        { "/usr/lib/browser/browser (deleted)", "browser" },
        { "relative/tool", "tool" },
        { "bare", "bare" },
        { "/usr/bin/", "" },
        { "", "" },
        { " (deleted)", " (deleted)" },
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(AppNameWrapper::ExecutableName(path), expected);
    }
}

// The wrapper is what the flow code hands to the logging bridge: the line carries the application's name.
TEST(AppNameWrapperTest, LogLinesThroughTheBridgeNameTheApplication)
{
    CLog& log = GetLog();
    const int oldLevel = log.GetScreenLevel();
    log.SetScreenLevel(kLogError);
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    while (log.PopLogRecord(false, isError, time, line)) { }

    const AppNameWrapper wrapper("org.example.app", "app", "", "Example", "/opt/app", 7);
    LogEventWrap::putLogErrorFromApp(&wrapper, "flow failed");
    ASSERT_TRUE(log.PopLogRecord(false, isError, time, line));
    EXPECT_TRUE(isError);
    EXPECT_NE(line.find("Example"), std::string::npos) << line;
    EXPECT_NE(line.find("flow failed"), std::string::npos) << line;
    log.SetScreenLevel(oldLevel);
}

} // namespace
} // namespace corvantis
