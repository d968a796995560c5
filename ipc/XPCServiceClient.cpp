#include "ipc/XPCServiceClient.h"

#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "platform/xpc/XpcLog.h"

namespace corvantis {

XPCServiceClient::XPCServiceClient()
    : m_bundleId(kHelperServiceName)
    , m_connection(XpcConnection::createForService(m_bundleId, 0))
{
    m_connection->setInterruptionHandler([] { XpcLog::info("interruption"); });
    m_connection->setInvalidationHandler([] { XpcLog::info("invalidation"); });
    m_connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCBaseProtcol));
    m_proxy = IPCRemoteObject::proxyAs<IPCBaseProtcol>(m_connection);
    m_connection->resume();
}

void XPCServiceClient::runHelperWithReply(std::function<void(std::string)> reply)
{
    m_proxy->helloWithVersion("11", [](std::string answer) { XpcLog::info(answer); });
    reply = nullptr;
}

} // namespace corvantis
