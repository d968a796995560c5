#pragma once

#include "ipc/IPCBaseProtcol.h"

namespace corvantis {

// Declared for the privileged helper program, which is not part of this system; no connection of ours uses it
// as its interface.
class IPCRunHelperProtcol : public virtual IPCBaseProtcol {
public:
    // "runHelperWithReply:"
    virtual void runHelperWithReply(StringReply reply) = 0;
};

} // namespace corvantis
