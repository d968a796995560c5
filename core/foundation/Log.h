#pragma once

#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <string>

namespace corvantis {

// Log levels; a smaller number is more important. A line of level L reaches a destination whose threshold is T
// when L <= T. Level 0 lines are written whatever the thresholds are (the file still needs a file level >= 1).
enum LogLevel : int {
    kLogNone = 0,
    kLogError = 1,
    kLogInfo = 2,
    kLogVerbose = 3,
    kLogDebug = 4,
};

// One committed log line. An empty screenLine means "not for the screen", an empty fileLine "not for the file".
struct CLogRecord {
    bool isError = false;
    std::string screenLine;
    std::string fileLine;
    time_t time = 0; // seconds since the epoch, taken when the message was built
};

// A process's log: the two thresholds, the size-rotated log file and the bounded queue of screen lines that one
// reader drains (the log window, or the producer of the transfer text sent to the application).
//
// Thread-safety: every member may be called from any thread. One lock serialises writers, the queues and the
// file, so file lines appear in commit order and rotation never interleaves with a write; the committing thread
// writes its own file line (there is no writer thread). The thresholds are atomics read without the lock.
class CLog final {
public:
    static constexpr uint64_t kDefaultMaxFileSize = 1048576;
    static constexpr size_t kMaxQueuedRecords = 1000;
    static constexpr int kKeptFiles = 10; // "Corvantis.0.log" (current) to "Corvantis.9.log"

    // Screen level 1, file level 0, no folder, no file.
    CLog();
    // Closes the file. The process log (GetLog) is never destroyed.
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    int GetFileLevel() const { return m_fileLevel.load(std::memory_order_relaxed); }
    int GetScreenLevel() const { return m_screenLevel.load(std::memory_order_relaxed); }
    // Thresholds 0-4 ("LogLevelFile", "LogLevelScreen"). Call OpenLogFile after changing the file level.
    void SetFileLevel(int level) { m_fileLevel.store(level, std::memory_order_relaxed); }
    void SetScreenLevel(int level) { m_screenLevel.store(level, std::memory_order_relaxed); }

    // The file is rotated once a line makes it larger than this many bytes (1,048,576 unless changed).
    void SetMaxFileSize(uint64_t bytes);
    uint64_t GetMaxFileSize() const;

    // Queues the record's screen line (at most kMaxQueuedRecords wait; the oldest is dropped beyond that), wakes
    // waiting readers, and appends the time-stamped file line to the current file when file logging is on. A
    // failed write loses that line. Rotates the file when it has grown beyond the maximum size.
    void Write(const CLogRecord& record);

    // Stores the folder of the log files and calls OpenLogFile.
    void SetLogFolder(const std::string& folder);
    std::string GetLogFolder() const;
    // (Re)opens "Corvantis.0.log" in the folder, creating missing folders, when the file level is at least 1 and a
    // folder is set. When no file is open afterwards, the level-1 line "Log file cannot be created" goes to the
    // screen queue. A file opened earlier stays open when file logging is switched off (nothing is written to it).
    void OpenLogFile();
    // folder + "/Corvantis." + index + ".log"
    std::string LogFileName(int index) const;

    // Takes the oldest queued screen record. Returns false when none is queued and `wait` is false; with `wait`
    // it blocks until one arrives. Meant for one reader per log.
    bool PopLogRecord(bool wait, bool& isError, uint64_t& time, std::string& screenLine);

    // Takes up to kMaxQueuedRecords records without waiting and replaces `text` with them in transfer form, one
    // line each: error flag (0 or 1), ",", time in seconds, ",", screen line, "\n". Line breaks and NUL bytes
    // inside a screen line become blanks, so no line can forge or hide records. Always returns true.
    bool TakeLogText(std::string& text);
    // Reads a transfer text and writes each record into this log's screen queue (never into its file). Stops at
    // the end of the text or at the first record that lacks the form above. Returns the number of records read;
    // records with an empty screen line are counted but not queued. A null text reads as empty.
    size_t PutLogText(const char* text);

private:
    std::string LogFileNameLocked(int index) const REQUIRES(m_lock);
    void WriteFileLineLocked(const CLogRecord& record) REQUIRES(m_lock);
    void RotateLocked() REQUIRES(m_lock);

    mutable Mutex m_lock;
    CondVar m_arrived;
    std::deque<CLogRecord> m_incoming GUARDED_BY(m_lock); // writers append
    std::deque<CLogRecord> m_taken GUARDED_BY(m_lock); // the reader takes from it
    FILE* m_file GUARDED_BY(m_lock) = nullptr;
    uint64_t m_maxFileSize GUARDED_BY(m_lock) = kDefaultMaxFileSize;
    std::string m_folder GUARDED_BY(m_lock);
    std::atomic<int> m_fileLevel { 0 };
    std::atomic<int> m_screenLevel { 1 };
};

// The process's log, created on first use and never destroyed (threads that outlive main may still log).
CLog& GetLog();

// The same operations on the process's log.
void OpenLogFile();
void SetLogFolder(const std::string& folder);
bool PopLogRecord(bool wait, bool& isError, uint64_t& time, std::string& screenLine);
bool TakeLogText(std::string& text);
size_t PutLogText(const char* text);

} // namespace corvantis
