#pragma once

#include "core/foundation/LogContext.h"
#include "core/profile/ConnectThrottle.h"
#include "core/profile/CorvantisApp.h"
#include "extension/engine/DnsStorage.h"
#include "platform/Clock.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {

class CConnRecord;
class CHost;

// Time sources and ages of the extension's object; the programs use the defaults, tests shorten or drive them.
struct AppProxyTiming {
    using Clock = SteadyNow;
    using WallClock = std::function<time_t()>;

    Clock clock; // monotonic time of the connection records and the DNS history; default steady_clock
    WallClock wallClock; // the time the statistics text measures the working time to; default time()
    // A closed record stays listed this long after it closed.
    std::chrono::nanoseconds closedRecordAge = std::chrono::seconds(3);
    // DNS requests older than this are forgotten.
    std::chrono::nanoseconds dnsHistoryAge = std::chrono::seconds(3);
    CConnectThrottle::Timing throttle;
};

// The extension's core application object. Besides what the core object owns (settings, active profile,
// statistics, the connection list) it keeps the engine's table of real and placeholder addresses and a short
// history of DNS requests to catch applications that ask for the same name in a loop. It never asks for a
// profile password: a protected profile that needs one simply does not load here.
//
// One object lives for the whole extension process (GetAppProxy); tests build their own with shortened timing.
//
// Thread-safety: every public member may be called from any thread. The connection list and the open-connection
// count are changed under `connListLock`; the clean-up only takes that lock when it is free. The DNS history has
// a lock of its own. Nothing is called out (log, loop queue, profile) while either lock is held.
class CCorvantisAppProxy : public CCorvantisApp {
public:
    using Clock = AppProxyTiming::Clock;
    using WallClock = AppProxyTiming::WallClock;
    using ConnectionPtr = std::shared_ptr<CConnRecord>;

    using Timing = AppProxyTiming;

    // A loop of DNS requests is reported when more than this many identical requests (same process, kind and
    // name) are remembered.
    static constexpr uint32_t kDnsLoopThreshold = 200;
    // The connection loop check: records of one application opened within this time, and how many of them to
    // one target without any data received make a loop.
    static constexpr std::chrono::seconds kConnLoopWindow { 10 };
    static constexpr size_t kConnLoopCount = 50;

    // No profile yet (until InitInstanceProxy), an empty address table, an empty DNS history.
    explicit CCorvantisAppProxy(Timing timing = {});
    // Stops the core object's background threads first, so none of them runs against a half-destroyed object.
    ~CCorvantisAppProxy() override;

    // Always empty: the extension has nobody to ask and keeps no password cache.
    std::string GetProfilePassword(const std::string& profileName, bool fromCache, const std::string& key) override;

    // ---- Start ----

    // Starts the object once, with `theApp` already pointing at it: marks it as the extension's object (the
    // profile loader then shows no warnings), ignores SIGPIPE for the process, lets all threads share one
    // allocator arena (LimitAllocatorArenas: so the memory of a burst of connections can be returned), and
    // loads the profile the settings name as active from the Profiles folder of the extension's home (silently,
    // without saving it back). When no file of that name exists yet (the first run, before the application sent
    // its profile), the content of a new profile becomes active and the start succeeds. When the file exists but
    // cannot be loaded, the same new-profile content becomes active, so that the engine never runs without
    // rules, and the start fails with "Profile cannot be loaded" in `error`. Finally applies the profile's DNS
    // mode. Returns true on failure (the caller reports `error`), false on success.
    bool InitInstanceProxy(std::string& error, bool keepProfile = false);

    // ---- Statistics ----

    // The statistics text the application shows, lines ended by "\r\n": working time since the statistics
    // started ("[D day(s) and ]HH:MM:SS"), the total, active and failed connection counts, and the bytes
    // received from and sent to the remote sides, each also in short units.
    std::string GetStatText();

    // ---- The connection list ----

    // Lists a record the engine has taken: marks it registered, appends it (newest last) and counts it open.
    // With `checkLoop` (the profile's loop detection is on) the connection loop check runs right after: on every
    // 50th call once the list holds more than 50 records it looks for at least kConnLoopCount records of the
    // newest record's application (same six names) opened within kConnLoopWindow and not closed, and then for
    // at least kConnLoopCount records to the newest record's target (host text and port) of which none has
    // received data. On a loop the loop-detect flag is set, the lock released, and OnConnectionLoop runs with
    // the newest record's identity. Returns whether a loop was found.
    bool AddConnection(const ConnectionPtr& record, bool checkLoop);

    // Records listed and not yet removed by the clean-up; read without the lock (for the connection limit).
    uint64_t GetOpenConnectionCount() const { return m_openCount.load(std::memory_order_relaxed); }
    // Records listed that are not closed yet, for the moment the listed count passes the connection limit, where
    // closed records waiting for the clean-up must not count. Under the list's lock; walks only the records not
    // yet seen closed.
    uint64_t CountLiveConnections();

    // RemoveClosedConnections, then a copy of the list (new references to the same records), oldest first.
    std::vector<ConnectionPtr> GetConnectionsSnapshot();

    // Takes out every closed record whose time stamp (its close time) is more than `closedRecordAge` old, marks
    // it no longer registered and counts it no longer open. Only when the list's lock is free at once: a busy
    // list is left for the next call. Many records removed at once tell the engine's memory release.
    void RemoveClosedConnections();

    // ---- Loops ----

    // A connection loop was found for the application `identity`: logs "Infinite loop connection detected" for
    // it, queues its name for the user's loop prompt, and clears the loop-detect flag again.
    void OnConnectionLoop(const CLogContext& identity);

    // Notes one DNS request (process id, request kind, host name) and returns true when it is the one that
    // makes a loop: more than kDnsLoopThreshold identical requests of the last `dnsHistoryAge` remembered and
    // none of them reported yet. Then a rule that connects the application directly is put first in the
    // profile and the application's name is queued for the loop prompt. Later identical requests return false
    // until all of them have aged out of the history.
    bool CheckDnsLoop(const CLogContext& identity, int64_t pid, uint8_t kind, const std::string& hostName);

    // ---- Placeholder addresses for DNS answers ----

    // A placeholder address for `hostName`, asked for by the application `identity` through the DNS server
    // `server`, when the name is resolved through the proxy: DecideDnsThroughProxy under `profile` (its log line
    // names `server`) must answer "through the proxy", or give no answer at all with `force` set; a name that
    // resolves locally never gets one. The address comes from the table (created when the name has none), which
    // keeps `request` (nullable) and `serverSocket` (nullable) as the name's last request and gives the address's
    // time-to-live in `ttl`. 0 when there is none.
    uint32_t GetFakeIpv4ForName(const CLogContext& identity, const std::string& hostName, const CHost& server,
        const CProfileData& profile, bool force, const uint8_t* request, size_t requestLength,
        const sockaddr* serverSocket, uint64_t& ttl);
    // The same for IPv6; all zeros where the IPv4 form gives 0.
    in6_addr GetFakeIpv6ForName(const CLogContext& identity, const std::string& hostName, const CHost& server,
        const CProfileData& profile, bool force, const uint8_t* request, size_t requestLength,
        const sockaddr* serverSocket, uint64_t& ttl);

    // ---- Address table ----

    // The engine's table of host names with their real and placeholder addresses.
    CDnsStorage& GetDnsStorage() { return m_dnsStorage; }
    // The name the table knows for an address (IPv4 in network order), empty when it knows none.
    std::string NameForIPv4(uint32_t address) { return m_dnsStorage.NameForIPv4(address); }
    std::string NameForIPv6(const in6_addr& address) { return m_dnsStorage.NameForIPv6(address); }

protected:
    // Writes the active profile to its file in the Profiles folder of the extension's home.
    bool SaveActiveProfile() override;

private:
    struct DnsHistoryEntry {
        std::string hostName;
        uint8_t kind = 0;
        int64_t pid = 0;
        std::chrono::steady_clock::time_point time;
        bool reported = false; // a loop was reported for this process, kind and name
    };

    std::chrono::steady_clock::time_point Now() const;
    // Whether DecideDnsThroughProxy lets `hostName` have a placeholder address.
    bool NameGetsPlaceholder(const CLogContext& identity, const std::string& hostName, const CHost& server,
        const CProfileData& profile, bool force) const;
    // The connection loop check over the list.
    bool DetectConnectionLoopLocked() REQUIRES(connListLock);

    const Clock m_clock;
    const WallClock m_wallClock;
    const std::chrono::nanoseconds m_closedRecordAge;
    const std::chrono::nanoseconds m_dnsHistoryAge;

    CDnsStorage m_dnsStorage;

    Mutex m_historyLock;
    std::deque<DnsHistoryEntry> m_dnsHistory GUARDED_BY(m_historyLock); // oldest first

    std::atomic<uint64_t> m_openCount { 0 }; // changed under connListLock
    // The listed records not yet seen closed (every open one among them); a part of connList, which owns them.
    std::vector<const CConnRecord*> m_unclosed GUARDED_BY(connListLock);
    uint32_t m_loopCheckCounter GUARDED_BY(connListLock) = 50;
};

// The extension's one object, built on the first call and never destroyed (threads may still use it at exit).
// The extension's start stores it in `theApp` before other threads run.
CCorvantisAppProxy& GetAppProxy();

} // namespace corvantis
