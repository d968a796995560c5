#pragma once

#include "ipc/GssIPCProtcol.h"
#include "ipc/IPCExtension.h"
#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRunHelperProtcol.h"
#include "platform/xpc/XpcConnection.h"

#include <memory>

namespace corvantis {

// The remote object proxy of a connection: each protocol method becomes a call of its selector on the
// connection, and each reply is handed to the given block with its values typed. A block is called at most
// once, on the connection's queue, and never when the link breaks first; an empty block is allowed (the reply
// is then ignored). A selector the connection's remote interface lacks is not sent (the layer logs it).
//
// The proxy holds the connection. Thread-safety: that of XpcConnection; the proxy itself is immutable.
class IPCRemoteObject final : public IPCExtension, public IPCRunHelperProtcol, public GssIPCProtcol {
public:
    explicit IPCRemoteObject(XpcConnectionPtr connection);

    // The proxy of `connection` seen as protocol P, or null when the connection's remote interface does not
    // conform to P (the typed view of a remote object proxy, which can fail).
    template <typename P> static std::shared_ptr<P> proxyAs(const XpcConnectionPtr& connection);

    void helloWithVersion(const std::string& version, IPCBaseProtcol::StringReply reply) override;
    void updateSettingWithSettings(
        const PlistDict& settings, const std::string& profile, IPCBaseProtcol::StringReply reply) override;
    void retriveTickDataWithReply(TickDataReply reply) override;
    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override;
    void runHelperWithReply(IPCBaseProtcol::StringReply reply) override;
    void retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply) override;

private:
    static std::shared_ptr<IPCRemoteObject> conforming(const XpcConnectionPtr& connection, IPCProtocol protocol);

    const XpcConnectionPtr m_connection;
};

template <> inline std::shared_ptr<IPCBaseProtcol> IPCRemoteObject::proxyAs<IPCBaseProtcol>(const XpcConnectionPtr& c)
{
    return conforming(c, IPCProtocol::IPCBaseProtcol);
}
template <> inline std::shared_ptr<IPCExtension> IPCRemoteObject::proxyAs<IPCExtension>(const XpcConnectionPtr& c)
{
    return conforming(c, IPCProtocol::IPCExtension);
}
template <>
inline std::shared_ptr<IPCRunHelperProtcol> IPCRemoteObject::proxyAs<IPCRunHelperProtcol>(const XpcConnectionPtr& c)
{
    return conforming(c, IPCProtocol::IPCRunHelperProtcol);
}
template <> inline std::shared_ptr<GssIPCProtcol> IPCRemoteObject::proxyAs<GssIPCProtcol>(const XpcConnectionPtr& c)
{
    return conforming(c, IPCProtocol::GssIPCProtcol);
}

} // namespace corvantis
