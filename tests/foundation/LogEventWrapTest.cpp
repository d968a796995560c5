#include "core/foundation/LogEventWrap.h"

#include "core/foundation/LogContext.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/LogTrace.h"
#include "tests/foundation/LogTestSupport.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <regex>

namespace corvantis {
namespace {

using test::DrainRecords;
using test::ReadLogTexts;

// The bridge and the trace lines write to the process's log; each test gives it a fresh folder and thresholds
// and leaves its queue empty and file logging off.
class ProcessLogTest : public ::testing::Test {
protected:
    void SetUp() override { DrainRecords(GetLog()); }
    void TearDown() override
    {
        GetLog().SetFileLevel(0);
        GetLog().SetScreenLevel(1);
        DrainRecords(GetLog());
    }
    void SetLevels(int screen, int file)
    {
        GetLog().SetScreenLevel(screen);
        GetLog().SetFileLevel(file);
        SetLogFolder(m_dir.str());
    }
    std::vector<std::string> FileTexts() { return ReadLogTexts(m_dir / "Corvantis.0.log"); }

    test::TempDir m_dir;
};

class FakeApp final : public AppNameSource {
public:
    explicit FakeApp(CLogContext context)
        : m_context(std::move(context))
    {
    }
    CLogContext getName() const override { return m_context; }

private:
    CLogContext m_context;
};

TEST_F(ProcessLogTest, BridgeWritesEachLevelWhereTheThresholdsAdmitIt)
{
    SetLevels(2, 2);
    LogEventWrap::putLogVerboseFromApp(nullptr, "verbose detail");
    LogEventWrap::putLogDebugFromApp(nullptr, "debug detail");
    LogEventWrap::putLogErrorFromApp(nullptr, "XPC connection invalidated");
    auto records = DrainRecords(GetLog());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].isError);
    EXPECT_EQ(records[0].line, "XPC connection invalidated");
    EXPECT_EQ(FileTexts(), std::vector<std::string> { "XPC connection invalidated" });

    SetLevels(4, 3);
    LogEventWrap::putLogVerboseFromApp(nullptr, "verbose detail");
    LogEventWrap::putLogDebugFromApp(nullptr, "debug detail");
    records = DrainRecords(GetLog());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_FALSE(records[0].isError);
    EXPECT_EQ(records[1].line, "debug detail");
    EXPECT_EQ(FileTexts(), (std::vector<std::string> { "XPC connection invalidated", "verbose detail" }));
}

TEST_F(ProcessLogTest, BridgePrefixesTheApplicationsName)
{
    struct Case {
        const char* name;
        CLogContext context;
        int screen;
        const char* expected;
    };
    const CLogContext named { "Browser", "org.example.browser", "browser", "Browser Web", "Browser", "/usr/bin/browser",
        1234 };
    const CLogContext unnamed { "", "", "", "", "", "", -1 };
    const Case cases[] = {
        { "error line, names at error", named, 1, "Browser - flow closed" },
        { "error line, names at debug", named, 4, "Browser (org.example.browser, browser) - flow closed" },
        { "all names empty at error", unnamed, 1, "<unknown> - flow closed" },
        { "all names empty at verbose", unnamed, 3, "<unknown> - flow closed" },
        { "all names empty at debug", unnamed, 4, " - flow closed" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLevels(c.screen, 0);
        FakeApp app(c.context);
        LogEventWrap::putLogErrorFromApp(&app, "flow closed");
        auto records = DrainRecords(GetLog());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].line, c.expected);
    }
    SetLevels(4, 0);
    FakeApp app(named);
    LogEventWrap::putLogDebugFromApp(&app, "flow data");
    LogEventWrap::putLogDebugFromApp(nullptr, "no app");
    auto records = DrainRecords(GetLog());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].line, "Browser (org.example.browser, browser) - flow data");
    EXPECT_EQ(records[1].line, "no app");
}

TEST_F(ProcessLogTest, MessageTextIsWrittenAsItIs)
{
    SetLevels(1, 0);
    LogEventWrap::putLogErrorFromApp(nullptr, "100% \"quoted\" %s {} \xc3\xa9");
    auto records = DrainRecords(GetLog());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].line, "100% \"quoted\" %s {} \xc3\xa9");
}

TEST_F(ProcessLogTest, TimingLineIsAVerboseLine)
{
    SetLevels(2, 0);
    LogTimingLine("Connect", 120);
    EXPECT_TRUE(DrainRecords(GetLog()).empty());

    SetLevels(3, 0);
    LogTimingLine("Https", 215, " target=example.com:443");
    auto records = DrainRecords(GetLog());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(std::regex_match(records[0].line, std::regex(R"(Https:215 T=\d{13,} S=\d+ target=example\.com:443)")))
        << records[0].line;
}

void TracedFunction(int)
{
    CORVANTIS_DEBUG_TRACE();
}

TEST_F(ProcessLogTest, DebugTraceLineNamesFunctionFileAndLine)
{
    SetLevels(3, 3);
    TracedFunction(0);
    EXPECT_TRUE(DrainRecords(GetLog()).empty());
    EXPECT_TRUE(FileTexts().empty());

    SetLevels(4, 0);
    TracedFunction(0);
    auto records = DrainRecords(GetLog());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(std::regex_match(records[0].line,
        std::regex(R"(void corvantis::\{anonymous\}::TracedFunction\(int\) LogEventWrapTest\.cpp\d+)")))
        << records[0].line;
}

} // namespace
} // namespace corvantis
