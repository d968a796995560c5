#include "extension/engine/DnsResolveProcessor.h"

#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/LogMessage.h"
#include "core/profile/AddressUtils.h"
#include "extension/engine/CorvantisAppProxy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvantis {

namespace {

// The largest datagram there is, so that no answer arrives cut.
constexpr size_t kAnswerBuffer = 65536;
// How often a system resolution lets c-ares handle its own time-outs and checks its deadline.
constexpr std::chrono::milliseconds kSystemTick { 100 };

uint32_t clampTtl(int64_t ttl)
{
    return static_cast<uint32_t>(std::clamp<int64_t>(ttl, 10, 60));
}

std::string addressText(const sockaddr& address)
{
    return SockAddrToString(address);
}

std::string serverText(const CDnsStorage::dnsRequestData& data)
{
    if (!data.serverAddr) {
        return "";
    }
    const sockaddr& server = reinterpret_cast<const sockaddr&>(*data.serverAddr);
    const std::string address = addressText(server);
    const std::string port = std::to_string(GetSockAddrPort(server));
    return server.sa_family == AF_INET6 ? "[" + address + "]:" + port : address + ":" + port;
}

std::string withoutFinalDot(std::string name)
{
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    return name;
}

} // namespace

CDnsStorage* DnsResolverSettings::table() const
{
    if (withoutTable)
        return nullptr;
    return storage != nullptr ? storage : &GetAppProxy().GetDnsStorage();
}

DnsResolveProcessor::DnsResolveProcessor(CHost host, SocketEventsManagerPtr eventManager,
    std::optional<CLogContext> context, HostResultProcessor resultProcessor, const DnsResolverSettings& settings)
    : m_eventManager(std::move(eventManager))
    , m_context(std::move(context))
    , m_settings(settings)
    , m_resultProcessor(std::move(resultProcessor))
    , m_host(std::move(host))
{
}

DnsResolveProcessor::~DnsResolveProcessor() = default;

bool DnsResolveProcessor::addSocket(
    int fd, bool readWrite, std::uint64_t timeoutMs, std::uint64_t& id, SocketEventProcessor processor)
{
    const SocketEventsManagerPtr manager = m_eventManager.lock();
    return manager && manager->AddSocket(fd, readWrite, timeoutMs, id, std::move(processor));
}

void DnsResolveProcessor::removeSocket(std::uint64_t id)
{
    if (const SocketEventsManagerPtr manager = m_eventManager.lock()) {
        manager->RemoveSocketId(id);
    }
}

std::string DnsResolveProcessor::logPrefix() const
{
    return "resolve " + m_host.GetHostName();
}

HostResolver DnsResolveProcessor::hostResolver(
    SocketEventsManagerPtr eventManager, std::shared_ptr<const AppNameSource> appName, DnsResolverSettings settings)
{
    return [eventManager, appName, settings](const CHost& host, HostResultProcessor resultProcessor) {
        (void)resolveHost(host, eventManager, appName, std::move(resultProcessor), settings);
    };
}

bool DnsResolveProcessor::resolveHost(CHost host, SocketEventsManagerPtr eventManager,
    const std::shared_ptr<const AppNameSource>& appName, HostResultProcessor resultProcessor,
    const DnsResolverSettings& given)
{
    DnsResolverSettings settings = given;
    settings.storage = given.table();
    std::optional<CLogContext> context;
    if (appName) {
        context = appName->getName();
    }
    const std::string name = host.GetHostName();
    std::map<std::uint16_t, CDnsStorage::dnsRequestData> requests;
    std::optional<std::pair<sockaddr_storage, uint64_t>> cached;
    if (settings.storage != nullptr) {
        CDnsStorage& storage = *settings.storage;
        MutexLock lock(storage.Mutex());
        if (CDnsStorage::RecordPtr record = storage.FindRecord(name, false)) {
            uint32_t v4 = 0;
            CDnsStorage::IPv6Bytes v6 {};
            uint64_t ttl = 0;
            if (storage.PickRealIPv4(*record, v4, ttl) && v4 != 0 && !IsIPv4InFakeRange(v4)) {
                sockaddr_storage address {};
                auto& in = reinterpret_cast<sockaddr_in&>(address);
                in.sin_family = AF_INET;
                in.sin_addr.s_addr = v4;
                cached.emplace(address, ttl);
            } else if (storage.PickRealIPv6(*record, v6, ttl)
                && std::any_of(v6.begin(), v6.end(), [](uint8_t b) { return b != 0; })) {
                sockaddr_storage address {};
                auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
                in6.sin6_family = AF_INET6;
                std::memcpy(&in6.sin6_addr, v6.data(), v6.size());
                if (!IsIPv6InFakeRange(in6.sin6_addr)) {
                    cached.emplace(address, ttl);
                }
            }
            if (!cached) {
                for (const auto& [family, request] : record->requests) {
                    // A request can only be repeated to the server it went to.
                    if ((family == AF_INET || family == AF_INET6) && !request.request.empty() && request.serverAddr) {
                        requests.emplace(family, request);
                    }
                }
            }
        }
    }

    if (cached) {
        const sockaddr& address = reinterpret_cast<const sockaddr&>(cached->first);
        host.SetResolvedAddress(address);
        CLogMessage(kLogDebug, context) << "resolve " << name << " - result from cache - " << addressText(address)
                                        << ", ttl = " << cached->second;
        resultProcessor(true, host);
        return true;
    }

    std::shared_ptr<DnsResolveProcessor> processor(
        new DnsResolveProcessor(host, std::move(eventManager), context, std::move(resultProcessor), settings));

    if (requests.empty()) {
        CLogMessage(kLogDebug, context) << "resolve " << name << " - start system resolve";
        return processor->ResolveHostnameUsingSystemResolver();
    }

    Result result;
    {
        MutexLock lock(processor->m_mutex);
        // Both sockets are set up before either is registered, and the loop's events wait for this lock, so no
        // event sees one socket started and the other not yet.
        bool prepared4 = false;
        bool prepared6 = false;
        if (requests.count(AF_INET) != 0) {
            prepared4 = processor->prepareSocket(processor->ip4SocketInfo, AF_INET, requests[AF_INET]);
        }
        if (requests.count(AF_INET6) != 0) {
            prepared6 = processor->prepareSocket(processor->ip6SocketInfo, AF_INET6, requests[AF_INET6]);
        }
        if (prepared4) {
            processor->startSocketProcessing(processor->ip4SocketInfo);
        }
        if (prepared6) {
            processor->startSocketProcessing(processor->ip6SocketInfo);
        }
        if (processor->checkFailedState()) {
            processor->provideResult(false, CHost("", 0, false));
        }
        result = std::move(processor->m_pending);
        processor->m_pending.reset();
    }
    processor->deliver(std::move(result));
    return true;
}

bool DnsResolveProcessor::prepareSocket(
    socketInfo& info, std::uint16_t family, const CDnsStorage::dnsRequestData& request)
{
    const char* kind = family == AF_INET ? "Addr" : "AAAA";
    info.data = request;
    const sockaddr& server = reinterpret_cast<const sockaddr&>(*request.serverAddr);
    info.addressFamily = server.sa_family;
    std::string reason;
    if (ParseDnsRequest(request.request.data(), request.request.size(), info.question, reason)
        != DnsParseResult::Accepted) {
        CLogMessage(kLogError, m_context)
            << logPrefix() << " - resolve " << kind << " on " << serverText(request) << " cannot be started";
        return false;
    }
    std::shared_ptr<CSafeSocket> socket = CSafeSocket::Create(info.addressFamily, SOCK_DGRAM, IPPROTO_UDP);
    const socklen_t length = info.addressFamily == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    // Non-blocking, so that a readiness report without a datagram never stalls the loop; connected, so that
    // only the server's own datagrams arrive.
    if (!socket || !socket->SetNonBlocking() || socket->Connect(&server, length, 0) != 0) {
        CLogMessage(kLogError, m_context)
            << logPrefix() << " - resolve " << kind << " on " << serverText(request) << " cannot be started";
        return false;
    }
    info.dnsSocket = std::move(socket);
    CLogMessage(kLogDebug, m_context) << logPrefix() << " - start resolve " << kind << " on " << serverText(request);
    return true;
}

void DnsResolveProcessor::startSocketProcessing(socketInfo& info)
{
    const bool ipv6 = &info == &ip6SocketInfo;
    auto self = shared_from_this();
    std::uint64_t id = 0;
    if (!addSocket(info.dnsSocket->GetSocket(), false, static_cast<std::uint64_t>(m_settings.resendInterval.count()),
            id, [self, ipv6](eventDescription event) { self->onSocketEvent(ipv6, event); })) {
        info.socketId = 0;
        removeSocket(id);
        return;
    }
    info.socketId = id;
    (void)processSocketTimeoutAndSendRequest(info);
}

void DnsResolveProcessor::onSocketEvent(bool ipv6, const eventDescription& event)
{
    Result result;
    {
        MutexLock lock(m_mutex);
        socketInfo& info = ipv6 ? ip6SocketInfo : ip4SocketInfo;
        if (info.socketId == 0 || info.socketId != event.socketId) {
            return; // a late event after the socket was closed
        }
        if (event.timeout) {
            // A busy loop (or a sweep) may hand out the time-out before the read event of an answer that has
            // already arrived: take that answer first, so that it is neither sent for again nor given up on.
            processSocketAnswer(info);
            if (info.socketId != 0 && !processSocketTimeoutAndSendRequest(info) && checkFailedState()) {
                provideResult(false, m_host);
            }
        } else if (event.read) {
            processSocketAnswer(info);
        }
        result = std::move(m_pending);
        m_pending.reset();
    }
    deliver(std::move(result));
}

bool DnsResolveProcessor::processSocketTimeoutAndSendRequest(socketInfo& info)
{
    if (info.socketId == 0) {
        return false;
    }
    if (info.resolveCounter < m_settings.maxSends && !answerProvided) {
        ++info.resolveCounter;
        int error = 0;
        const ssize_t sent = info.dnsSocket->Send(info.data.request.data(), info.data.request.size(), 0, error);
        if (sent != static_cast<ssize_t>(info.data.request.size())) {
            CLogMessage(kLogDebug, m_context)
                << logPrefix() << " - cannot send to " << serverText(info.data) << ", error " << error;
            processSocketClosing(info);
            if (checkFailedState()) {
                provideResult(false, m_host);
            }
            return false;
        }
        return true;
    }
    processSocketClosing(info);
    return false;
}

void DnsResolveProcessor::processSocketAnswer(socketInfo& info)
{
    std::vector<std::uint8_t> buffer(kAnswerBuffer);
    for (;;) {
        int error = 0;
        const ssize_t received = info.dnsSocket->Recv(buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC, error);
        if (received < 0) {
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                return; // nothing (more) to read: keep waiting
            }
            // The server is unreachable (ICMP) or the socket failed: this way of resolving is over.
            CLogMessage(kLogDebug, m_context)
                << logPrefix() << " - receive from " << serverText(info.data) << " failed, error " << error;
            processSocketClosing(info);
            if (checkFailedState()) {
                provideResult(false, m_host);
            }
            return;
        }
        if (static_cast<size_t>(received) > buffer.size()) {
            continue; // cannot happen with a buffer of the largest datagram; never parse a cut one
        }
        DnsMessageInfo answer;
        std::vector<DnsAnswerAddress> addresses;
        std::string reason;
        const auto parsed = ParseDnsMessage(
            buffer.data(), static_cast<size_t>(received), DnsMessageKind::Response, answer, addresses, reason);
        if (parsed == DnsParseResult::HeaderRejected || answer.id != info.question.id
            || answer.nameLow != info.question.nameLow || answer.qtype != info.question.qtype) {
            CLogMessage(kLogDebug, m_context) << logPrefix() << " - ignored a datagram from " << serverText(info.data)
                                              << " that answers no request of ours";
            continue;
        }
        bool empty = false;
        const bool usable = parsed == DnsParseResult::Accepted
            && updateHostDataFromDnsAnswer(buffer.data(), static_cast<size_t>(received), empty);
        processSocketClosing(info);
        if (usable && !empty) {
            provideResult(true, m_host);
        } else if (checkFailedState()) {
            provideResult(false, m_host);
        }
        return;
    }
}

bool DnsResolveProcessor::updateHostDataFromDnsAnswer(const std::uint8_t* data, size_t length, bool& empty)
{
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string reason;
    if (ParseDnsMessage(data, length, DnsMessageKind::Response, info, answers, reason) != DnsParseResult::Accepted) {
        return false;
    }
    empty = answers.empty();
    if (empty) {
        return true;
    }
    const std::string name = withoutFinalDot(info.name);
    for (const DnsAnswerAddress& answer : answers) {
        CLogMessage(kLogDebug, m_context)
            << "resolve " << name << " - address is " << addressText(reinterpret_cast<const sockaddr&>(answer.address))
            << ", ttl = " << answer.ttl;
    }
    if (m_settings.storage != nullptr) {
        m_settings.storage->AddAnswersToRecord(name, true, answers, true);
    }
    for (const int family : { AF_INET, AF_INET6 }) {
        for (const DnsAnswerAddress& answer : answers) {
            const sockaddr& address = reinterpret_cast<const sockaddr&>(answer.address);
            if (address.sa_family != family) {
                continue;
            }
            const bool fake = family == AF_INET
                ? IsIPv4InFakeRange(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr)
                : IsIPv6InFakeRange(reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
            if (!fake) {
                m_host.SetResolvedAddress(address);
                return true;
            }
        }
    }
    // Only placeholder addresses: nothing a connection could use.
    empty = true;
    return true;
}

void DnsResolveProcessor::processSocketClosing(socketInfo& info)
{
    if (info.socketId == 0) {
        return;
    }
    (void)info.dnsSocket->Shutdown();
    const std::uint64_t id = info.socketId;
    info.socketId = 0;
    removeSocket(id);
}

bool DnsResolveProcessor::checkFailedState() const
{
    return !answerProvided && ip4SocketInfo.socketId == 0 && ip6SocketInfo.socketId == 0;
}

void DnsResolveProcessor::provideResult(bool success, const CHost& host)
{
    if (answerProvided) {
        return;
    }
    answerProvided = true;
    m_pending.emplace(success, host);
}

void DnsResolveProcessor::deliver(Result result)
{
    if (result && m_resultProcessor) {
        m_resultProcessor(result->first, result->second);
    }
}

// The system resolver: the lookup calls back under m_mutex, from inside the calls made here and on loop events.

bool DnsResolveProcessor::ResolveHostnameUsingSystemResolver()
{
    SystemLookup::Handlers handlers;
    handlers.address = [this](const sockaddr* address, int ttl) {
        m_mutex.assertHeld();
        processSystemDnsAnswer(address, ttl);
        if (m_systemFound) {
            // The first address found is the answer; the other lookup may still add addresses to the table.
            provideResult(true, m_host);
        }
    };
    handlers.log = [this](bool error, const std::string& text) {
        m_mutex.assertHeld();
        CLogMessage(error ? kLogError : kLogDebug, m_context) << logPrefix() << " - " << text;
    };
    handlers.finished = [this]() {
        m_mutex.assertHeld();
        provideResult(m_systemFound, m_host);
    };
    handlers.onLoop = [this](const std::function<void()>& step) { runSystemStep(step); };
    m_systemLookup = std::make_unique<SystemLookup>(m_mutex, m_eventManager, std::move(handlers), kSystemTick);

    Result result;
    bool started = false;
    {
        MutexLock lock(m_mutex);
        std::string reason;
        m_systemLookup->assertOwnerMutexHeld();
        started = m_systemLookup->start(
            m_host.GetHostName(), m_settings.systemServers, m_settings.systemTimeout, shared_from_this(), reason);
        if (!started) {
            CLogMessage(kLogError, m_context) << logPrefix() << " - system resolve cannot be started: " << reason;
            provideResult(false, m_host);
        }
        result = std::move(m_pending);
        m_pending.reset();
    }
    deliver(std::move(result));
    return started;
}

void DnsResolveProcessor::runSystemStep(const std::function<void()>& step)
{
    Result result;
    {
        MutexLock lock(m_mutex);
        step();
        result = std::move(m_pending);
        m_pending.reset();
    }
    deliver(std::move(result));
}

void DnsResolveProcessor::processSystemDnsAnswer(const sockaddr* address, int ttl)
{
    const std::string name = m_host.GetHostName();
    if (address == nullptr) {
        CLogMessage(kLogDebug, m_context) << "resolve " << name << " - address is NULL";
        return;
    }
    const uint32_t shortTtl = clampTtl(ttl);
    CLogMessage(kLogDebug, m_context) << "resolve " << name << " - address is " << addressText(*address)
                                      << ", ttl = " << shortTtl;
    bool usable = false;
    if (address->sa_family == AF_INET) {
        const uint32_t v4 = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
        usable = v4 != 0 && !IsIPv4InFakeRange(v4);
        if (usable && m_settings.storage != nullptr) {
            m_settings.storage->AddRealIPv4(v4, name, shortTtl, true);
        }
    } else if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&v6);
        usable = std::any_of(bytes, bytes + sizeof v6, [](uint8_t b) { return b != 0; }) && !IsIPv6InFakeRange(v6);
        if (usable && m_settings.storage != nullptr) {
            m_settings.storage->AddRealIPv6(v6, name, shortTtl, true);
        }
    }
    if (usable && !m_systemFound) {
        // Every address goes into the table; the first usable one is the answer.
        m_systemFound = true;
        m_host.SetResolvedAddress(*address);
    }
}

} // namespace corvantis
