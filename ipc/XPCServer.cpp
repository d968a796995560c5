#include "ipc/XPCServer.h"

#include "core/foundation/IPCHelper.h"
#include "ipc/IPCExportedObject.h"
#include "ipc/IPCInterfaces.h"

#include <unistd.h>

namespace corvantis {

Result<std::shared_ptr<XPCServer>> XPCServer::create(const std::string& bundleId)
{
    XpcListener::Options options;
    options.allowedUids = { 0, ::geteuid() };
    auto listener = XpcListener::createForService(bundleId, std::move(options));
    if (!listener.ok())
        return listener.status();
    auto server = std::make_shared<XPCServer>(PrivateTag {}, bundleId, listener.value());
    listener.value()->setDelegate([weak = std::weak_ptr<XPCServer>(server)](const XpcConnectionPtr& connection) {
        auto self = weak.lock();
        return self && self->listenerShouldAcceptNewConnection(connection);
    });
    if (Status st = listener.value()->resume(); !st.ok())
        return st;
    return server;
}

XPCServer::XPCServer(PrivateTag, std::string bundleId, XpcListenerPtr listener)
    : m_bundleId(std::move(bundleId))
    , m_listener(std::move(listener))
    , m_interface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCBaseProtcol))
{
}

XPCServer::~XPCServer()
{
    m_listener->invalidate();
}

bool XPCServer::listenerShouldAcceptNewConnection(const XpcConnectionPtr& connection)
{
    {
        MutexLock lock(m_mutex);
        if (listenerConnection)
            return false;
        listenerConnection = connection;
    }
    connection->setExportedInterface(m_interface);
    // The server keeps the connection; with the server itself as the connection's exported object, each would
    // keep the other alive forever. The exported object reaches the server weakly instead.
    struct Forward final : IPCBaseProtcol {
        std::weak_ptr<XPCServer> server;
        void helloWithVersion(const std::string& version, StringReply reply) override
        {
            if (auto self = server.lock())
                self->helloWithVersion(version, std::move(reply));
        }
    };
    auto forward = std::make_shared<Forward>();
    forward->server = weak_from_this();
    connection->setExportedObject(IPCExportedObject::forIPCBaseProtcol(forward));
    connection->resume();
    return true;
}

void XPCServer::helloWithVersion(const std::string&, StringReply reply)
{
    reply(IPCHelper::getFullVersionString());
}

} // namespace corvantis
