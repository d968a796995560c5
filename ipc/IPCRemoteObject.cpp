#include "ipc/IPCRemoteObject.h"

namespace corvantis {

IPCRemoteObject::IPCRemoteObject(XpcConnectionPtr connection)
    : m_connection(std::move(connection))
{
}

std::shared_ptr<IPCRemoteObject> IPCRemoteObject::conforming(const XpcConnectionPtr& connection, IPCProtocol protocol)
{
    if (!connection || !IPCInterfaces::conformsTo(connection->remoteObjectInterface(), protocol))
        return nullptr;
    return std::make_shared<IPCRemoteObject>(connection);
}

void IPCRemoteObject::helloWithVersion(const std::string& version, IPCBaseProtcol::StringReply reply)
{
    m_connection->sendMessage(kHelloSelector, { XpcObject(version) },
        reply ? XpcConnection::ReplyHandler([reply](XpcArray v) { reply(*v[0].string()); }) : nullptr);
}

void IPCRemoteObject::updateSettingWithSettings(
    const PlistDict& settings, const std::string& profile, IPCBaseProtcol::StringReply reply)
{
    m_connection->sendMessage(kUpdateSettingSelector,
        { XpcObject::fromPlist(PlistValue(settings)), XpcObject(profile) },
        reply ? XpcConnection::ReplyHandler([reply](XpcArray v) { reply(*v[0].string()); }) : nullptr);
}

void IPCRemoteObject::retriveTickDataWithReply(TickDataReply reply)
{
    m_connection->sendMessage(kRetriveTickDataSelector, {},
        reply ? XpcConnection::ReplyHandler([reply](XpcArray v) {
            std::optional<std::string> loop;
            if (const std::string* s = v[5].string())
                loop = *s;
            reply(std::move(*v[0].string()), std::move(*v[1].string()), std::move(*v[2].string()),
                PlistData(*v[3].data()), PlistData(*v[4].data()), std::move(loop));
        })
              : nullptr);
}

void IPCRemoteObject::setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply)
{
    m_connection->sendMessage(kSetGssServerEndpointSelector, { XpcObject(endpoint) },
        reply ? XpcConnection::ReplyHandler([reply](XpcArray v) { reply(*v[0].boolean()); }) : nullptr);
}

void IPCRemoteObject::runHelperWithReply(IPCBaseProtcol::StringReply reply)
{
    m_connection->sendMessage(kRunHelperSelector, {},
        reply ? XpcConnection::ReplyHandler([reply](XpcArray v) { reply(*v[0].string()); }) : nullptr);
}

void IPCRemoteObject::retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply)
{
    m_connection->sendMessage(kRetriveTokenSelector, { XpcObject(proxyHostname) },
        reply ? XpcConnection::ReplyHandler(
            [reply](XpcArray v) { reply(*v[0].boolean(), std::move(*v[1].string()), PlistData(*v[2].data())); })
              : nullptr);
}

} // namespace corvantis
