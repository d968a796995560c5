#include "platform/netext/AuditToken.h"

#include "platform/ProcessInfo.h"
#include "platform/netext/ProcFiles.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace corvantis {

namespace {

constexpr uint32_t kUnsetId = 0xFFFFFFFFu;
// Fields of /proc/PID/stat after the command name: the state is field 3, the start time field 22.
constexpr int kStartTimeIndexAfterName = 22 - 3;

template <typename Number> std::optional<Number> ParseNumber(std::string_view text)
{
    Number value {};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

std::string_view NextWord(std::string_view& text)
{
    std::size_t start = text.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    std::size_t end = text.find_first_of(" \t\n", start);
    if (end == std::string_view::npos)
        end = text.size();
    std::string_view word = text.substr(start, end - start);
    text.remove_prefix(end);
    return word;
}

std::optional<uint64_t> StartTimeFromStat(std::string_view stat)
{
    // The command name may itself hold spaces and ')', so only the last ')' ends it.
    std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = stat.substr(nameEnd + 1);
    for (int index = 0; index < kStartTimeIndexAfterName; ++index) {
        if (NextWord(rest).empty())
            return std::nullopt;
    }
    return ParseNumber<uint64_t>(NextWord(rest));
}

uint32_t LoginUid(pid_t pid)
{
    std::optional<std::string> text = ReadSmallFile(ProcPath(pid, "loginuid"));
    if (!text)
        return kUnsetId;
    std::string_view rest = *text;
    return ParseNumber<uint32_t>(NextWord(rest)).value_or(kUnsetId);
}

uint32_t RealUid(pid_t pid)
{
    std::optional<std::string> text = ReadSmallFile(ProcPath(pid, "status"));
    if (!text)
        return kUnsetId;
    constexpr std::string_view kUidLine = "Uid:";
    std::string_view rest = *text;
    while (!rest.empty()) {
        std::size_t lineEnd = rest.find('\n');
        std::string_view line = rest.substr(0, lineEnd);
        rest = lineEnd == std::string_view::npos ? std::string_view() : rest.substr(lineEnd + 1);
        if (line.substr(0, kUidLine.size()) != kUidLine)
            continue;
        line.remove_prefix(kUidLine.size());
        return ParseNumber<uint32_t>(NextWord(line)).value_or(kUnsetId);
    }
    return kUnsetId;
}

} // namespace

std::optional<uint64_t> ProcessStartTime(pid_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    try {
        std::optional<std::string> stat = ReadSmallFile(ProcPath(pid, "stat"));
        if (!stat)
            return std::nullopt;
        return StartTimeFromStat(*stat);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<AuditToken> AuditToken::ForProcess(pid_t pid, uint64_t socketInode)
{
    std::optional<uint64_t> startTime = ProcessStartTime(pid);
    if (!startTime)
        return std::nullopt;
    try {
        AuditToken token;
        token.pid = pid;
        token.auid = LoginUid(pid);
        token.uid = RealUid(pid);
        token.startTime = *startTime;
        token.socketInode = socketInode;
        return token;
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<uint8_t> AuditToken::Bytes() const
{
    std::vector<uint8_t> bytes(kSize, 0);
    uint8_t* out = bytes.data();
    int32_t pid32 = pid;
    std::memcpy(out + 0, &pid32, sizeof pid32);
    std::memcpy(out + 4, &auid, sizeof auid);
    std::memcpy(out + 8, &uid, sizeof uid);
    std::memcpy(out + 12, &startTime, sizeof startTime);
    std::memcpy(out + 20, &socketInode, sizeof socketInode);
    return bytes;
}

std::optional<AuditToken> AuditToken::FromBytes(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() != kSize)
        return std::nullopt;
    const uint8_t* in = bytes.data();
    AuditToken token;
    int32_t pid = 0;
    std::memcpy(&pid, in + 0, sizeof pid);
    token.pid = pid;
    std::memcpy(&token.auid, in + 4, sizeof token.auid);
    std::memcpy(&token.uid, in + 8, sizeof token.uid);
    std::memcpy(&token.startTime, in + 12, sizeof token.startTime);
    std::memcpy(&token.socketInode, in + 20, sizeof token.socketInode);
    return token;
}

std::optional<std::string> AuditToken::CodePath() const
{
    if (pid <= 0)
        return std::nullopt;
    try {
        Result<std::string> path = readProcessExePath(pid);
        // The start time read after the link vouches for it: a pid handed on before or during the read would
        // show another process's.
        if (!path || ProcessStartTime(pid) != startTime)
            return std::nullopt;
        return std::move(path.value());
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace corvantis
