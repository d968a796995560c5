#pragma once

#include "ipc/IPCExtension.h"

#include <filesystem>
#include <memory>

namespace corvantis {

// One link to the extension's service as the application's bring-up and polling use it: connect, one request,
// close. The real one is XPCClientForExtension (MakeExtensionClient); tests put stand-ins in its place.
//
// Thread-safety: every member may be called from any thread; replies never run on the caller's thread.
class ExtensionClient : public IPCExtension {
public:
    virtual void connect() = 0;
    virtual void closeConnection() = 0;
    virtual bool isConnected() const = 0;
};

using ExtensionClientPtr = std::shared_ptr<ExtensionClient>;

// A new, unconnected client of the extension of the tree `programPath` belongs to (empty: this program's own);
// XPCClientForExtension, which stops the program when the tree holds no extension manifest.
ExtensionClientPtr MakeExtensionClient(const std::filesystem::path& programPath = {});

} // namespace corvantis
