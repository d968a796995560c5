#pragma once

#include "core/foundation/LogContext.h"
#include "core/profile/Host.h"
#include "core/profile/Proxy.h"
#include "platform/Clock.h"
#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {

class CSafeSocket;

// One row of the connection list: the application that opened a connection, its target, the rule and the proxy
// or chain that serve it, its state, its times and its byte counts. The engine creates one per connection it
// takes; the connection list and the connection's processor share it.
//
// States: connecting (nothing set), resolving, open (MarkConnected), and closed (MarkClosed) after being open,
// failed (never opened) or canceled (never opened, closed at the user's request). Closing is final.
//
// Thread safety: every member function may be called from any thread. Flags, counters and times are atomics, so
// the engine's threads update them while another thread writes the record's line; the texts, the target, the
// sockets and the state changes are guarded by the record's own mutex, so a line never shows half a change.
// Times come from a monotonic clock, so no clock step can make a duration negative.
class CConnRecord final {
public:
    // Where a record reads the time; the default is std::chrono::steady_clock. Tests pass a clock of their own.
    using Clock = SteadyNow;

    // Copies `context` (and a lower-case copy of it) and `target`; first-hop family AF_INET, no sockets, no
    // data path, empty texts, action 0 (blocked), all flags false, counters 0, time stamp now. Each record gets a
    // process-wide identifier that no other record of this process ever has.
    CConnRecord(const CLogContext& context, const CHost& target, Clock clock = {});
    // Deletes the data path and releases both socket holders (a socket closes when its last holder lets go).
    ~CConnRecord();
    CConnRecord(const CConnRecord&) = delete;
    CConnRecord& operator=(const CConnRecord&) = delete;

    // The identifier of the record's line; unique within the process, never reused.
    uint64_t GetId() const { return m_Id; }

    // The application as the engine saw it, and its lower-case copy (the identity rule matching and the log use).
    const CLogContext& GetContext() const { return m_Context; }
    const CLogContext& GetLogEvent() const { return m_ContextLower ? *m_ContextLower : m_Context; }

    // A copy of the target, and its replacement (for example once the engine has resolved it).
    CHost GetTarget() const;
    void SetTarget(const CHost& target);

    // AF_INET, or AF_INET6 once the tunnel reports that its first hop connected over IPv6.
    int GetFirstHopFamily() const { return m_FirstHopFamily.load(std::memory_order_relaxed); }
    void SetFirstHopFamily(int family) { m_FirstHopFamily.store(family, std::memory_order_relaxed); }

    // The application-side and remote sockets; either may be empty.
    std::shared_ptr<CSafeSocket> GetClientSocket() const;
    std::shared_ptr<CSafeSocket> GetRemoteSocket() const;
    void SetClientSocket(std::shared_ptr<CSafeSocket> socket);
    void SetRemoteSocket(std::shared_ptr<CSafeSocket> socket);

    // The data path the tunnel hands over at establishment: the plain HTTP proxy of the last hop, whose requests
    // the engine rewrites. The record owns it; GetDataPath's pointer stays valid until the next SetDataPath or
    // the record's end. Setting an empty pointer clears the flag.
    bool HasDataPath() const { return m_HasDataPath.load(std::memory_order_acquire); }
    const CProxy* GetDataPath() const;
    void SetDataPath(std::unique_ptr<CProxy> dataPath);

    // Name of the matching rule, and the proxy's text or the chain's name.
    std::string GetRuleName() const;
    std::string GetProxyText() const;
    void SetRuleName(const std::string& name);
    void SetProxyText(const std::string& text);

    // 0 blocked, 1 direct, 2 through a proxy, 3 through a chain (the rule actions).
    uint32_t GetAction() const { return m_Action.load(std::memory_order_relaxed); }
    void SetAction(uint32_t action) { m_Action.store(action, std::memory_order_relaxed); }
    // Set for a direct connection that a rule forces the engine to process.
    bool GetForceProcessing() const { return m_ForceProcessing.load(std::memory_order_relaxed); }
    void SetForceProcessing(bool on) { m_ForceProcessing.store(on, std::memory_order_relaxed); }
    // Set while the target's host name is being resolved.
    bool IsResolving() const { return m_Resolving.load(std::memory_order_relaxed); }
    void SetResolving(bool on) { m_Resolving.store(on, std::memory_order_relaxed); }
    // Set by the engine once the record is in the core object's connection list.
    bool IsRegistered() const { return m_Registered.load(std::memory_order_relaxed); }
    void SetRegistered(bool on) { m_Registered.store(on, std::memory_order_relaxed); }

    bool IsOpened() const { return m_Opened.load(std::memory_order_acquire); }
    bool IsClosed() const { return m_Closed.load(std::memory_order_acquire); }
    bool IsCanceled() const { return m_Canceled.load(std::memory_order_acquire); }

    // Creation time, replaced by the establishment time, then by the closing time; on the record's clock.
    std::chrono::steady_clock::time_point GetTimeStamp() const;
    // Whole seconds from the last time stamp to the closing; 0 until closed.
    uint64_t GetLifetime() const { return m_Lifetime.load(std::memory_order_relaxed); }

    // Bytes sent towards the remote side and received from it. The additions are atomic and may come from
    // several threads.
    uint64_t GetBytesSent() const { return m_BytesSent.load(std::memory_order_relaxed); }
    uint64_t GetBytesReceived() const { return m_BytesReceived.load(std::memory_order_relaxed); }
    void AddBytesSent(uint64_t count) { m_BytesSent.fetch_add(count, std::memory_order_relaxed); }
    void AddBytesReceived(uint64_t count) { m_BytesReceived.fetch_add(count, std::memory_order_relaxed); }

    // The connection is established: time stamp = now, opened.
    void MarkConnected();
    // The connection has ended; called by the engine, once per record, on the thread that owns the sockets.
    // Sets closed, closes the client socket and then the remote socket, stores the lifetime (whole seconds since
    // the last time stamp) and makes now the time stamp. It does not look at the closed flag.
    void MarkClosed();
    // The user's request to close the connection, from any thread. Does nothing on a closed record. Otherwise
    // sets canceled and shuts both sockets down (remote first), which wakes calls blocked on them and makes the
    // engine's next read or write end the connection; the descriptors stay open until the engine's MarkClosed or
    // the record's end, so no other thread can ever reach a reused descriptor number. A record that was never
    // opened is closed at once (it then shows "Canceled").
    void Close();

    // The record's line of the connection list, ending with a line feed: identifier, application, target, proxy
    // column, status, opened, closed, sent text, bytes sent, received text, bytes received, separated by "/".
    // "/", line breaks and NUL bytes inside the texts are replaced, so no name can split, forge or hide a row.
    std::string GetText() const;

private:
    std::chrono::steady_clock::time_point Now() const;
    // Closed flag, lifetime and time stamp.
    void CloseStateLocked() REQUIRES(m_Lock);

    const uint64_t m_Id;
    const Clock m_Clock;
    const CLogContext m_Context;
    // Null when the context is in lower case already (as most names and paths are), so that a held record does
    // not carry the same texts twice.
    const std::unique_ptr<const CLogContext> m_ContextLower;

    mutable Mutex m_Lock;
    CHost m_Target GUARDED_BY(m_Lock);
    std::shared_ptr<CSafeSocket> m_ClientSocket GUARDED_BY(m_Lock);
    std::shared_ptr<CSafeSocket> m_RemoteSocket GUARDED_BY(m_Lock);
    std::unique_ptr<CProxy> m_DataPath GUARDED_BY(m_Lock);
    std::string m_RuleName GUARDED_BY(m_Lock);
    std::string m_ProxyText GUARDED_BY(m_Lock);

    std::atomic<int> m_FirstHopFamily;
    std::atomic<bool> m_HasDataPath { false };
    std::atomic<uint32_t> m_Action { 0 };
    std::atomic<bool> m_ForceProcessing { false };
    std::atomic<bool> m_Registered { false };
    std::atomic<bool> m_Opened { false };
    std::atomic<bool> m_Closed { false };
    std::atomic<bool> m_Canceled { false };
    std::atomic<bool> m_Resolving { false };
    std::atomic<int64_t> m_TimeStamp; // steady-clock ticks since the clock's epoch
    std::atomic<uint64_t> m_Lifetime { 0 };
    std::atomic<uint64_t> m_BytesReceived { 0 };
    std::atomic<uint64_t> m_BytesSent { 0 };
};

// The name the engine's code gives the record.
using CConnection = CConnRecord;

// The application text of a connection line: the context's best name (short package name, package name, else
// process name), followed by "(" + bundle identifier + ")" when that is set and differs; "<unknown>" when empty.
std::string GetDisplayName(const CLogContext& context);

// The target for the engine's log lines: CHost::ToString(withAddress), then " (IPv6)" for an IPv6 target.
std::string FormatConnEndpoint(const CConnRecord& record, bool withAddress);

// One parsed line of the connection list, as the connections window shows it.
struct CConnListItem {
    uint64_t id = 0;
    std::string application;
    std::string target;
    std::string proxy; // rule name, " : " and the action text
    std::string status;
    bool opened = false;
    bool closed = false;
    std::string sentText;
    uint64_t bytesSent = 0;
    std::string receivedText;
    uint64_t bytesReceived = 0;

    bool operator==(const CConnListItem&) const = default;
};

// Parses lines written by CConnRecord::GetText, in order. A malformed line ends the list: the rows before it are
// the result; it and everything after it are dropped without a report. An empty text gives no rows.
std::vector<CConnListItem> ParseConnList(const std::string& text);

inline std::vector<CConnListItem> ParseConnectionList(const std::string& text)
{
    return ParseConnList(text);
}

} // namespace corvantis
