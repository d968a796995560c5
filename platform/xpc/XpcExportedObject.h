#pragma once

#include "platform/xpc/XpcInterface.h"
#include "platform/xpc/XpcObject.h"

#include <functional>
#include <memory>

namespace corvantis {

// Sends the reply of one call. The first call sends (when the values fit the selector's reply and the link is
// still up); later calls do nothing. Safe to call from any thread, at any later time, or never.
using XpcReplySender = std::function<void(XpcArray values)>;

// The object a connection delivers calls to. The connection checks the selector and the argument types against
// its exported interface first. Calls of one connection arrive one at a time, in order, on that connection's
// queue; the object may reply at once or later from another thread. `reply` is empty for a selector without a
// reply block. An exception leaving handleCall ends the connection with a log line.
class XpcExportedObject {
public:
    virtual ~XpcExportedObject() = default;
    virtual void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) = 0;
};

using XpcExportedObjectPtr = std::shared_ptr<XpcExportedObject>;

} // namespace corvantis
