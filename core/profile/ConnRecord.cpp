#include "core/profile/ConnRecord.h"

#include "core/foundation/DurationStringFormater.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/TrafficStringFormater.h"

#include <sys/socket.h>

#include <limits>
#include <sstream>

namespace corvantis {

namespace {

std::atomic<uint64_t> g_nextId { 1 };

// The lower-case copy of `context`, or null when it equals `context`.
std::unique_ptr<const CLogContext> LowerCaseCopyIfDifferent(const CLogContext& context)
{
    CLogContext lower = LowerCaseContext(context);
    if (lower == context)
        return nullptr;
    return std::make_unique<const CLogContext>(std::move(lower));
}

int64_t ToTicks(std::chrono::steady_clock::time_point time)
{
    return time.time_since_epoch().count();
}

std::chrono::steady_clock::time_point FromTicks(int64_t ticks)
{
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

// Whole seconds from `from` to `to`; 0 when `to` is not later.
uint64_t SecondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    if (to <= from)
        return 0;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(to - from).count());
}

std::string DurationText(uint64_t seconds)
{
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return CDurationStringFormater(static_cast<int64_t>(seconds > kMax ? kMax : seconds)).GetText();
}

// A field of a line must not hold the field separator or end the line: a process name or a rule name could
// otherwise drop rows or forge new ones in the connections window. "/" becomes the look-alike U+2215 (whose
// UTF-8 bytes hold neither separator); line breaks and NUL become blanks.
std::string FieldText(const std::string& text)
{
    std::string field;
    field.reserve(text.size());
    for (char c : text) {
        if (c == '/')
            field += "\xE2\x88\x95";
        else if (c == '\n' || c == '\r' || c == '\0')
            field += ' ';
        else
            field += c;
    }
    return field;
}

void ShutdownSocket(const std::shared_ptr<CSafeSocket>& socket)
{
    if (socket)
        socket->Shutdown();
}

void CloseSocket(const std::shared_ptr<CSafeSocket>& socket)
{
    if (socket)
        socket->Close();
}

bool IsIPv6(const CHost& host)
{
    return host.m_AddressFamily == AF_INET6;
}

} // namespace

CConnRecord::CConnRecord(const CLogContext& context, const CHost& target, Clock clock)
    : m_Id(g_nextId.fetch_add(1, std::memory_order_relaxed))
    , m_Clock(std::move(clock))
    , m_Context(context)
    , m_ContextLower(LowerCaseCopyIfDifferent(context))
    , m_Target(target)
    , m_FirstHopFamily(AF_INET)
    , m_TimeStamp(ToTicks(Now()))
{
}

CConnRecord::~CConnRecord() = default;

std::chrono::steady_clock::time_point CConnRecord::Now() const
{
    return m_Clock ? m_Clock() : std::chrono::steady_clock::now();
}

CHost CConnRecord::GetTarget() const
{
    MutexLock lock(m_Lock);
    return m_Target;
}

void CConnRecord::SetTarget(const CHost& target)
{
    MutexLock lock(m_Lock);
    m_Target = target;
}

std::shared_ptr<CSafeSocket> CConnRecord::GetClientSocket() const
{
    MutexLock lock(m_Lock);
    return m_ClientSocket;
}

std::shared_ptr<CSafeSocket> CConnRecord::GetRemoteSocket() const
{
    MutexLock lock(m_Lock);
    return m_RemoteSocket;
}

// A socket stored after the user canceled the connection (a connect that was still being prepared) is shut down
// at once: the request to close must not be lost to that race.
void CConnRecord::SetClientSocket(std::shared_ptr<CSafeSocket> socket)
{
    MutexLock lock(m_Lock);
    m_ClientSocket = std::move(socket);
    if (m_Canceled.load(std::memory_order_relaxed))
        ShutdownSocket(m_ClientSocket);
}

void CConnRecord::SetRemoteSocket(std::shared_ptr<CSafeSocket> socket)
{
    MutexLock lock(m_Lock);
    m_RemoteSocket = std::move(socket);
    if (m_Canceled.load(std::memory_order_relaxed))
        ShutdownSocket(m_RemoteSocket);
}

const CProxy* CConnRecord::GetDataPath() const
{
    MutexLock lock(m_Lock);
    return m_DataPath.get();
}

void CConnRecord::SetDataPath(std::unique_ptr<CProxy> dataPath)
{
    MutexLock lock(m_Lock);
    m_DataPath = std::move(dataPath);
    m_HasDataPath.store(m_DataPath != nullptr, std::memory_order_release);
}

std::string CConnRecord::GetRuleName() const
{
    MutexLock lock(m_Lock);
    return m_RuleName;
}

std::string CConnRecord::GetProxyText() const
{
    MutexLock lock(m_Lock);
    return m_ProxyText;
}

void CConnRecord::SetRuleName(const std::string& name)
{
    MutexLock lock(m_Lock);
    m_RuleName = name;
}

void CConnRecord::SetProxyText(const std::string& text)
{
    MutexLock lock(m_Lock);
    m_ProxyText = text;
}

std::chrono::steady_clock::time_point CConnRecord::GetTimeStamp() const
{
    return FromTicks(m_TimeStamp.load(std::memory_order_acquire));
}

// A connect that completes after the record was closed does not reopen it: closing is final.
void CConnRecord::MarkConnected()
{
    MutexLock lock(m_Lock);
    if (m_Closed.load(std::memory_order_relaxed))
        return;
    m_TimeStamp.store(ToTicks(Now()), std::memory_order_release);
    m_Opened.store(true, std::memory_order_release);
}

void CConnRecord::CloseStateLocked()
{
    const auto now = Now();
    m_Lifetime.store(SecondsBetween(GetTimeStamp(), now), std::memory_order_relaxed);
    m_TimeStamp.store(ToTicks(now), std::memory_order_release);
    m_Closed.store(true, std::memory_order_release);
}

void CConnRecord::MarkClosed()
{
    MutexLock lock(m_Lock);
    CloseSocket(m_ClientSocket);
    CloseSocket(m_RemoteSocket);
    CloseStateLocked();
}

void CConnRecord::Close()
{
    MutexLock lock(m_Lock);
    if (m_Closed.load(std::memory_order_relaxed))
        return;
    m_Canceled.store(true, std::memory_order_release);
    ShutdownSocket(m_RemoteSocket);
    ShutdownSocket(m_ClientSocket);
    if (!m_Opened.load(std::memory_order_relaxed))
        CloseStateLocked();
}

std::string CConnRecord::GetText() const
{
    std::string target;
    std::string ruleName;
    std::string proxyText;
    bool opened = false;
    bool closed = false;
    bool canceled = false;
    uint64_t lifetime = 0;
    std::chrono::steady_clock::time_point stamp;
    {
        // One snapshot under the lock, so the line shows the record either before or after a state change.
        MutexLock lock(m_Lock);
        target = m_Target.ToString(false);
        if (IsIPv6(m_Target))
            target += " *IPv6";
        ruleName = m_RuleName;
        proxyText = m_ProxyText;
        opened = m_Opened.load(std::memory_order_acquire);
        closed = m_Closed.load(std::memory_order_acquire);
        canceled = m_Canceled.load(std::memory_order_acquire);
        lifetime = m_Lifetime.load(std::memory_order_relaxed);
        stamp = GetTimeStamp();
    }

    const uint32_t action = GetAction();
    std::string actionText;
    if (action == 3) {
        actionText = proxyText + " proxy chain";
    } else if (action == 1) {
        actionText = GetForceProcessing() ? "direct connection (fp)" : "direct connection";
    } else {
        actionText = proxyText;
    }
    if (action != 1 && GetFirstHopFamily() == AF_INET6)
        actionText += " (IPv6)";

    std::string status;
    if (closed && !opened) {
        status = canceled ? "Canceled" : "Failed";
    } else if (closed) {
        status = DurationText(lifetime) + " Closed";
    } else {
        status = DurationText(SecondsBetween(stamp, Now()));
        if (!opened)
            status += IsResolving() ? " Resolving" : " Connecting";
    }

    const uint64_t sent = GetBytesSent();
    const uint64_t received = GetBytesReceived();
    std::ostringstream line;
    line << m_Id << '/' << FieldText(GetDisplayName(m_Context)) << '/' << FieldText(target) << '/'
         << FieldText(ruleName + " : " + actionText) << '/' << status << '/' << static_cast<uint16_t>(opened) << '/'
         << static_cast<uint16_t>(closed) << '/' << CTrafficStringFormater(sent).GetShortText(false) << '/' << sent
         << '/' << CTrafficStringFormater(received).GetShortText(false) << '/' << received << '\n';
    return line.str();
}

std::string GetDisplayName(const CLogContext& context)
{
    std::string name = context.BestName();
    if (!context.revDns.empty() && context.revDns != name)
        name += "(" + context.revDns + ")";
    return name.empty() ? "<unknown>" : name;
}

std::string FormatConnEndpoint(const CConnRecord& record, bool withAddress)
{
    const CHost target = record.GetTarget();
    std::string text = target.ToString(withAddress);
    if (IsIPv6(target))
        text += " (IPv6)";
    return text;
}

namespace {

bool NextIs(std::istream& in, char expected)
{
    return in.get() == expected;
}

bool ReadField(std::istream& in, std::string& field)
{
    std::getline(in, field, '/');
    return !in.fail() && !in.bad();
}

bool ReadFlag(std::istream& in, bool& flag)
{
    uint16_t value = 0;
    if (!(in >> value) || !NextIs(in, '/'))
        return false;
    flag = value != 0;
    return true;
}

bool ReadLine(std::istream& in, CConnListItem& item)
{
    if (!(in >> item.id) || !NextIs(in, '/'))
        return false;
    if (!ReadField(in, item.application) || !ReadField(in, item.target) || !ReadField(in, item.proxy)
        || !ReadField(in, item.status))
        return false;
    if (!ReadFlag(in, item.opened) || !ReadFlag(in, item.closed))
        return false;
    if (!ReadField(in, item.sentText) || !(in >> item.bytesSent) || !NextIs(in, '/'))
        return false;
    if (!ReadField(in, item.receivedText) || !(in >> item.bytesReceived) || !NextIs(in, '\n'))
        return false;
    return true;
}

} // namespace

std::vector<CConnListItem> ParseConnList(const std::string& text)
{
    std::vector<CConnListItem> items;
    std::istringstream in(text);
    for (;;) {
        CConnListItem item;
        if (!ReadLine(in, item))
            break;
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace corvantis
