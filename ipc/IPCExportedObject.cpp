#include "ipc/IPCExportedObject.h"

#include "ipc/IPCInterfaces.h"

#include <stdexcept>

namespace corvantis {

IPCExportedObject::IPCExportedObject(std::shared_ptr<IPCBaseProtcol> base, std::shared_ptr<IPCExtension> extension,
    std::shared_ptr<IPCRunHelperProtcol> runHelper, std::shared_ptr<GssIPCProtcol> gss)
    : m_base(std::move(base))
    , m_extension(std::move(extension))
    , m_runHelper(std::move(runHelper))
    , m_gss(std::move(gss))
{
}

XpcExportedObjectPtr IPCExportedObject::forIPCBaseProtcol(std::shared_ptr<IPCBaseProtcol> object)
{
    return std::make_shared<IPCExportedObject>(std::move(object), nullptr, nullptr, nullptr);
}

XpcExportedObjectPtr IPCExportedObject::forIPCExtension(std::shared_ptr<IPCExtension> object)
{
    std::shared_ptr<IPCBaseProtcol> base = object;
    return std::make_shared<IPCExportedObject>(std::move(base), std::move(object), nullptr, nullptr);
}

XpcExportedObjectPtr IPCExportedObject::forIPCRunHelperProtcol(std::shared_ptr<IPCRunHelperProtcol> object)
{
    std::shared_ptr<IPCBaseProtcol> base = object;
    return std::make_shared<IPCExportedObject>(std::move(base), nullptr, std::move(object), nullptr);
}

XpcExportedObjectPtr IPCExportedObject::forGssIPCProtcol(std::shared_ptr<GssIPCProtcol> object)
{
    return std::make_shared<IPCExportedObject>(nullptr, nullptr, nullptr, std::move(object));
}

void IPCExportedObject::handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply)
{
    const std::string& name = selector.name;
    auto sendString = [reply](std::string text) { reply({ XpcObject(std::move(text)) }); };

    if (name == kHelloSelector && (m_base || m_gss)) {
        if (m_base)
            m_base->helloWithVersion(*arguments[0].string(), sendString);
        else if (m_gss)
            m_gss->helloWithVersion(*arguments[0].string(), sendString);
        return;
    }
    if (m_extension && name == kUpdateSettingSelector) {
        m_extension->updateSettingWithSettings(*arguments[0].toPlist()->dict(), *arguments[1].string(), sendString);
        return;
    }
    if (m_extension && name == kRetriveTickDataSelector) {
        m_extension->retriveTickDataWithReply([reply](std::string statistics, std::string log, std::string connections,
                                                  PlistData up, PlistData down, std::optional<std::string> loop) {
            reply({ XpcObject(std::move(statistics)), XpcObject(std::move(log)), XpcObject(std::move(connections)),
                XpcObject(std::move(up)), XpcObject(std::move(down)), XpcObject::optionalString(loop) });
        });
        return;
    }
    if (m_extension && name == kSetGssServerEndpointSelector) {
        m_extension->setGssServerEndpointWithGssServerEndpoint(
            *arguments[0].endpoint(), [reply](bool ok) { reply({ XpcObject(ok) }); });
        return;
    }
    if (m_runHelper && name == kRunHelperSelector) {
        m_runHelper->runHelperWithReply(sendString);
        return;
    }
    if (m_gss && name == kRetriveTokenSelector) {
        m_gss->retriveTokenWithProxyHostname(
            *arguments[0].string(), [reply](bool ok, std::string text, PlistData token) {
                reply({ XpcObject(ok), XpcObject(std::move(text)), XpcObject(std::move(token)) });
            });
        return;
    }
    // The connection's exported interface names a selector this object does not serve: a set-up mistake of
    // the exporting side. The connection ends the link with a log line, so the caller is not left waiting.
    throw std::runtime_error("no exported object answers \"" + name + "\"");
}

} // namespace corvantis
