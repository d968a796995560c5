#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"

#include "tests/foundation/LogTestSupport.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

// Splits "w<writer> n<number>" into its two numbers.
bool ParseLine(const std::string& line, int& writer, int& number)
{
    return std::sscanf(line.c_str(), "w%d n%d", &writer, &number) == 2;
}

// Writers commit lines while the file rotates many times and a reader drains the screen queue: every line is in
// exactly one file, each writer's lines in its own order, and the queue hands each line out once, in order.
TEST(LogMtTest, ConcurrentWritersLoseNothingAcrossRotations)
{
    constexpr int kWriters = 4;
    constexpr int kLinesEach = 1500;
    test::TempDir dir;
    CLog log;
    log.SetScreenLevel(2);
    log.SetFileLevel(2);
    log.SetLogFolder(dir.str());
    // About 180 KB in all: rotated about six times, so all ten files together still hold every line.
    log.SetMaxFileSize(30000);

    std::atomic<int> running { kWriters };
    std::vector<std::string> popped;
    std::thread reader([&] {
        bool isError = false;
        uint64_t time = 0;
        std::string line;
        for (;;) {
            const bool done = running.load() == 0;
            while (log.PopLogRecord(false, isError, time, line))
                popped.push_back(line);
            if (done)
                break;
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int n = 0; n < kLinesEach; ++n)
                CLogMessage(log, kLogInfo) << "w" << w << " n" << n;
            --running;
        });
    }
    for (auto& writer : writers)
        writer.join();
    reader.join();

    EXPECT_FALSE(fs::exists(dir / "Corvantis.9.log")); // nothing rotated away
    ASSERT_TRUE(fs::exists(dir / "Corvantis.1.log")); // but rotated several times
    std::vector<std::string> inFiles;
    std::map<int, int> nextInFiles;
    for (int index = CLog::kKeptFiles - 1; index >= 0; --index) {
        for (const std::string& text : test::ReadLogTexts(dir / ("Corvantis." + std::to_string(index) + ".log"))) {
            int writer = -1;
            int number = -1;
            ASSERT_TRUE(ParseLine(text, writer, number)) << text;
            ASSERT_EQ(number, nextInFiles[writer]) << "writer " << writer << " in file " << index;
            ++nextInFiles[writer];
            inFiles.push_back(text);
        }
    }
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(nextInFiles[w], kLinesEach) << w;

    // The files hold the commit order. The queue keeps at most 1,000 lines, so a slow reader may miss some, but
    // what it gets follows the same order, without repeats, and ends with the last line committed.
    ASSERT_GE(popped.size(), CLog::kMaxQueuedRecords);
    size_t at = 0;
    for (const std::string& line : popped) {
        while (at < inFiles.size() && inFiles[at] != line)
            ++at;
        ASSERT_LT(at, inFiles.size()) << "out of order or repeated: " << line;
        ++at;
    }
    EXPECT_EQ(popped.back(), inFiles.back());
}

// A waiting reader wakes up for a line committed by another thread.
TEST(LogMtTest, WaitingReaderGetsTheNextLine)
{
    CLog log;
    log.SetScreenLevel(2);
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    std::thread reader([&] { EXPECT_TRUE(log.PopLogRecord(true, isError, time, line)); });
    CLogMessage(log, kLogError) << "wake up";
    reader.join();
    EXPECT_TRUE(isError);
    EXPECT_EQ(line, "wake up");
}

// Thresholds change while lines are committed and the folder is reopened: no data race, no lost file.
TEST(LogMtTest, ThresholdChangesAndReopensRaceWithWriters)
{
    test::TempDir dir;
    CLog log;
    log.SetFileLevel(2);
    log.SetLogFolder(dir.str());
    std::atomic<bool> stop { false };
    std::thread changer([&] {
        for (int i = 0; !stop.load(); ++i) {
            log.SetScreenLevel(i % 5);
            log.SetFileLevel(1 + i % 4);
            log.OpenLogFile();
            std::string text;
            log.TakeLogText(text);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&] {
            for (int n = 0; n < 500; ++n)
                CLogMessage(log, kLogError) << "error " << n;
        });
    }
    for (auto& writer : writers)
        writer.join();
    stop = true;
    changer.join();
    // Error lines pass every file level from 1 up, so all of them are in the file.
    EXPECT_EQ(test::ReadLogTexts(dir / "Corvantis.0.log").size(), 1500u);
}

} // namespace
} // namespace corvantis
