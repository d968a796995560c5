#include "extension/engine/DnsRequestHandler.h"

#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/LogMessage.h"
#include "core/profile/ProfileData.h"
#include "core/profile/RuleLookup.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/DnsCodec.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

namespace corvantis {

namespace {

// Room the made-up answer may take beyond the request.
constexpr size_t kAnswerRoom = 1000;

std::string WithoutFinalDot(std::string name)
{
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name;
}

std::string AddressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

} // namespace

DnsRequestHandler::DnsRequestHandler(CCorvantisAppProxy& app, DnsResolverSettings resolver)
    : m_app(app)
    , m_resolver(std::move(resolver))
{
}

bool DnsRequestHandler::processDnsConnection(const AppNameWrapper& app)
{
    CProfileData profile;
    m_app.GetProfile(profile, true);
    const CLogContext identity = app.getName();
    if (RulesNeedDnsForApp(profile, LowerCaseContext(identity)))
        return true;
    CLogMessage(kLogVerbose, identity) << "DNS request bypassed (According to Rules)";
    return false;
}

std::optional<std::vector<uint8_t>> DnsRequestHandler::makeAnswer(
    const std::vector<uint8_t>& request, const sockaddr* address, size_t& length) const
{
    std::vector<uint8_t> message(request);
    message.resize(request.size() + kAnswerRoom);
    length = request.size();
    if (!AppendDnsAnswer(message.data(), length, message.size(), address, ClientProcessorWrapper::kAnswerTtl))
        return std::nullopt;
    message.resize(length);
    return message;
}

std::optional<std::vector<uint8_t>> DnsRequestHandler::makeEmptyAnswer(const std::vector<uint8_t>& request) const
{
    std::vector<uint8_t> message(request);
    size_t length = message.size();
    if (!MakeDnsEmptyAnswer(message.data(), length))
        return std::nullopt;
    message.resize(length);
    return message;
}

std::optional<sockaddr_storage> DnsRequestHandler::addressForQuestion(
    const std::string& name, uint16_t qtype, const CHost& resolved) const
{
    const int family = qtype == kDnsTypeA ? AF_INET : (qtype == kDnsTypeAAAA ? AF_INET6 : AF_UNSPEC);
    if (family == AF_UNSPEC)
        return std::nullopt;
    sockaddr_storage address {};
    if (resolved.GetSockAddr().sa_family == family) {
        std::memcpy(&address, &resolved.GetSockAddr(), resolved.GetSockAddrLen());
        return address;
    }
    // Every address the resolver learnt went into the table, the other family's too.
    CDnsStorage* const table = m_resolver.table();
    if (!table)
        return std::nullopt;
    CDnsStorage& storage = *table;
    MutexLock lock(storage.Mutex());
    const CDnsStorage::RecordPtr record = storage.FindRecord(name, false);
    if (!record)
        return std::nullopt;
    uint64_t ttl = 0;
    if (family == AF_INET) {
        uint32_t v4 = 0;
        if (!storage.PickRealIPv4(*record, v4, ttl) || v4 == 0 || IsIPv4InFakeRange(v4))
            return std::nullopt;
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = v4;
        return address;
    }
    CDnsStorage::IPv6Bytes v6 {};
    if (!storage.PickRealIPv6(*record, v6, ttl))
        return std::nullopt;
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    std::memcpy(&in6.sin6_addr, v6.data(), v6.size());
    if (IN6_IS_ADDR_UNSPECIFIED(&in6.sin6_addr) || IsIPv6InFakeRange(in6.sin6_addr))
        return std::nullopt;
    return address;
}

bool DnsRequestHandler::processDnsRequest(const std::vector<uint8_t>& request, const AppNameWrapper& app,
    const std::string& serverHost, uint16_t serverPort, bool internalServer, const SocketEventsManagerPtr& eventManager,
    DnsResultProcessor resultProcessor)
{
    DnsMessageInfo info;
    std::string error;
    if (ParseDnsRequest(request.data(), request.size(), info, error) != DnsParseResult::Accepted) {
        CLogMessage(kLogDebug) << "DNS request cannot be parsed";
        return false;
    }
    const CLogContext identity = app.getName();
    const std::string server = serverHost + ":" + std::to_string(serverPort);
    CLogMessage(kLogDebug, identity) << server << " DNS request: AF = " << static_cast<int>(info.family) << "/"
                                     << info.qtype << ", Name = " << info.name;

    const CHost serverAddress(serverHost, serverPort, true);
    CProfileData profile;
    m_app.GetProfile(profile, true);
    const std::string name = WithoutFinalDot(info.name);

    if (profile.m_ConnectionLoopDetection && m_app.CheckDnsLoop(identity, app.pid(), info.family, name))
        return false;

    if (info.qtype == kDnsTypeA || info.qtype == kDnsTypeAAAA) {
        // The application's own request is kept with the name, so a later resolution can replay it. A server
        // given by name, and the engine's own placeholder server, have no socket address worth keeping.
        const sockaddr* serverSocket
            = serverAddress.m_Resolved && !internalServer ? &serverAddress.GetSockAddr() : nullptr;
        uint64_t ttl = 0;
        sockaddr_storage placeholder {};
        bool have = false;
        if (info.qtype == kDnsTypeA) {
            const uint32_t address = m_app.GetFakeIpv4ForName(
                identity, name, serverAddress, profile, false, request.data(), request.size(), serverSocket, ttl);
            if (address != 0) {
                auto* v4 = reinterpret_cast<sockaddr_in*>(&placeholder);
                v4->sin_family = AF_INET;
                v4->sin_addr.s_addr = address;
                have = true;
            }
        } else {
            const in6_addr address = m_app.GetFakeIpv6ForName(
                identity, name, serverAddress, profile, false, request.data(), request.size(), serverSocket, ttl);
            if (!IN6_IS_ADDR_UNSPECIFIED(&address)) {
                auto* v6 = reinterpret_cast<sockaddr_in6*>(&placeholder);
                v6->sin6_family = AF_INET6;
                v6->sin6_addr = address;
                have = true;
            }
        }
        if (have) {
            size_t length = 0;
            auto answer = makeAnswer(request, reinterpret_cast<const sockaddr*>(&placeholder), length);
            if (answer) {
                CLogMessage(kLogDebug, identity)
                    << server << " DNS fake IP: Name = " << info.name
                    << ", IP = " << AddressText(reinterpret_cast<const sockaddr*>(&placeholder)) << ", ttl = " << ttl;
                if (resultProcessor)
                    resultProcessor(info.name, std::move(answer));
                return true;
            }
        }
    }

    if (!internalServer)
        return false;

    auto appName = std::make_shared<const AppNameWrapper>(app);
    auto self = shared_from_this();
    auto onResolved = [self, request, info, name, server, identity, resultProcessor](bool success, const CHost& host) {
        if (!resultProcessor)
            return;
        if (!success || !host.m_Resolved) {
            resultProcessor(info.name, std::nullopt);
            return;
        }
        // The resolver delivers the first address it finds, of either family; the answer must carry the type
        // the application asked for, or none at all.
        const std::optional<sockaddr_storage> address = self->addressForQuestion(name, info.qtype, host);
        size_t length = 0;
        auto answer = address ? self->makeAnswer(request, reinterpret_cast<const sockaddr*>(&*address), length)
                              : self->makeEmptyAnswer(request);
        if (!answer) {
            resultProcessor(info.name, std::nullopt);
            return;
        }
        if (address)
            CLogMessage(kLogDebug, identity) << server << " DNS resolved IP: Name = " << info.name
                                             << ", IP = " << AddressText(reinterpret_cast<const sockaddr*>(&*address));
        else
            CLogMessage(kLogDebug, identity)
                << server << " DNS resolved IP: Name = " << info.name << ", no address of type " << info.qtype;
        resultProcessor(info.name, std::move(answer));
    };
    DnsResolveProcessor::resolveHost(CHost(name, 0, false), eventManager, appName, std::move(onResolved), m_resolver);
    return true;
}

void DnsRequestHandler::processDnsAnswer(
    CCorvantisAppProxy& app, const std::vector<uint8_t>& answer, const AppNameWrapper* fromApp)
{
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string error;
    const std::optional<CLogContext> identity = fromApp ? std::optional<CLogContext>(fromApp->getName()) : std::nullopt;
    if (ParseDnsMessage(answer.data(), answer.size(), DnsMessageKind::Response, info, answers, error)
        != DnsParseResult::Accepted) {
        CLogMessage(kLogDebug, identity) << "DNS answer cannot be parsed";
        return;
    }
    if (answers.empty()) {
        CLogMessage(kLogDebug, identity) << "empty DNS response: AF = " << static_cast<int>(info.family) << "/"
                                         << info.qtype;
        return;
    }
    const std::string name = WithoutFinalDot(info.name);
    CDnsStorage& storage = app.GetDnsStorage();
    for (const DnsAnswerAddress& record : answers) {
        const auto* address = reinterpret_cast<const sockaddr*>(&record.address);
        CLogMessage(kLogDebug, identity) << "DNS response: AF = " << static_cast<int>(address->sa_family)
                                         << ", Name = " << info.name << ", IP = " << AddressText(address)
                                         << ", ttl = " << record.ttl;
        if (address->sa_family == AF_INET)
            storage.AddRealIPv4(
                reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr, name, record.ttl, false);
        else if (address->sa_family == AF_INET6)
            storage.AddRealIPv6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, name, record.ttl, false);
    }
}

} // namespace corvantis
