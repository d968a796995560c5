#include "extension/daemon/XPCServerInExtension.h"

#include "core/foundation/LogEventWrap.h"
#include "extension/daemon/ExtensionStartup.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "ipc/GssEndpointSlot.h"
#include "ipc/IPCExportedObject.h"
#include "ipc/IPCInterfaces.h"

namespace corvantis {

Result<std::shared_ptr<XPCServerInExtension>> XPCServerInExtension::start(
    const std::string& serviceName, std::optional<uid_t> allowedUid, std::shared_ptr<CorvantisWorker> worker)
{
    auto listener = XpcListener::createForService(serviceName, DaemonServiceOptions(allowedUid));
    if (!listener.ok())
        return listener.status();
    auto server = std::make_shared<XPCServerInExtension>(PrivateTag {}, std::move(worker));
    server->m_listener = listener.value();
    listener.value()->setDelegate(
        [weak = std::weak_ptr<XPCServerInExtension>(server)](const XpcConnectionPtr& connection) {
            const auto self = weak.lock();
            return self && self->listenerShouldAcceptNewConnection(connection);
        });
    if (Status status = listener.value()->resume(); !status.ok())
        return status;
    return server;
}

XPCServerInExtension::XPCServerInExtension(PrivateTag, std::shared_ptr<CorvantisWorker> worker)
    : m_worker(std::move(worker))
{
}

XPCServerInExtension::~XPCServerInExtension()
{
    if (m_listener)
        m_listener->invalidate();
}

bool XPCServerInExtension::listenerShouldAcceptNewConnection(const XpcConnectionPtr& connection)
{
    connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCExtension));
    // The connection holds its exported object; the object reaches the service weakly, so that neither keeps
    // the other alive for good.
    struct Forward final : IPCExtension {
        std::weak_ptr<XPCServerInExtension> server;
        void helloWithVersion(const std::string& version, StringReply reply) override
        {
            if (auto self = server.lock())
                self->helloWithVersion(version, std::move(reply));
        }
        void updateSettingWithSettings(
            const PlistDict& settings, const std::string& profile, StringReply reply) override
        {
            if (auto self = server.lock())
                self->updateSettingWithSettings(settings, profile, std::move(reply));
        }
        void retriveTickDataWithReply(TickDataReply reply) override
        {
            if (auto self = server.lock())
                self->retriveTickDataWithReply(std::move(reply));
        }
        void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override
        {
            if (auto self = server.lock())
                self->setGssServerEndpointWithGssServerEndpoint(endpoint, std::move(reply));
        }
    };
    auto forward = std::make_shared<Forward>();
    forward->server = weak_from_this();
    connection->setExportedObject(IPCExportedObject::forIPCExtension(forward));
    std::weak_ptr<XPCServerInExtension> weak = weak_from_this();
    std::weak_ptr<XpcConnection> weakConnection = connection;
    auto forget = [weak, weakConnection] {
        const auto self = weak.lock();
        if (!self)
            return;
        MutexLock lock(self->m_mutex);
        if (self->m_currentConnection == weakConnection.lock())
            self->m_currentConnection.reset();
    };
    connection->setInvalidationHandler(forget);
    connection->setInterruptionHandler(forget);
    {
        MutexLock lock(m_mutex);
        m_currentConnection = connection;
    }
    connection->resume();
    return true;
}

XpcConnectionPtr XPCServerInExtension::currentConnection() const
{
    MutexLock lock(m_mutex);
    return m_currentConnection;
}

void XPCServerInExtension::helloWithVersion(const std::string& version, StringReply reply)
{
    LogEventWrap::putLogDebugFromApp(nullptr, "Hello message processed in extension " + version);
    reply(CorvantisCoreWrapper::versionForHello());
}

void XPCServerInExtension::updateSettingWithSettings(
    const PlistDict& settings, const std::string& profile, StringReply reply)
{
    const std::string status = CorvantisCoreWrapper::settingsUpdateNotification(settings, profile);
    if (!status.empty()) {
        reply(status);
        return;
    }
    bool up = false;
    m_worker->mainQueue()->sync([&] { up = m_worker->initializeEngine(); });
    reply(up ? std::string() : std::string("Corvantis core cannot be initialized"));
}

void XPCServerInExtension::retriveTickDataWithReply(TickDataReply reply)
{
    std::vector<uint8_t> up;
    std::vector<uint8_t> down;
    CorvantisCoreWrapper::getTrafficDataUp(up, down);
    std::string statistics = CorvantisCoreWrapper::getStatText();
    std::string log = CorvantisCoreWrapper::getLogMessages();
    std::string connections = CorvantisCoreWrapper::getConnections();
    // The sixth value is always sent; no history element goes as the empty text.
    std::string loop = CorvantisCoreWrapper::getLoopDetectinHistoryElement().value_or("");
    reply(
        std::move(statistics), std::move(log), std::move(connections), std::move(up), std::move(down), std::move(loop));
}

void XPCServerInExtension::setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply)
{
    GssEndpointSlot::store(std::make_shared<const XpcEndpoint>(endpoint));
    reply(true);
}

} // namespace corvantis
