#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"

#include "tests/foundation/LogTestSupport.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::DrainLines;
using test::DrainRecords;
using test::PoppedRecord;
using test::ReadLogTexts;

std::vector<std::string> Drain(CLog& log)
{
    return DrainLines(log);
}

TEST(LogTest, ErrorLineReachesTheScreenQueue)
{
    CLog log;
    CLogMessage(log, kLogError) << "Cannot connect, error " << 61;
    EXPECT_EQ(Drain(log), std::vector<std::string> { "Cannot connect, error 61" });
}

TEST(LogTest, NewLogShowsErrorsAndWritesNoFile)
{
    test::TempDir dir;
    CLog log;
    log.SetLogFolder(dir.str());
    CLogMessage(log, kLogInfo) << "info";
    CLogMessage(log, kLogError) << "error";
    EXPECT_EQ(Drain(log), std::vector<std::string> { "error" });
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Length of a file line: time stamp, blank, text, line break.
constexpr uint64_t kStampLength = 19 + 1;

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_log.SetScreenLevel(0);
        m_log.SetFileLevel(2);
        m_log.SetLogFolder(m_folder.string());
    }
    void WriteLine(const std::string& text)
    {
        CLogRecord record;
        record.fileLine = text;
        record.time = ::time(nullptr);
        m_log.Write(record);
    }
    fs::path LogFile(int index) const { return m_folder / ("Corvantis." + std::to_string(index) + ".log"); }
    std::vector<std::string> ExistingLogFiles() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempDir m_dir;
    fs::path m_folder = m_dir / "home" / "Logs"; // created by the log
    CLog m_log;
};

TEST_F(LogFileTest, OpensTheCurrentFileInANewFolderForItsOwnerOnly)
{
    WriteLine("first");
    CLogMessage(m_log, kLogInfo) << "second";
    EXPECT_EQ(m_log.LogFileName(0), LogFile(0).string());
    EXPECT_EQ(ReadLogTexts(LogFile(0)), (std::vector<std::string> { "first", "second" }));
    struct stat info { };
    ASSERT_EQ(::stat(LogFile(0).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(LogFileTest, FileLineCarriesTheLocalTimeOfTheRecord)
{
    CLogRecord record;
    record.fileLine = "stamped";
    struct tm parts { };
    parts.tm_year = 2021 - 1900;
    parts.tm_mon = 2;
    parts.tm_mday = 4;
    parts.tm_hour = 5;
    parts.tm_min = 6;
    parts.tm_sec = 7;
    parts.tm_isdst = -1;
    record.time = ::mktime(&parts);
    m_log.Write(record);
    EXPECT_EQ(test::ReadFileLines(LogFile(0)), std::vector<std::string> { "2021-03-04 05:06:07 stamped" });
}

TEST_F(LogFileTest, ReopeningAppendsToTheExistingFile)
{
    WriteLine("before");
    CLog again;
    again.SetFileLevel(1);
    again.SetLogFolder(m_folder.string());
    CLogMessage(again, kLogError) << "after";
    EXPECT_EQ(ReadLogTexts(LogFile(0)), (std::vector<std::string> { "before", "after" }));
}

TEST_F(LogFileTest, FileLevelZeroWritesNothingThoughTheFileIsOpen)
{
    WriteLine("on");
    m_log.SetFileLevel(0);
    m_log.OpenLogFile();
    WriteLine("off");
    CLogMessage(m_log, kLogNone) << "level zero";
    m_log.SetFileLevel(1);
    WriteLine("on again");
    EXPECT_EQ(ReadLogTexts(LogFile(0)), (std::vector<std::string> { "on", "on again" }));
}

TEST_F(LogFileTest, NoFileBeforeTheFolderIsSetOrWhileFileLoggingIsOff)
{
    test::TempDir dir;
    CLog log;
    log.SetScreenLevel(1);
    log.SetFileLevel(0);
    log.SetLogFolder((dir / "Logs").string());
    log.SetFileLevel(3);
    CLogMessage(log, kLogError) << "no file yet";
    EXPECT_FALSE(fs::exists(dir / "Logs"));
    // Only the line itself reached the screen; opening was not even tried.
    EXPECT_EQ(Drain(log), std::vector<std::string> { "no file yet" });

    CLog unset;
    unset.SetFileLevel(4);
    unset.OpenLogFile();
    EXPECT_TRUE(Drain(unset).empty());
}

TEST_F(LogFileTest, FolderThatCannotBeCreatedIsReportedOnTheScreen)
{
    std::ofstream(m_dir / "plain-file") << "x";
    CLog log;
    log.SetScreenLevel(1);
    log.SetFileLevel(2);
    log.SetLogFolder((m_dir / "plain-file" / "Logs").string());
    auto records = DrainRecords(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].isError);
    EXPECT_EQ(records[0].line, "Log file cannot be created");

    // A later folder that works takes the file lines again.
    log.SetLogFolder(m_folder.string());
    EXPECT_TRUE(Drain(log).empty());
    CLogMessage(log, kLogError) << "written";
    EXPECT_EQ(ReadLogTexts(LogFile(0)), std::vector<std::string> { "written" });
}

TEST_F(LogFileTest, FileAtTheLimitIsRotatedOnlyByTheLineThatPassesIt)
{
    const std::string text(30, 'a');
    const uint64_t lineLength = kStampLength + text.size() + 1;
    m_log.SetMaxFileSize(2 * lineLength);
    WriteLine(text);
    WriteLine(text);
    EXPECT_EQ(fs::file_size(LogFile(0)), 2 * lineLength);
    EXPECT_FALSE(fs::exists(LogFile(1)));

    WriteLine(text);
    EXPECT_EQ(fs::file_size(LogFile(1)), 3 * lineLength);
    ASSERT_TRUE(fs::exists(LogFile(0)));
    EXPECT_EQ(fs::file_size(LogFile(0)), 0u);

    WriteLine("next");
    EXPECT_EQ(ReadLogTexts(LogFile(0)), std::vector<std::string> { "next" });
}

// Many rotations: ten files are kept, the oldest dropped, and every line sits in exactly one of them, in order.
TEST_F(LogFileTest, RotationKeepsTenFilesAndLosesNoLineBetweenThem)
{
    m_log.SetMaxFileSize(4000);
    const int total = 3000; // about 60 KB, fifteen rotations
    for (int i = 0; i < total; ++i)
        CLogMessage(m_log, kLogInfo) << "line " << i;

    std::vector<std::string> expectedNames;
    for (int index = 0; index < CLog::kKeptFiles; ++index)
        expectedNames.push_back("Corvantis." + std::to_string(index) + ".log");
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(ExistingLogFiles(), expectedNames);

    std::vector<std::string> kept;
    for (int index = CLog::kKeptFiles - 1; index >= 0; --index) {
        if (index > 0) {
            EXPECT_GT(fs::file_size(LogFile(index)), 4000u) << index;
        }
        for (const std::string& text : ReadLogTexts(LogFile(index)))
            kept.push_back(text);
    }
    ASSERT_FALSE(kept.empty());
    const int first = std::stoi(kept.front().substr(5));
    EXPECT_GT(first, 0); // the oldest files are gone
    ASSERT_EQ(kept.size(), static_cast<size_t>(total - first));
    for (size_t i = 0; i < kept.size(); ++i)
        ASSERT_EQ(kept[i], "line " + std::to_string(first + static_cast<int>(i)));
}

// The real limit: the first rotation happens once the file has grown beyond 1,048,576 bytes.
TEST_F(LogFileTest, DefaultLimitIsOneMebibyte)
{
    EXPECT_EQ(m_log.GetMaxFileSize(), 1048576u);
    const std::string text(100, 'x');
    uint64_t written = 0;
    while (!fs::exists(LogFile(1))) {
        WriteLine(text);
        written += kStampLength + text.size() + 1;
        ASSERT_LT(written, 2u * 1048576u);
    }
    EXPECT_EQ(fs::file_size(LogFile(1)), written);
    EXPECT_GT(written, 1048576u);
    EXPECT_LE(written - (kStampLength + text.size() + 1), 1048576u);
}

TEST_F(LogFileTest, FailedReopenAfterRotationStopsWritingUntilOpenedAgain)
{
    m_log.SetMaxFileSize(10);
    // The folder vanishes under the open file: the line still goes to the open file, but the file cannot be
    // reopened after rotation.
    fs::remove_all(m_folder);
    WriteLine("rotates, then cannot reopen");
    WriteLine("lost");
    EXPECT_FALSE(fs::exists(m_folder));
    m_log.SetMaxFileSize(1000);
    m_log.OpenLogFile();
    WriteLine("back");
    EXPECT_EQ(ExistingLogFiles(), std::vector<std::string> { "Corvantis.0.log" });
    EXPECT_EQ(ReadLogTexts(LogFile(0)), std::vector<std::string> { "back" });
}

TEST(LogQueueTest, KeepsTheNewestThousandRecords)
{
    CLog log;
    log.SetScreenLevel(2);
    for (int i = 1; i <= 1001; ++i)
        CLogMessage(log, kLogInfo) << "record " << i;
    auto lines = Drain(log);
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front(), "record 2");
    EXPECT_EQ(lines.back(), "record 1001");
}

TEST(LogQueueTest, RecordsWithoutScreenLineAreNotQueued)
{
    CLog log;
    CLogRecord record;
    record.fileLine = "file only";
    log.Write(record);
    bool isError = true;
    uint64_t time = 7;
    std::string line = "unchanged";
    EXPECT_FALSE(log.PopLogRecord(false, isError, time, line));
    EXPECT_EQ(line, "unchanged");
}

CLogRecord ScreenRecord(bool isError, time_t time, std::string line)
{
    CLogRecord record;
    record.isError = isError;
    record.time = time;
    record.screenLine = std::move(line);
    return record;
}

TEST(LogTransferTest, TextFromOneLogReadsBackInAnother)
{
    CLog sender;
    sender.SetScreenLevel(4);
    sender.Write(ScreenRecord(true, 1700000000, "SOCKS5 proxy refused, error 5"));
    sender.Write(ScreenRecord(false, 0, "time zero"));
    sender.Write(ScreenRecord(false, 4102444800, "commas, in , the line,"));
    sender.Write(ScreenRecord(true, 1700000001, std::string("host\r\n1,1,forged record\rand\0nul", 31)));
    CLogMessage(sender, kLogInfo, CLogContext { "", "org.example", "curl", "", "", "", 1 }) << "via message";

    std::string text;
    EXPECT_TRUE(sender.TakeLogText(text));
    EXPECT_EQ(text.find('\0'), std::string::npos);

    test::TempDir dir;
    CLog receiver;
    receiver.SetScreenLevel(1);
    receiver.SetFileLevel(4);
    receiver.SetLogFolder(dir.str());
    EXPECT_EQ(receiver.PutLogText(text.c_str()), 5u);

    auto received = DrainRecords(receiver);
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received[0], (PoppedRecord { true, 1700000000, "SOCKS5 proxy refused, error 5" }));
    EXPECT_EQ(received[1], (PoppedRecord { false, 0, "time zero" }));
    EXPECT_EQ(received[2], (PoppedRecord { false, 4102444800, "commas, in , the line," }));
    EXPECT_EQ(received[3], (PoppedRecord { true, 1700000001, "host  1,1,forged record and nul" }));
    EXPECT_EQ(received[4].line, "curl (org.example) - via message");
    EXPECT_FALSE(received[4].isError);
    // Received lines go to the queue only, never into the receiver's file.
    EXPECT_TRUE(ReadLogTexts(dir / "Corvantis.0.log").empty());
}

TEST(LogTransferTest, EmptyQueueGivesEmptyText)
{
    CLog log;
    std::string text = "stale";
    EXPECT_TRUE(log.TakeLogText(text));
    EXPECT_EQ(text, "");
}

TEST(LogTransferTest, TakesAtMostAThousandRecordsAtATime)
{
    CLog log;
    for (int i = 0; i < 1000; ++i)
        log.Write(ScreenRecord(false, i, "first " + std::to_string(i)));
    PoppedRecord one;
    ASSERT_TRUE(log.PopLogRecord(false, one.isError, one.time, one.line));
    for (int i = 0; i < 1000; ++i)
        log.Write(ScreenRecord(false, i, "second " + std::to_string(i)));

    std::string text;
    log.TakeLogText(text);
    CLog reader;
    EXPECT_EQ(reader.PutLogText(text.c_str()), 1000u);
    log.TakeLogText(text);
    EXPECT_EQ(reader.PutLogText(text.c_str()), 999u);
    log.TakeLogText(text);
    EXPECT_EQ(text, "");
}

TEST(LogTransferTest, ParsingStopsAtTheFirstMalformedRecord)
{
    struct Case {
        const char* name;
        const char* text;
        size_t count;
        std::vector<PoppedRecord> queued;
    };
    const Case cases[] = {
        { "two records, no final line break", "0,5,a\n1,6,b", 2, { { false, 5, "a" }, { true, 6, "b" } } },
        { "any flag but 0 is an error", "2,5,a\n", 1, { { true, 5, "a" } } },
        { "empty screen line counts but is not queued", "0,5,\n0,6,b\n", 2, { { false, 6, "b" } } },
        { "missing second comma", "0,5,a\n1,6b\n0,7,c\n", 1, { { false, 5, "a" } } },
        { "line cut by a break", "0,5,first\nforged rest\n0,7,c\n", 1, { { false, 5, "first" } } },
        { "flag is not a number", "x,5,a\n", 0, {} },
        { "negative time", "0,-5,a\n", 0, {} },
        { "time beyond 64 bits", "0,18446744073709551616,a\n", 0, {} },
        { "largest time", "0,18446744073709551615,a\n", 1, { { false, 18446744073709551615ull, "a" } } },
        { "record cut after its time", "0,5,a\n0,6", 1, { { false, 5, "a" } } },
        { "empty text", "", 0, {} },
        { "stray carriage return", "0,5,a\rb\r\n", 1, { { false, 5, "a b " } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLog log;
        EXPECT_EQ(log.PutLogText(c.text), c.count);
        EXPECT_EQ(DrainRecords(log), c.queued);
    }
    CLog log;
    EXPECT_EQ(log.PutLogText(nullptr), 0u);
}

} // namespace
} // namespace corvantis
