#pragma once

#include "platform/xpc/XpcInterface.h"

#include <optional>

namespace corvantis {

// The four protocols the programs speak.
enum class IPCProtocol { IPCBaseProtcol, IPCExtension, IPCRunHelperProtcol, GssIPCProtcol };

// Selector names as they travel.
inline constexpr const char* kHelloSelector = "helloWithVersion:reply:";
inline constexpr const char* kUpdateSettingSelector = "updateSettingWithSettings:profile:reply:";
inline constexpr const char* kRetriveTickDataSelector = "retriveTickDataWithReply:";
inline constexpr const char* kSetGssServerEndpointSelector = "setGssServerEndpointWithGssServerEndpoint:reply:";
inline constexpr const char* kRunHelperSelector = "runHelperWithReply:";
inline constexpr const char* kRetriveTokenSelector = "retriveTokenWithProxyHostname:reply:";

// The layer's interface description of each protocol: its selectors with argument and reply types, an
// inheriting protocol's including those it inherits. Each interface is named after its protocol. Stateless;
// the interfaces are built once and shared.
class IPCInterfaces final {
public:
    IPCInterfaces() = delete;

    static XpcInterfacePtr interfaceWithProtocol(IPCProtocol protocol);
    // The protocol an interface was made for, or nothing for a foreign interface.
    static std::optional<IPCProtocol> protocolOf(const XpcInterface& interface);
    // Whether an object behind `interface` answers every selector of `protocol`.
    static bool conformsTo(const XpcInterfacePtr& interface, IPCProtocol protocol);
};

} // namespace corvantis
