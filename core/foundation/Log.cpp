#include "core/foundation/Log.h"

#include "core/foundation/LogMessage.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

// Log lines carry host and application names: the files are readable by their owner only.
FILE* OpenForAppend(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE* file = ::fdopen(fd, "ab+");
    if (!file)
        ::close(fd);
    return file;
}

// "%Y-%m-%d %H:%M:%S" in local time.
std::string LocalTimeText(time_t time)
{
    struct tm parts { };
    if (!localtime_r(&time, &parts))
        return {};
    char buffer[80];
    size_t length = strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts);
    return std::string(buffer, length);
}

// A screen line as it may travel in the transfer text: the record and line separators it would otherwise carry
// (CR, LF, and NUL, which ends the text on the receiving side) become blanks.
void AppendTransferLine(std::string& text, const std::string& line)
{
    size_t start = text.size();
    text += line;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r' || text[i] == '\0')
            text[i] = ' ';
    }
}

// Reads an unsigned decimal number at `pos`; false when there is none or it does not fit.
template <typename T> bool ReadNumber(const char* text, size_t end, size_t& pos, T& value)
{
    auto [next, error] = std::from_chars(text + pos, text + end, value);
    if (error != std::errc() || next == text + pos)
        return false;
    pos = static_cast<size_t>(next - text);
    return true;
}

} // namespace

CLog::CLog() = default;

CLog::~CLog()
{
    MutexLock guard(m_lock);
    if (m_file) {
        ::fclose(m_file);
        m_file = nullptr;
    }
}

void CLog::SetMaxFileSize(uint64_t bytes)
{
    MutexLock guard(m_lock);
    m_maxFileSize = bytes;
}

uint64_t CLog::GetMaxFileSize() const
{
    MutexLock guard(m_lock);
    return m_maxFileSize;
}

void CLog::Write(const CLogRecord& record)
{
    MutexLock guard(m_lock);
    if (!record.screenLine.empty()) {
        m_incoming.push_back(record);
        if (m_incoming.size() > kMaxQueuedRecords)
            m_incoming.pop_front();
    }
    m_arrived.signalAll();
    if (GetFileLevel() == 0 || !m_file || record.fileLine.empty())
        return;
    WriteFileLineLocked(record);
}

void CLog::WriteFileLineLocked(const CLogRecord& record)
{
    std::string line = LocalTimeText(record.time);
    line += ' ';
    line += record.fileLine;
    line += '\n';
    if (::fwrite(line.data(), 1, line.size(), m_file) != line.size())
        return;
    ::fflush(m_file);
    struct stat info { };
    if (::fstat(::fileno(m_file), &info) != 0)
        return;
    if (static_cast<uint64_t>(info.st_size) > m_maxFileSize)
        RotateLocked();
}

void CLog::RotateLocked()
{
    ::fclose(m_file);
    m_file = nullptr;
    ::remove(LogFileNameLocked(kKeptFiles - 1).c_str());
    for (int index = kKeptFiles - 2; index >= 0; --index)
        ::rename(LogFileNameLocked(index).c_str(), LogFileNameLocked(index + 1).c_str());
    m_file = OpenForAppend(LogFileNameLocked(0));
}

std::string CLog::LogFileName(int index) const
{
    MutexLock guard(m_lock);
    return LogFileNameLocked(index);
}

std::string CLog::LogFileNameLocked(int index) const
{
    return m_folder + "/Corvantis." + std::to_string(index) + ".log";
}

void CLog::SetLogFolder(const std::string& folder)
{
    {
        MutexLock guard(m_lock);
        m_folder = folder;
    }
    OpenLogFile();
}

std::string CLog::GetLogFolder() const
{
    MutexLock guard(m_lock);
    return m_folder;
}

void CLog::OpenLogFile()
{
    bool open = false;
    {
        MutexLock guard(m_lock);
        if (GetFileLevel() < 1 || m_folder.empty())
            return;
        std::error_code error;
        std::filesystem::create_directories(m_folder, error);
        if (!error) {
            if (m_file)
                ::fclose(m_file);
            m_file = OpenForAppend(LogFileNameLocked(0));
        }
        open = m_file != nullptr;
    }
    if (!open)
        CLogMessage(*this, kLogError) << "Log file cannot be created";
}

bool CLog::PopLogRecord(bool wait, bool& isError, uint64_t& time, std::string& screenLine)
{
    MutexLock guard(m_lock);
    if (m_taken.empty()) {
        if (m_incoming.empty()) {
            if (!wait)
                return false;
            while (m_incoming.empty())
                m_arrived.wait(m_lock);
        }
        m_taken.swap(m_incoming);
        m_incoming.clear();
    }
    if (m_taken.empty())
        return false;
    CLogRecord& front = m_taken.front();
    isError = front.isError;
    time = static_cast<uint64_t>(front.time);
    screenLine = std::move(front.screenLine);
    m_taken.pop_front();
    return true;
}

bool CLog::TakeLogText(std::string& text)
{
    std::string result;
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    for (size_t count = 0; count < kMaxQueuedRecords && PopLogRecord(false, isError, time, line); ++count) {
        result += isError ? "1," : "0,";
        result += std::to_string(time);
        result += ',';
        AppendTransferLine(result, line);
        result += '\n';
    }
    text = std::move(result);
    return true;
}

size_t CLog::PutLogText(const char* text)
{
    if (!text)
        return 0;
    const size_t end = ::strlen(text);
    size_t pos = 0;
    size_t count = 0;
    while (pos < end) {
        unsigned flag = 0;
        uint64_t time = 0;
        if (!ReadNumber(text, end, pos, flag) || pos >= end || text[pos] != ',')
            break;
        ++pos;
        if (!ReadNumber(text, end, pos, time) || pos >= end || text[pos] != ',')
            break;
        ++pos;
        const char* lineEnd = static_cast<const char*>(::memchr(text + pos, '\n', end - pos));
        size_t stop = lineEnd ? static_cast<size_t>(lineEnd - text) : end;
        CLogRecord record;
        record.isError = flag != 0;
        record.time = static_cast<time_t>(time);
        AppendTransferLine(record.screenLine, std::string(text + pos, stop - pos));
        pos = lineEnd ? stop + 1 : end;
        Write(record);
        ++count;
    }
    return count;
}

CLog& GetLog()
{
    // Never destroyed: detached threads may still log while the program exits.
    static CLog* const log = new CLog();
    return *log;
}

void OpenLogFile()
{
    GetLog().OpenLogFile();
}
void SetLogFolder(const std::string& folder)
{
    GetLog().SetLogFolder(folder);
}
bool PopLogRecord(bool wait, bool& isError, uint64_t& time, std::string& screenLine)
{
    return GetLog().PopLogRecord(wait, isError, time, screenLine);
}
bool TakeLogText(std::string& text)
{
    return GetLog().TakeLogText(text);
}
size_t PutLogText(const char* text)
{
    return GetLog().PutLogText(text);
}

} // namespace corvantis
