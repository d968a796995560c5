#pragma once

#include "core/foundation/Log.h"
#include "core/foundation/LogContext.h"

#include <concepts>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace corvantis {

// One log line, built by streaming into a short-lived object and committed exactly once, when it is destroyed:
//
//     CLogMessage(kLogError) << "Cannot open " << path << " error " << err;
//     CLogMessage(kLogInfo, context) << "Connected to " << host;
//
// The message keeps a screen text and a file text, because an item written with WriteAt reaches only the
// destinations whose threshold admits it. At commit the line goes to each destination whose threshold is at
// least the message level, prefixed with the context in the form that destination's threshold chooses. The time
// stamp is the construction time. A message belongs to the thread that built it.
class CLogMessage final {
public:
    // A message for the process's log.
    explicit CLogMessage(int level, const std::optional<CLogContext>& context = std::nullopt);
    // A message for the given log, which must outlive the message.
    CLogMessage(CLog& log, int level, const std::optional<CLogContext>& context = std::nullopt);
    // Commits the line. Never throws; running out of memory here ends the process.
    ~CLogMessage();
    CLogMessage(const CLogMessage&) = delete;
    CLogMessage& operator=(const CLogMessage&) = delete;

    // Appends to both texts; the level test happens at commit. A null C string appends nothing.
    CLogMessage& operator<<(const char* text);
    CLogMessage& operator<<(const std::string& text);
    template <std::integral T> CLogMessage& operator<<(T value) { return *this << DecimalText(value); }

    // Appends an item that has a level of its own. When neither threshold admits `itemLevel` nothing changes;
    // otherwise the message level drops to `itemLevel` if that is smaller and the item goes to each text whose
    // threshold admits it.
    CLogMessage& WriteAt(int itemLevel, const char* text);
    CLogMessage& WriteAt(int itemLevel, const std::string& text);
    template <std::integral T> CLogMessage& WriteAt(int itemLevel, T value)
    {
        return WriteAt(itemLevel, DecimalText(value));
    }

    // The current thresholds of the message's log.
    int GetFileLevel() const { return m_log->GetFileLevel(); }
    int GetScreenLevel() const { return m_log->GetScreenLevel(); }

private:
    template <std::integral T> static std::string DecimalText(T value)
    {
        if constexpr (std::is_signed_v<T>)
            return std::to_string(static_cast<long long>(value));
        else
            return std::to_string(static_cast<unsigned long long>(value));
    }
    CLogMessage& AppendAt(int itemLevel, std::string_view text);
    void Commit() noexcept;

    CLog* m_log; // not owned
    bool m_isError;
    int m_level;
    std::optional<CLogContext> m_context;
    std::string m_screenText;
    std::string m_fileText;
    time_t m_time;
};

} // namespace corvantis
