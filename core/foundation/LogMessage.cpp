#include "core/foundation/LogMessage.h"

namespace corvantis {

CLogMessage::CLogMessage(int level, const std::optional<CLogContext>& context)
    : CLogMessage(GetLog(), level, context)
{
}

CLogMessage::CLogMessage(CLog& log, int level, const std::optional<CLogContext>& context)
    : m_log(&log)
    , m_isError(level == kLogError)
    , m_level(level)
    , m_context(context)
    , m_time(::time(nullptr))
{
}

CLogMessage::~CLogMessage()
{
    Commit();
}

CLogMessage& CLogMessage::operator<<(const char* text)
{
    if (text) {
        m_screenText += text;
        m_fileText += text;
    }
    return *this;
}

CLogMessage& CLogMessage::operator<<(const std::string& text)
{
    m_screenText += text;
    m_fileText += text;
    return *this;
}

CLogMessage& CLogMessage::WriteAt(int itemLevel, const char* text)
{
    return AppendAt(itemLevel, text ? std::string_view(text) : std::string_view());
}

CLogMessage& CLogMessage::WriteAt(int itemLevel, const std::string& text)
{
    return AppendAt(itemLevel, text);
}

CLogMessage& CLogMessage::AppendAt(int itemLevel, std::string_view text)
{
    const int fileLevel = GetFileLevel();
    const int screenLevel = GetScreenLevel();
    if (fileLevel < itemLevel && screenLevel < itemLevel)
        return *this;
    if (itemLevel < m_level)
        m_level = itemLevel;
    if (screenLevel >= itemLevel)
        m_screenText += text;
    if (fileLevel >= itemLevel)
        m_fileText += text;
    return *this;
}

void CLogMessage::Commit() noexcept
{
    const int fileLevel = GetFileLevel();
    const int screenLevel = GetScreenLevel();
    if (m_level > fileLevel && m_level > screenLevel)
        return;
    CLogRecord record;
    record.isError = m_isError;
    record.time = m_time;
    if (m_level <= screenLevel)
        record.screenLine = (m_context ? m_context->PrefixFor(screenLevel) + " - " : std::string()) + m_screenText;
    if (m_level <= fileLevel)
        record.fileLine = (m_context ? m_context->PrefixFor(fileLevel) + " - " : std::string()) + m_fileText;
    m_log->Write(record);
}

} // namespace corvantis
