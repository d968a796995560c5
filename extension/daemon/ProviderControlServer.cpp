#include "extension/daemon/ProviderControlServer.h"

#include "ipc/ProviderControl.h"
#include "platform/xpc/XpcExportedObject.h"

namespace corvantis {

namespace {

std::optional<ProviderKind> kindOf(const XpcObject& value)
{
    const int64_t* number = value.integer();
    if (!number || *number < 0 || *number > 2)
        return std::nullopt;
    return static_cast<ProviderKind>(*number);
}

class ControlObject final : public XpcExportedObject {
public:
    explicit ControlObject(NEProviderHost& host)
        : m_host(host)
    {
    }

    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override
    {
        const std::string& name = selector.name;
        if (name == kSendProviderMessageSelector) {
            m_host.sendProviderMessage(*arguments.at(0).data(), [reply](std::optional<std::vector<uint8_t>> bytes) {
                if (reply)
                    reply({ bytes ? XpcObject(PlistData(*bytes)) : XpcObject() });
            });
            return;
        }
        const std::optional<ProviderKind> kind = kindOf(arguments.at(0));
        if (name == kStartProviderSelector) {
            if (!kind)
                return reply({ XpcObject(false), XpcObject(0), XpcObject("no provider of this kind") });
            m_host.start(*kind, [reply](std::optional<FlowError> error) {
                if (error)
                    reply({ XpcObject(false), XpcObject(static_cast<long long>(error->code)),
                        XpcObject(error->description) });
                else
                    reply({ XpcObject(true), XpcObject(0), XpcObject("") });
            });
        } else if (name == kStopProviderSelector) {
            if (!kind)
                return reply({ XpcObject(false) });
            const int64_t* reason = arguments.at(1).integer();
            m_host.stop(*kind, reason ? static_cast<int>(*reason) : 0, [reply] { reply({ XpcObject(true) }); });
        } else if (name == kProviderStatusSelector) {
            reply({ XpcObject(kind ? static_cast<int>(m_host.status(*kind)) : 0) });
        }
    }

private:
    NEProviderHost& m_host;
};

} // namespace

Result<std::unique_ptr<ProviderControlServer>> ProviderControlServer::start(
    const std::string& serviceName, std::optional<uid_t> allowedUid, NEProviderHost& host)
{
    XpcListener::Options options;
    options.allowedUids = { 0 };
    if (allowedUid)
        options.allowedUids.insert(*allowedUid);
    options.socketMode = 0600;
    options.socketOwner = allowedUid.value_or(0);
    auto listener = XpcListener::createForService(ProviderControlServiceName(serviceName), std::move(options));
    if (!listener.ok())
        return listener.status();
    auto object = std::make_shared<ControlObject>(host);
    const auto interface = ProviderControlInterface();
    listener.value()->setDelegate([object, interface](const XpcConnectionPtr& connection) {
        connection->setExportedInterface(interface);
        connection->setExportedObject(object);
        connection->resume();
        return true;
    });
    if (Status status = listener.value()->resume(); !status.ok())
        return status;
    return std::unique_ptr<ProviderControlServer>(new ProviderControlServer(listener.value()));
}

ProviderControlServer::ProviderControlServer(XpcListenerPtr listener)
    : m_listener(std::move(listener))
{
}

ProviderControlServer::~ProviderControlServer()
{
    m_listener->invalidate();
}

} // namespace corvantis
