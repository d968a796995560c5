#pragma once

#include "core/foundation/LogContext.h"
#include "core/foundation/SafeSocket.h"
#include "core/profile/Host.h"
#include "extension/engine/DnsCodec.h"
#include "extension/engine/DnsStorage.h"
#include "extension/engine/SimpleSocket.h"
#include "extension/engine/SocketEventsManager.h"
#include "extension/engine/SystemLookup.h"
#include "platform/Mutex.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// Where the resolver learns and stores addresses, and its pacing.
struct DnsResolverSettings {
    // The address table the resolver reads and fills; it must outlive every resolution started with these
    // settings. Null: the extension's own (GetAppProxy()'s), so that a resolver built with default settings never
    // bypasses the table the rest of the engine answers from.
    CDnsStorage* storage = nullptr;
    // No table at all, whatever `storage` says: nothing is looked up in one and nothing learnt is kept. For tests
    // of the resolver on its own.
    bool withoutTable = false;
    // An application's stored request is sent again every `resendInterval`, `maxSends` times in all.
    std::chrono::milliseconds resendInterval { 1000 };
    unsigned maxSends = 6;
    // A system resolution that has not finished by then reports failure.
    std::chrono::milliseconds systemTimeout { 5000 };
    // The system resolver's servers as "address:port,..."; empty: the system's own configuration.
    std::string systemServers;

    // The table in effect: `storage`, else the extension's own; null only with `withoutTable`.
    CDnsStorage* table() const;
};

// Turns a host name into a real address for the engine. A valid real address in the table answers at once.
// Otherwise, when the table holds the application's own A or AAAA request for the name, that request is sent
// again, unchanged, to the server the application asked, from a socket of its own per family; without one the
// system resolver (SystemLookup: one lookup per family, the first address found wins) is asked.
// Every address learnt goes into the table with a short lifetime; placeholder addresses are never delivered.
//
// The result processor is called exactly once per resolution: on the caller's thread for a table hit or a start
// failure, otherwise on the event loop thread. A resolution lives as long as its registrations with the event
// loop; its own mutex serialises its start (on the caller's thread) with the loop's events.
class DnsResolveProcessor final : public std::enable_shared_from_this<DnsResolveProcessor> {
public:
    // Starts resolving `host` (by its name). Returns false only when the system resolver could not be started,
    // in which case the processor has already been told of the failure.
    static bool resolveHost(CHost host, SocketEventsManagerPtr eventManager,
        const std::shared_ptr<const AppNameSource>& appName, HostResultProcessor resultProcessor,
        const DnsResolverSettings& settings);

    // The resolver a SimpleSocket uses: resolveHost with these arguments.
    static HostResolver hostResolver(SocketEventsManagerPtr eventManager, std::shared_ptr<const AppNameSource> appName,
        DnsResolverSettings settings);

    ~DnsResolveProcessor();
    DnsResolveProcessor(const DnsResolveProcessor&) = delete;
    DnsResolveProcessor& operator=(const DnsResolveProcessor&) = delete;

private:
    struct socketInfo {
        std::uint64_t resolveCounter = 0;
        std::shared_ptr<CSafeSocket> dnsSocket;
        std::uint64_t socketId = 0; // 0 when not active
        CDnsStorage::dnsRequestData data;
        std::uint16_t addressFamily = 0;
        DnsMessageInfo question; // what the stored request asks; answers must match it
    };
    using Result = std::optional<std::pair<bool, CHost>>;

    DnsResolveProcessor(CHost host, SocketEventsManagerPtr eventManager, std::optional<CLogContext> context,
        HostResultProcessor resultProcessor, const DnsResolverSettings& settings);

    // Stored-request resolution.
    bool prepareSocket(socketInfo& info, std::uint16_t family, const CDnsStorage::dnsRequestData& request)
        REQUIRES(m_mutex);
    void startSocketProcessing(socketInfo& info) REQUIRES(m_mutex);
    void onSocketEvent(bool ipv6, const eventDescription& event);
    bool processSocketTimeoutAndSendRequest(socketInfo& info) REQUIRES(m_mutex);
    void processSocketAnswer(socketInfo& info) REQUIRES(m_mutex);
    bool updateHostDataFromDnsAnswer(const std::uint8_t* data, size_t length, bool& empty) REQUIRES(m_mutex);
    void processSocketClosing(socketInfo& info) REQUIRES(m_mutex);
    bool checkFailedState() const REQUIRES(m_mutex);

    // System resolution.
    bool ResolveHostnameUsingSystemResolver();
    void processSystemDnsAnswer(const sockaddr* address, int ttl) REQUIRES(m_mutex);
    // Runs a step of the system lookup under the mutex, then delivers what it produced.
    void runSystemStep(const std::function<void()>& step);

    // Claims the single result; the caller delivers it once the lock is released.
    void provideResult(bool success, const CHost& host) REQUIRES(m_mutex);
    void deliver(Result result);
    std::string logPrefix() const REQUIRES(m_mutex);
    bool addSocket(int fd, bool readWrite, std::uint64_t timeoutMs, std::uint64_t& id, SocketEventProcessor processor);
    void removeSocket(std::uint64_t id);

    // Weak: the loop's registrations hold this object, so a strong reference back would keep both alive for
    // good when the loop is dropped with a resolution still running.
    const std::weak_ptr<SocketEventsManager> m_eventManager;
    const std::optional<CLogContext> m_context;
    const DnsResolverSettings m_settings;
    const HostResultProcessor m_resultProcessor;

    Mutex m_mutex;
    CHost m_host GUARDED_BY(m_mutex);
    bool answerProvided GUARDED_BY(m_mutex) = false;
    Result m_pending GUARDED_BY(m_mutex);
    socketInfo ip4SocketInfo GUARDED_BY(m_mutex);
    socketInfo ip6SocketInfo GUARDED_BY(m_mutex);

    bool m_systemFound GUARDED_BY(m_mutex) = false;
    // Last, so that it goes first: c-ares closing its sockets in its destructor calls back into no one.
    std::unique_ptr<SystemLookup> m_systemLookup;
};

} // namespace corvantis
