#pragma once

#include "ipc/GssIPCProtcol.h"
#include "ipc/IPCExtension.h"
#include "ipc/IPCRunHelperProtcol.h"
#include "platform/xpc/XpcExportedObject.h"

#include <memory>

namespace corvantis {

// Delivers the calls a connection receives to a typed object by selector name: the layer has already checked
// the selector against the exported interface and the argument types, so each call maps to one method, and
// the method's reply block turns its values back into the reply. Holds its object for as long as it lives (as a
// connection holds its exported object). Stateless beyond that; calls arrive as the connection delivers them.
class IPCExportedObject final : public XpcExportedObject {
public:
    static XpcExportedObjectPtr forIPCBaseProtcol(std::shared_ptr<IPCBaseProtcol> object);
    static XpcExportedObjectPtr forIPCExtension(std::shared_ptr<IPCExtension> object);
    static XpcExportedObjectPtr forIPCRunHelperProtcol(std::shared_ptr<IPCRunHelperProtcol> object);
    static XpcExportedObjectPtr forGssIPCProtcol(std::shared_ptr<GssIPCProtcol> object);

    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override;

    IPCExportedObject(std::shared_ptr<IPCBaseProtcol> base, std::shared_ptr<IPCExtension> extension,
        std::shared_ptr<IPCRunHelperProtcol> runHelper, std::shared_ptr<GssIPCProtcol> gss);

private:
    const std::shared_ptr<IPCBaseProtcol> m_base;
    const std::shared_ptr<IPCExtension> m_extension;
    const std::shared_ptr<IPCRunHelperProtcol> m_runHelper;
    const std::shared_ptr<GssIPCProtcol> m_gss;
};

} // namespace corvantis
