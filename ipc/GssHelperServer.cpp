#include "ipc/GssHelperServer.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/IPCHelper.h"
#include "core/foundation/LogEventWrap.h"
#include "core/proxy/GssNegotiate.h"
#include "ipc/IPCExportedObject.h"
#include "ipc/IPCInterfaces.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace corvantis {

std::shared_ptr<GssHelperServer> GssHelperServer::shared()
{
    static const std::shared_ptr<GssHelperServer> instance = std::make_shared<GssHelperServer>(PrivateTag {});
    return instance;
}

Status GssHelperServer::startListener()
{
    auto server = shared();
    XpcListener::Options options;
    // The extension runs as root; nobody else may ask for this user's tokens.
    options.allowedUids = { 0, ::getuid(), ::geteuid() };
    auto created = XpcListener::createAnonymous(std::move(options));
    if (!created.ok())
        return created.status();
    XpcListenerPtr listener = created.value();
    listener->setDelegate([weak = std::weak_ptr<GssHelperServer>(server)](const XpcConnectionPtr& connection) {
        auto self = weak.lock();
        return self && self->listenerShouldAcceptNewConnection(connection);
    });
    if (Status st = listener->resume(); !st.ok())
        return st;
    XpcListenerPtr previous;
    {
        MutexLock lock(server->m_mutex);
        previous = std::exchange(server->m_listener, listener);
    }
    if (previous)
        previous->invalidate();
    return {};
}

std::optional<XpcEndpoint> GssHelperServer::listenerEndpoint()
{
    auto server = shared();
    MutexLock lock(server->m_mutex);
    return server->m_listener ? server->m_listener->endpoint() : std::nullopt;
}

bool GssHelperServer::listenerShouldAcceptNewConnection(const XpcConnectionPtr& connection)
{
    connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::GssIPCProtcol));
    connection->setExportedObject(IPCExportedObject::forGssIPCProtcol(shared_from_this()));
    connection->setInterruptionHandler([] {});
    connection->setInvalidationHandler([] {});
    connection->resume();
    return true;
}

void GssHelperServer::helloWithVersion(const std::string& version, StringReply reply)
{
    LogEventWrap::putLogDebugFromApp(nullptr, "Hello message processed in extension " + version);
    reply(IPCHelper::getFullVersionString());
}

void GssHelperServer::retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply)
{
    std::vector<unsigned char> token(kGssBufferCapacity, 0);
    std::vector<char> text(kGssBufferCapacity, 0);
    size_t tokenLength = token.size();
    size_t textLength = text.size() - 1;
    const bool ok = GssGetNegotiateToken(proxyHostname.c_str(), &textLength, text.data(), &tokenLength, token.data());
    // The text is read up to its NUL (the buffer keeps one); the layer repairs invalid UTF-8 on the way.
    std::string message = ok ? std::string() : std::string(text.data(), ::strnlen(text.data(), text.size()));
    token.resize(std::min(tokenLength, token.size()));
    reply(ok, std::move(message), PlistData(token.begin(), token.end()));
}

} // namespace corvantis
