#include "extension/engine/ClientProcessorWrapper.h"

#include "core/foundation/FakeAddressRange.h"
#include "core/foundation/Log.h"
#include "core/foundation/LogMessage.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/SystemUtils.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/RuleLookup.h"
#include "core/proxy/HttpTraffic.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/DnsCodec.h"
#include "platform/ThreadName.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
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

std::shared_ptr<ClientProcessorWrapper> ClientProcessorWrapper::create(
    CCorvantisAppProxy& app, DnsResolverSettings resolver)
{
    return std::make_shared<ClientProcessorWrapper>(PrivateTag {}, app, std::move(resolver));
}

std::shared_ptr<ClientProcessorWrapper> ClientProcessorWrapper::create()
{
    return create(GetAppProxy());
}

DispatchSemaphorePtr ClientProcessorWrapper::MakeConnectSemaphore(long limit)
{
    return std::make_shared<DispatchSemaphore>(limit);
}

ClientProcessorWrapper::ClientProcessorWrapper(PrivateTag, CCorvantisAppProxy& app, DnsResolverSettings resolver)
    : m_app(app)
    , m_resolver(std::move(resolver))
    , m_clientProcessor(app)
{
    if (!m_resolver.storage)
        m_resolver.storage = &app.GetDnsStorage();
}

ClientProcessorWrapper::~ClientProcessorWrapper() = default;

int ClientProcessorWrapper::createNewConnection(
    const AppNameWrapper* app, const char* hostname, const char* endpoint, const char* port, bool isUdp)
{
    const CLogContext identity = app ? app->getName() : CLogContext {};
    switch (m_clientProcessor.ProcessConnectionRequest(identity, hostname, endpoint, port, isUdp)) {
    case CClientProcessor::kRefused:
        return kRefused;
    case CClientProcessor::kTaken:
        return kTaken;
    default:
        return kNotTaken;
    }
}

bool ClientProcessorWrapper::startConnectThread(const char* threadName, std::optional<CHost> resolved,
    const DispatchSemaphorePtr& semaphore, const ConnectResultProcessor& resultProcessor)
{
    semaphore->wait();
    try {
        std::thread([self = shared_from_this(), name = std::string(threadName), resolved = std::move(resolved),
                        semaphore, resultProcessor] {
            setCurrentThreadName(name);
            const bool connected = self->m_clientProcessor.ConnectTargetHost(resolved);
            if (resultProcessor)
                resultProcessor(connected);
            semaphore->signal();
        }).detach();
    } catch (const std::system_error& e) {
        // No thread: the unit goes back and the connection fails like any other that could not connect.
        semaphore->signal();
        m_clientProcessor.FailConnection(std::string("connect thread cannot be started: ") + e.what());
        if (resultProcessor)
            resultProcessor(false);
        return false;
    }
    return true;
}

bool ClientProcessorWrapper::establishRemoteConnection(const SocketEventsManagerPtr& eventManager,
    const std::shared_ptr<const AppNameSource>& appName, const DispatchQueuePtr& queue,
    const DispatchSemaphorePtr& semaphore, ConnectResultProcessor resultProcessor)
{
    const CTunnel::SConnectPrepare prepared = m_clientProcessor.ConnectionTargetHostPrepare();
    if (prepared.kind == CTunnel::kConnectNow)
        return startConnectThread("Corvantis connect thread (IP)", std::nullopt, semaphore, resultProcessor);

    if (prepared.kind == CTunnel::kBlocked || !prepared.host) {
        m_clientProcessor.FailConnection("connection cannot be established");
        if (resultProcessor)
            resultProcessor(false);
        return false;
    }

    const CHost host = *prepared.host;
    auto self = shared_from_this();
    // The resolver reports on the event loop's thread. Failing a connection reports it to the connection
    // throttle, which may sleep, so both outcomes move to the connect queue before anything else happens.
    auto onResolved = [self, queue, semaphore, resultProcessor, host](bool success, const CHost& resolved) {
        queue->async([self, semaphore, resultProcessor, host, success, resolved] {
            if (!success) {
                self->m_clientProcessor.FailConnection("Could not resolve " + host.GetHostName());
                if (resultProcessor)
                    resultProcessor(false);
                return;
            }
            self->startConnectThread("Corvantis connect thread (resolved IP)", resolved, semaphore, resultProcessor);
        });
    };
    // A resolver that could not start has already reported its failure through onResolved.
    DnsResolveProcessor::resolveHost(host, eventManager, appName, std::move(onResolved), m_resolver);
    return true;
}

bool ClientProcessorWrapper::needDownstreamNow() const
{
    const auto record = m_clientProcessor.GetConnection();
    return !(record && record->HasDataPath());
}

void ClientProcessorWrapper::prepateDataForRemote(const std::vector<uint8_t>& data,
    std::optional<std::vector<uint8_t>>& answer, std::optional<std::vector<uint8_t>>& replacedData)
{
    answer.reset();
    replacedData.reset();
    const auto record = m_clientProcessor.GetConnection();
    if (!record || !record->HasDataPath())
        return;
    const std::shared_ptr<CSafeSocket> remote = record->GetRemoteSocket();
    if (!m_httpTraffic) {
        const CProxy* proxy = record->GetDataPath();
        if (!proxy || !remote)
            return;
        m_httpTraffic = std::make_unique<CHttpTraffic>(*proxy, remote.get());
    }
    std::string answerText;
    std::string rest;
    // The forwarding writes the rewritten request (and any authentication exchange) to the proxy itself; those
    // bytes went towards the remote side and count like every other sent byte. Only this path sends on the
    // socket, so the socket's own counter tells them apart.
    const uint64_t sentBefore = remote ? remote->GetBytesSent() : 0;
    const bool forwarded = m_httpTraffic->ProcessRequest(data.data(), data.size(), answerText, rest);
    if (remote) {
        const uint64_t sentHere = remote->GetBytesSent() - sentBefore;
        if (sentHere > 0) {
            record->AddBytesSent(sentHere);
            m_app.GetStatistics().AddSent(sentHere);
        }
    }
    if (!forwarded) {
        CLogMessage(kLogError, record->GetContext())
            << FormatConnEndpoint(*record, false) << " HTTP connection error: " << m_httpTraffic->TakeText();
        if (!record->IsClosed())
            record->MarkClosed();
        record->SetDataPath(nullptr);
        return;
    }
    if (!answerText.empty())
        answer = std::vector<uint8_t>(answerText.begin(), answerText.end());
    replacedData = std::vector<uint8_t>(rest.begin(), rest.end());
}

void ClientProcessorWrapper::openDumpsOnce()
{
    std::call_once(m_dumpOnce, [this] {
        if (!m_app.GetSettings().TrafficLogEnabled)
            return;
        const auto record = m_clientProcessor.GetConnection();
        const std::string folder = GetTrafficDir();
        if (!record || folder.empty())
            return;
        m_dumps = OpenTrafficDumpFiles(folder, GetTrafficDumpApplication(record->GetContext()),
            record->GetTarget().ToString(false), MakeTrafficDumpStamp());
    });
}

void ClientProcessorWrapper::dump(bool towardsRemote, const uint8_t* data, size_t length)
{
    openDumpsOnce();
    std::FILE* file = towardsRemote ? m_dumps.to.get() : m_dumps.from.get();
    if (!file || length == 0)
        return;
    std::fwrite(data, 1, length, file);
    std::fflush(file);
}

bool ClientProcessorWrapper::sendDataToRemote(const uint8_t* data, size_t length, int64_t& sent, int32_t& err)
{
    sent = 0;
    err = 0;
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote) {
        err = EBADF;
        return false;
    }
    int error = 0;
    const ssize_t n = remote->Send(data, length, MSG_DONTWAIT | MSG_NOSIGNAL, error);
    if (n < 0) {
        err = error;
        return false;
    }
    sent = n;
    const auto count = static_cast<uint64_t>(n);
    record->AddBytesSent(count);
    m_app.GetStatistics().AddSent(count);
    dump(true, data, count);
    return true;
}

int ClientProcessorWrapper::getNativeHandler() const
{
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    // A closed socket's number may already belong to another connection: nobody may poll or shut it down.
    return remote && !remote->IsClosed() ? remote->GetSocket() : -1;
}

int ClientProcessorWrapper::setRecvTimoutOnRemoteSocket()
{
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote)
        return EBADF;
    timeval timeout {};
    timeout.tv_sec = 0;
    timeout.tv_usec = 100;
    if (remote->SetSockOpt(SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return errno;
    return 0;
}

std::optional<std::vector<uint8_t>> ClientProcessorWrapper::recvDataFromRemoteWithError(int32_t& err)
{
    err = 0;
    const auto record = m_clientProcessor.GetConnection();
    const std::shared_ptr<CSafeSocket> remote = record ? record->GetRemoteSocket() : nullptr;
    if (!remote) {
        err = EBADF;
        return std::nullopt;
    }
    std::vector<uint8_t> buffer(kRecvChunk);
    int error = 0;
    const ssize_t n = remote->Recv(buffer.data(), buffer.size(), MSG_DONTWAIT, error);
    if (n < 0) {
        err = error;
        return std::nullopt;
    }
    buffer.resize(static_cast<size_t>(n));
    const auto count = static_cast<uint64_t>(n);
    record->AddBytesReceived(count);
    m_app.GetStatistics().AddReceived(count);
    dump(false, buffer.data(), buffer.size());
    return buffer;
}

void ClientProcessorWrapper::close()
{
    m_clientProcessor.CloseConnection();
    // Both pumps have stopped by now; what was written reaches the files.
    if (m_dumps.to)
        std::fflush(m_dumps.to.get());
    if (m_dumps.from)
        std::fflush(m_dumps.from.get());
}

// ---- DNS ----

bool ClientProcessorWrapper::processDnsConnection(const AppNameWrapper& app)
{
    CProfileData profile;
    m_app.GetProfile(profile, true);
    const CLogContext identity = app.getName();
    if (RulesNeedDnsForApp(profile, LowerCaseContext(identity)))
        return true;
    CLogMessage(kLogVerbose, identity) << "DNS request bypassed (According to Rules)";
    return false;
}

std::optional<std::vector<uint8_t>> ClientProcessorWrapper::makeAnswer(
    const std::vector<uint8_t>& request, const sockaddr* address, size_t& length) const
{
    std::vector<uint8_t> message(request);
    message.resize(request.size() + kAnswerRoom);
    length = request.size();
    if (!AppendDnsAnswer(message.data(), length, message.size(), address, kAnswerTtl))
        return std::nullopt;
    message.resize(length);
    return message;
}

std::optional<std::vector<uint8_t>> ClientProcessorWrapper::makeEmptyAnswer(const std::vector<uint8_t>& request) const
{
    std::vector<uint8_t> message(request);
    size_t length = message.size();
    if (!MakeDnsEmptyAnswer(message.data(), length))
        return std::nullopt;
    message.resize(length);
    return message;
}

std::optional<sockaddr_storage> ClientProcessorWrapper::addressForQuestion(
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
    CDnsStorage& storage = *m_resolver.storage;
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

bool ClientProcessorWrapper::processDnsRequest(const std::vector<uint8_t>& request, const AppNameWrapper& app,
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

void ClientProcessorWrapper::processDnsAnswer(
    CCorvantisAppProxy& app, const std::vector<uint8_t>& answer, const AppNameWrapper& fromApp)
{
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string error;
    const CLogContext identity = fromApp.getName();
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

void ClientProcessorWrapper::processDnsAnswer(const std::vector<uint8_t>& answer, const AppNameWrapper& fromApp)
{
    processDnsAnswer(GetAppProxy(), answer, fromApp);
}

} // namespace corvantis
