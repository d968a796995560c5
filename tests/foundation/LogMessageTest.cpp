#include "core/foundation/LogMessage.h"

#include "tests/foundation/LogTestSupport.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::DrainLines;
using test::DrainRecords;
using test::ReadLogTexts;

// A log of its own with a file in a temporary folder, so that each test sees only its own lines.
class LogMessageTest : public ::testing::Test {
protected:
    void SetLevels(int screen, int file)
    {
        m_log.SetScreenLevel(screen);
        m_log.SetFileLevel(file);
        m_log.SetLogFolder(m_dir.str());
    }
    std::vector<std::string> FileTexts() { return ReadLogTexts(m_dir / "Corvantis.0.log"); }

    test::TempDir m_dir;
    CLog m_log;
};

CLogContext Context(std::string shortName, std::string packetName, std::string revDns, std::string bsdName)
{
    CLogContext context;
    context.displayName = "display text is never shown";
    context.packetShortName = std::move(shortName);
    context.packetName = std::move(packetName);
    context.revDns = std::move(revDns);
    context.bsdName = std::move(bsdName);
    context.fullPath = "/usr/bin/curl";
    context.pid = 4242;
    return context;
}

TEST_F(LogMessageTest, StreamsTextsAndNumbersIntoBothLines)
{
    SetLevels(2, 2);
    CLogMessage(m_log, kLogError) << "Cannot connect to " << std::string("proxy") << ", error " << int64_t { -61 }
                                  << " sent " << uint64_t { 18446744073709551615ull }
                                  << static_cast<const char*>(nullptr);
    const std::string expected = "Cannot connect to proxy, error -61 sent 18446744073709551615";
    auto records = DrainRecords(m_log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].isError);
    EXPECT_EQ(records[0].line, expected);
    EXPECT_EQ(FileTexts(), std::vector<std::string> { expected });
}

TEST_F(LogMessageTest, ContextPrefixFollowsTheDestinationThreshold)
{
    struct Case {
        const char* name;
        CLogContext context;
        int threshold;
        const char* expected;
    };
    const CLogContext full = Context("S", "P", "R", "B");
    const CLogContext empty = Context("", "", "", "");
    const Case cases[] = {
        { "all names, none", full, 0, "S - text" },
        { "all names, error", full, 1, "S - text" },
        { "all names, info", full, 2, "S - text" },
        { "all names, verbose", full, 3, "S(R) - text" },
        { "all names, debug", full, 4, "S (R, B) - text" },
        { "no names, error", empty, 1, "<unknown> - text" },
        { "no names, info", empty, 2, "<unknown> - text" },
        { "no names, verbose", empty, 3, "<unknown> - text" },
        { "no names, debug", empty, 4, " - text" },
        { "package name stands in for the short name", Context("", "P", "R", "B"), 2, "P - text" },
        { "process name last", Context("", "", "R", "B"), 2, "B - text" },
        { "bundle id when no name", Context("", "", "R", ""), 2, "R - text" },
        { "bundle id alone, verbose", Context("", "", "R", ""), 3, "(R) - text" },
        { "bundle id alone, debug", Context("", "", "R", ""), 4, " (R) - text" },
        { "bundle id equal to the name", Context("", "P", "P", ""), 3, "P - text" },
        { "bundle id equal to the name, debug", Context("", "P", "P", "B"), 4, "P (B) - text" },
        { "process name is the best name, debug", Context("", "", "R", "B"), 4, "B (R) - text" },
        { "no bundle id, verbose", Context("S", "", "", "B"), 3, "S - text" },
        { "no bundle id, debug", Context("S", "", "", "B"), 4, "S (B) - text" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.SetScreenLevel(c.threshold);
        CLogMessage(m_log, kLogNone, c.context) << "text";
        EXPECT_EQ(DrainLines(m_log), std::vector<std::string> { c.expected });
    }
}

TEST_F(LogMessageTest, ScreenAndFileEachGetTheirOwnPrefixForm)
{
    SetLevels(4, 2);
    CLogMessage(m_log, kLogInfo, Context("S", "P", "R", "B")) << "connected";
    EXPECT_EQ(DrainLines(m_log), std::vector<std::string> { "S (R, B) - connected" });
    EXPECT_EQ(FileTexts(), std::vector<std::string> { "S - connected" });
}

TEST_F(LogMessageTest, MessageWithoutContextHasNoSeparator)
{
    SetLevels(4, 4);
    CLogMessage(m_log, kLogInfo) << "Profile loaded";
    EXPECT_EQ(DrainLines(m_log), std::vector<std::string> { "Profile loaded" });
    EXPECT_EQ(FileTexts(), std::vector<std::string> { "Profile loaded" });
}

TEST_F(LogMessageTest, LevelDecidesWhichDestinationsGetTheLine)
{
    struct Case {
        const char* name;
        int level;
        int screen;
        int file;
        bool onScreen;
        bool inFile;
    };
    const Case cases[] = {
        { "level 0 reaches the screen at threshold 0", kLogNone, 0, 0, true, false },
        { "level 0 reaches the file once file logging is on", kLogNone, 0, 1, true, true },
        { "debug line with screen at info goes to the file only", kLogDebug, 2, 4, false, true },
        { "info line with both at error goes nowhere", kLogInfo, 1, 1, false, false },
        { "verbose line at verbose thresholds goes to both", kLogVerbose, 3, 3, true, true },
        { "error line with file logging off goes to the screen only", kLogError, 1, 0, true, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        CLog log;
        log.SetScreenLevel(c.screen);
        log.SetFileLevel(1); // open the file, then set the level under test
        log.SetLogFolder(dir.str());
        log.SetFileLevel(c.file);
        CLogMessage(log, c.level) << "line";
        EXPECT_EQ(DrainLines(log).size(), c.onScreen ? 1u : 0u);
        EXPECT_EQ(ReadLogTexts(dir / "Corvantis.0.log").size(), c.inFile ? 1u : 0u);
    }
}

TEST_F(LogMessageTest, LeveledItemsReachOnlyTheDestinationsThatAdmitThem)
{
    SetLevels(2, 4);
    CLogMessage(m_log, kLogError)
        .WriteAt(kLogError, "Connect failed")
        .WriteAt(kLogVerbose, " after 3 tries")
        .WriteAt(kLogDebug, std::string(" in step "))
        .WriteAt(kLogDebug, 7);
    EXPECT_EQ(DrainLines(m_log), std::vector<std::string> { "Connect failed" });
    EXPECT_EQ(FileTexts(), std::vector<std::string> { "Connect failed after 3 tries in step 7" });
}

TEST_F(LogMessageTest, LeveledItemCanLowerTheMessageLevel)
{
    SetLevels(1, 0);
    // An info message is not shown at threshold 1, but its error item lowers it to level 1; it keeps the
    // error flag it was built with.
    CLogMessage(m_log, kLogInfo) << "not shown";
    EXPECT_TRUE(DrainLines(m_log).empty());
    CLogMessage(m_log, kLogInfo).WriteAt(kLogError, "disk full");
    auto records = DrainRecords(m_log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].line, "disk full");
    EXPECT_FALSE(records[0].isError);
}

TEST_F(LogMessageTest, ItemAboveBothThresholdsChangesNothing)
{
    SetLevels(2, 2);
    CLogMessage(m_log, kLogInfo).WriteAt(kLogDebug, "hidden") << "shown";
    EXPECT_EQ(DrainLines(m_log), std::vector<std::string> { "shown" });

    // The same item at level 4 does not lower a level-3 message either: it stays below the thresholds.
    CLogMessage(m_log, kLogVerbose).WriteAt(kLogDebug, "hidden") << "not shown";
    EXPECT_TRUE(DrainLines(m_log).empty());
}

} // namespace
} // namespace corvantis
