#pragma once

#include "ipc/IPCBaseProtcol.h"
#include "platform/PlistValue.h"
#include "platform/xpc/XpcEndpoint.h"

#include <functional>
#include <optional>
#include <string>

namespace corvantis {

// What the extension serves to the application: the hello, the settings with the active profile, the periodic
// tick data and the hand-over of the application's GSS listener endpoint.
class IPCExtension : public virtual IPCBaseProtcol {
public:
    // Statistics text, pending log text, connection list, traffic sent ("up"), traffic received ("down"), and
    // one loop-detection history element, which may be absent (not the same as an empty text).
    using TickDataReply = std::function<void(std::string statistics, std::string log, std::string connections,
        PlistData up, PlistData down, std::optional<std::string> loopDetection)>;
    using BoolReply = std::function<void(bool)>;

    // "updateSettingWithSettings:profile:reply:": the application's settings dictionary and the active profile
    // as profile-file text; the reply is a status text.
    virtual void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply)
        = 0;
    // "retriveTickDataWithReply:"
    virtual void retriveTickDataWithReply(TickDataReply reply) = 0;
    // "setGssServerEndpointWithGssServerEndpoint:reply:"
    virtual void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) = 0;
};

} // namespace corvantis
