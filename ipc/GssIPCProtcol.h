#pragma once

#include "platform/PlistValue.h"

#include <functional>
#include <string>

namespace corvantis {

// What the application's GSS token service serves to the extension. It declares its own hello, with the same
// selector and signature as IPCBaseProtcol's, so one object may serve both.
class GssIPCProtcol {
public:
    using StringReply = std::function<void(std::string)>;
    // Success, a text (empty on success, else the reason), and the token bytes.
    using TokenReply = std::function<void(bool ok, std::string text, PlistData token)>;

    virtual ~GssIPCProtcol() = default;
    // "helloWithVersion:reply:"
    virtual void helloWithVersion(const std::string& version, StringReply reply) = 0;
    // "retriveTokenWithProxyHostname:reply:"
    virtual void retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply) = 0;
};

} // namespace corvantis
