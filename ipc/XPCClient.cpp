#include "ipc/XPCClient.h"

#include "core/foundation/IPCHelper.h"
#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "platform/xpc/XpcLog.h"

namespace corvantis {

XPCClient::XPCClient(std::string bundleId)
    : m_bundleId(std::move(bundleId))
{
}

void XPCClient::run()
{
    auto connection = XpcConnection::createForService(m_bundleId, XpcConnection::kPrivileged);
    XpcConnectionPtr previous;
    {
        MutexLock lock(m_mutex);
        previous = std::exchange(m_connection, connection);
    }
    connection->setInterruptionHandler([] { XpcLog::info("interruption"); });
    connection->setInvalidationHandler([] { XpcLog::info("invalidation"); });
    connection->resume();
    connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCBaseProtcol));
    IPCRemoteObject::proxyAs<IPCBaseProtcol>(connection)
        ->helloWithVersion(IPCHelper::getFullVersionString(), [](std::string answer) { XpcLog::info(answer); });
}

} // namespace corvantis
