#pragma once

#include "core/profile/ProfileData.h"
#include "extension/engine/Tunnel.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvantis {

class CCorvantisAppProxy;
class CConnRecord;
class CHost;
class CRule;
struct CLogContext;

// The engine's handling of one intercepted client connection: decides by the rules of the active profile
// whether the connection is refused, left to the system or taken, creates its connection record and registers
// it (the extension's object looks for connection loops then), establishes the outgoing side through a tunnel and
// writes the connection's log lines (match, open, error, close). It moves no data itself: the connection's facade sends
// and receives on the remote socket stored in the record.
//
// The processor works on a snapshot of the active profile taken at construction, so a profile change never
// affects a connection under way; the matched rule and the tunnel point into that snapshot, which the processor
// holds to its end. Processors made under the same profile share one snapshot, so a held connection does not pay
// for a copy of every rule and proxy.
//
// Calling order: ProcessConnectionRequest once; when it answers kTaken, ConnectionTargetHostPrepare, then
// (after an optional resolution of the first hop's name, which may end in FailConnection) ConnectTargetHost;
// at the end CloseConnection.
//
// Thread-safety: one thread at a time (the facade orders the calls); different processors run at once. The
// shared state (connection list, counters, loop-detect flag, address table) is the extension's object's.
// ConnectTargetHost and FailConnection may wait in the connection throttle (up to a second per report), so they must
// never run on an event-loop thread.
class CClientProcessor final {
public:
    // Answers of ProcessConnectionRequest, and the decisions of FindRule (block, process, leave to the system).
    enum Decision : int {
        kRefused = 0,
        kTaken = 1,
        kNotProcessed = 2,
    };

    // The connection limit when the settings ask for no more.
    static constexpr uint64_t kDefaultConnectionLimit = 1500;

    // Takes the snapshot of the active profile of the extension's object (without the rules held outside it).
    // The object must outlive the processor.
    explicit CClientProcessor(CCorvantisAppProxy& app);
    ~CClientProcessor();
    CClientProcessor(const CClientProcessor&) = delete;
    CClientProcessor& operator=(const CClientProcessor&) = delete;

    // Decides what happens to a new connection of `identity` to `endpoint` (address text) and `port` (decimal
    // text); `hostName` is the name the system gave for the endpoint, if any. Null endpoint or port, a record
    // that cannot be made, a placeholder address whose name is no longer known, a profile without a matching
    // rule, or a connection that would exceed the open-connection limit: kNotProcessed. UDP connections are
    // never carried by the engine: a UDP connection that would be taken or blocked is refused. A connection
    // that would be taken while the loop-detect flag is set is refused. A taken connection's record joins the
    // connection list.
    int ProcessConnectionRequest(
        const CLogContext& identity, const char* hostName, const char* endpoint, const char* port, bool udp);

    // Builds the target (its name from `hostName`, else from the address table) and a new record for it.
    // False, with an error line, when the record cannot be made or the target is a placeholder address whose
    // name is not known.
    bool CreateConnection(
        const CLogContext& identity, const char* hostName, const char* endpoint, const char* port, bool udp);

    // Finds the rule for the record and copies its name, action and proxy text into the record. Returns
    // kRefused (Block), kTaken (Proxy, Chain, Direct to a placeholder address, Direct when the profile handles
    // direct connections) or kNotProcessed (other Direct connections, and no matching rule). Needs the record.
    int FindRule();

    // Creates the tunnel for the record's target and rule and asks it what comes first (CTunnel::ConnectPrepare);
    // marks the record as resolving when the first hop's name must be resolved. Needs the record and the rule.
    CTunnel::SConnectPrepare ConnectionTargetHostPrepare();

    // Establishes the connection (`resolved` replaces the first hop when given) and writes the open line. On
    // failure the record is closed, the failed-connections counter grows, and the target is reported once to
    // the connection throttle; a first proxy that cannot be connected is reported to it as well. Either way the
    // tunnel is gone afterwards. True when connected.
    bool ConnectTargetHost(const std::optional<CHost>& resolved = std::nullopt);
    // The establishment alone: stores the remote socket, the first hop's family and the HTTP proxy copy in the
    // record and marks it connected; on failure writes the error line, closes the record and reports the target
    // to the throttle.
    bool ConnectTargetHostInt(const std::optional<CHost>& resolved);

    // The connection failed before it was established (for example its name could not be resolved): error line
    // with `text`, record closed, target reported to the throttle.
    void FailConnection(const std::string& text);

    // Ends the connection: closes the record unless it is closed already and writes the close line with the
    // byte counts and the lifetime. Only the first call does anything.
    void CloseConnection();

    // The record; null before CreateConnection succeeded.
    std::shared_ptr<CConnRecord> GetConnection() const { return m_pConnection; }
    // The time-out of each hop's connect for the tunnels made from now on (CTunnel::kConnectTimeout unless set).
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_ConnectTimeout = timeout; }
    // The matched rule inside the processor's profile copy; null before FindRule found one.
    const CRule* GetRule() const { return m_pRule; }
    // The tail of the connection's open line (" directly", " through proxy ...", ...).
    const std::string& GetOpenString() const { return m_OpenString; }

    // The engine's limit of open connections; a connection that would be taken while more than this many are
    // open is not processed. Process-wide; the engine's facade sets it from the settings.
    static void SetConnectionLimit(uint64_t limit);
    static uint64_t GetConnectionLimit();

    // For tests: forgets when old records were last removed, so the next taken connection removes them.
    static void ResetCleanupSlot();

private:
    std::string EndpointText(bool withAddress) const;
    // Error line, record closed, throttle; shared by the two failure paths.
    void FailRecord(const std::string& text);

    CCorvantisAppProxy& m_App;
    const std::shared_ptr<const CProfileData> m_Profile;
    const CRule* m_pRule = nullptr;
    std::shared_ptr<CConnRecord> m_pConnection;
    std::unique_ptr<CTunnel> m_pTunnel;
    std::string m_OpenString;
    std::chrono::milliseconds m_ConnectTimeout = CTunnel::kConnectTimeout;
    bool m_TargetThrottled = false; // the tunnel reported the target as its failed first hop
    bool closed = false;
    // Counted among the engine's connections for the memory release after a burst, until destroyed.
    bool m_countedInBurst = false;
};

} // namespace corvantis
