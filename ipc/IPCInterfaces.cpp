#include "ipc/IPCInterfaces.h"

#include <array>

namespace corvantis {

namespace {

using T = XpcObject::Type;

const char* nameOf(IPCProtocol protocol)
{
    switch (protocol) {
    case IPCProtocol::IPCBaseProtcol:
        return "IPCBaseProtcol";
    case IPCProtocol::IPCExtension:
        return "IPCExtension";
    case IPCProtocol::IPCRunHelperProtcol:
        return "IPCRunHelperProtcol";
    case IPCProtocol::GssIPCProtcol:
        return "GssIPCProtcol";
    }
    return "";
}

XpcSelector hello()
{
    return { kHelloSelector, { { T::String } }, std::vector<XpcValueType> { { T::String } } };
}

XpcInterfacePtr build(IPCProtocol protocol)
{
    std::vector<XpcSelector> selectors;
    switch (protocol) {
    case IPCProtocol::IPCBaseProtcol:
    case IPCProtocol::GssIPCProtcol:
        selectors.push_back(hello());
        if (protocol == IPCProtocol::GssIPCProtcol)
            selectors.push_back({ kRetriveTokenSelector, { { T::String } },
                std::vector<XpcValueType> { { T::Bool }, { T::String }, { T::Data } } });
        break;
    case IPCProtocol::IPCExtension:
        selectors.push_back(hello());
        selectors.push_back({ kUpdateSettingSelector, { { T::Dict, false, true }, { T::String } },
            std::vector<XpcValueType> { { T::String } } });
        selectors.push_back({ kRetriveTickDataSelector, {},
            std::vector<XpcValueType> {
                { T::String }, { T::String }, { T::String }, { T::Data }, { T::Data }, { T::String, true } } });
        selectors.push_back(
            { kSetGssServerEndpointSelector, { { T::Endpoint } }, std::vector<XpcValueType> { { T::Bool } } });
        break;
    case IPCProtocol::IPCRunHelperProtcol:
        selectors.push_back(hello());
        selectors.push_back({ kRunHelperSelector, {}, std::vector<XpcValueType> { { T::String } } });
        break;
    }
    return std::make_shared<const XpcInterface>(nameOf(protocol), std::move(selectors));
}

const std::array<IPCProtocol, 4> kAll = { IPCProtocol::IPCBaseProtcol, IPCProtocol::IPCExtension,
    IPCProtocol::IPCRunHelperProtcol, IPCProtocol::GssIPCProtcol };

} // namespace

XpcInterfacePtr IPCInterfaces::interfaceWithProtocol(IPCProtocol protocol)
{
    static const std::array<XpcInterfacePtr, 4> interfaces
        = { build(kAll[0]), build(kAll[1]), build(kAll[2]), build(kAll[3]) };
    return interfaces[static_cast<size_t>(protocol)];
}

std::optional<IPCProtocol> IPCInterfaces::protocolOf(const XpcInterface& interface)
{
    for (IPCProtocol p : kAll)
        if (interface.name() == nameOf(p))
            return p;
    return std::nullopt;
}

bool IPCInterfaces::conformsTo(const XpcInterfacePtr& interface, IPCProtocol protocol)
{
    if (!interface)
        return false;
    const auto own = protocolOf(*interface);
    if (!own)
        return false;
    if (*own == protocol)
        return true;
    return protocol == IPCProtocol::IPCBaseProtcol
        && (*own == IPCProtocol::IPCExtension || *own == IPCProtocol::IPCRunHelperProtcol);
}

} // namespace corvantis
