#include "extension/daemon/CorvantisWorker.h"

#include "extension/engine/ClientProcessorWrapper.h"
#include "ipc/IPCMessage.h"
#include "platform/SystemLog.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace corvantis {

namespace {

// The reply to a provider message, as archive bytes: the "fail" reply when `text` cannot be archived, and no
// bytes at all when not even that can.
std::vector<uint8_t> replyBytes(const std::string& text)
{
    IPCMessage reply;
    reply.error = MessageText { text };
    if (auto bytes = IPCMessage::encode(reply); bytes.ok())
        return std::move(bytes.value());
    reply.error = MessageText { "fail" };
    if (auto bytes = IPCMessage::encode(reply); bytes.ok())
        return std::move(bytes.value());
    return {};
}

} // namespace

std::shared_ptr<CorvantisWorker> CorvantisWorker::sharedWorker()
{
    static std::once_flag once;
    static std::shared_ptr<CorvantisWorker> worker;
    std::call_once(once, [] { worker = std::make_shared<CorvantisWorker>(); });
    return worker;
}

namespace {

std::shared_ptr<TcpSplicePump> OpenSplicePump()
{
    auto pump = TcpSplicePump::open();
    if (pump)
        return std::move(*pump);
    SystemLog("Corvantis " + pump.status().message() + ": " + std::strerror(pump.status().errnum()));
    return nullptr;
}

} // namespace

CorvantisWorker::CorvantisWorker(Settings settings)
    : m_settings(std::move(settings))
    , m_udpFlowsManager(std::make_shared<UdpFlowsManager>(UdpFlowProcessor::factory(m_settings.udp)))
    , m_tcpFlowsManager(std::make_shared<TcpFlowsManager>(m_settings.tcp))
    , m_socketEventsManager(std::make_shared<SocketEventsManager>())
    , m_mainQueue(DispatchQueue::create("Corvantis worker queue"))
    , m_socketQueue(DispatchQueue::create("Corvantis socket queue"))
    , m_tcpConnectQueue(DispatchQueue::create("Corvantis tcp connect queue"))
    , m_tcpMainQueue(DispatchQueue::create("Corvantis tcp main queue"))
    , m_udpProcessingQueue(DispatchQueue::create("Corvantis UDP processing queue"))
    , m_apiSyncQueue(DispatchQueue::create("Corvantis API processing queue"))
    , m_tcpConnectionSemaphore(ClientProcessorWrapper::MakeConnectSemaphore())
    , m_tcpSplicePump(OpenSplicePump())
{
}

CorvantisWorker::~CorvantisWorker()
{
    if (m_isInitialized) {
        m_socketEventsManager->Stop();
        m_socketQueue->sync([] {});
    }
}

bool CorvantisWorker::initializeEngine()
{
    if (!m_coreWrapper.initInstance()) {
        CorvantisCoreWrapper::putLog(true, false, "Corvantis core cannot be initialized");
        return false;
    }
    const std::string fakeIp = std::to_string(m_coreWrapper.getInternalSubnetNumber()) + ".0.0.1";
    m_udpFlowsManager->setDnsFakeIp(fakeIp);
    m_tcpFlowsManager->setDnsFakeIp(fakeIp);
    if (m_isInitialized)
        return true;
    if (!m_socketEventsManager->InitInstance()) {
        CorvantisCoreWrapper::putLog(true, false, "Socket manager cannot be initialized");
        return false;
    }
    // The loop never ends while the process runs; it keeps one thread of the pool.
    m_socketQueue->async([events = m_socketEventsManager] { events->EventsProcessingThread(); });
    m_isInitialized = true;
    return true;
}

void CorvantisWorker::processAppMessage(
    const std::vector<uint8_t>& message, std::function<void(const std::vector<uint8_t>& reply)> completion)
{
    std::string text = "fail";
    auto decoded = IPCMessage::decode(message);
    // An archive that holds no message cannot be read as a request either.
    if (decoded.ok() && decoded.value()) {
        const IPCMessage& request = *decoded.value();
        if (request.error) {
            text = "Error message cannot be processed";
        } else if (request.forceQuit) {
            if (m_settings.exitProcess)
                m_settings.exitProcess(0);
            else
                std::_Exit(0);
            return;
        } else {
            text = "message type not known";
        }
    }
    std::vector<uint8_t> reply = replyBytes(text);
    if (completion)
        m_apiSyncQueue->async([completion = std::move(completion), reply = std::move(reply)] { completion(reply); });
}

bool CorvantisWorker::handleNewTcpFlow(const NEAppProxyTCPFlowPtr& flow)
{
    TcpFlowQueues queues;
    queues.socketEvents = m_socketEventsManager;
    queues.connect = m_tcpConnectQueue;
    queues.connectSemaphore = m_tcpConnectionSemaphore;
    queues.main = m_tcpMainQueue;
    queues.api = m_apiSyncQueue;
    queues.splice = m_tcpSplicePump;
    return m_tcpFlowsManager->handleNewFlow(flow, queues);
}

bool CorvantisWorker::handleNewUdpFlow(
    const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint, bool fromDnsProxy)
{
    UdpFlowQueues queues;
    queues.socketEvents = m_socketEventsManager;
    queues.processing = m_udpProcessingQueue;
    queues.api = m_apiSyncQueue;
    return m_udpFlowsManager->handleNewFlow(flow, initialRemoteEndpoint, queues, fromDnsProxy);
}

bool CorvantisWorker::takeTcpFlow(const std::shared_ptr<NEAppProxyFlow>& flow)
{
    const auto tcp = std::dynamic_pointer_cast<NEAppProxyTCPFlow>(flow);
    if (!tcp)
        return false;
    bool taken = false;
    m_mainQueue->sync([&] { taken = handleNewTcpFlow(tcp); });
    return taken;
}

bool CorvantisWorker::takeUdpFlow(
    const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint, bool fromDnsProxy)
{
    bool taken = false;
    m_mainQueue->sync([&] { taken = handleNewUdpFlow(flow, initialRemoteEndpoint, fromDnsProxy); });
    return taken;
}

void CorvantisWorker::stopAppProxy()
{
    m_tcpMainQueue->async([manager = m_tcpFlowsManager] { manager->closeAllFlows(); });
}

void CorvantisWorker::stopDnsProxy()
{
    m_udpProcessingQueue->async([manager = m_udpFlowsManager] { manager->closeAllFlows(); });
}

} // namespace corvantis
