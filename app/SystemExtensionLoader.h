#pragma once

#include "platform/sysext/SystemExtensionManager.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {

// The delegate of one request about the extension: turns each answer of the system into a log line and one
// integer for the caller's handler. 0: completed; 2: needs the user's approval; 3: an installed version is being
// replaced; 11: failed; 12: failed because the device's management forbids the extension; n >= 0: a properties
// request found n records. A properties request's handler hears its count and then its finish or failure code.
// A finish other than completed is logged and not passed on.
//
// Thread-safety: the system calls it on the main thread only, so the handler runs there.
class SystemExtensionRequest final : public SystemExtensionRequestDelegate {
public:
    using Handler = std::function<void(int64_t code)>;

    explicit SystemExtensionRequest(Handler handler);
    SystemExtensionRequest(const SystemExtensionRequest&) = delete;
    SystemExtensionRequest& operator=(const SystemExtensionRequest&) = delete;

    // Always replaces, whatever the two versions are; they are only logged.
    SystemExtensionReplacementAction actionForReplacingExtension(
        const std::string& existingVersion, const std::string& newVersion) override;
    void requestNeedsUserApproval() override;
    void didFinishWithResult(SystemExtensionRequestResult result) override;
    void didFailWithError(const std::string& localizedDescription) override;
    void foundProperties(const std::vector<SystemExtensionProperties>& properties) override;

private:
    const Handler m_handler;
};

// Submits activation, deactivation and properties requests for the extension to the process's
// SystemExtensionManager. Keeps the delegate of the latest request only.
//
// Thread-safety: main thread only, as the delegates' calls are.
class SystemExtensionLoader final {
public:
    using Handler = SystemExtensionRequest::Handler;

    SystemExtensionLoader();
    SystemExtensionLoader(const SystemExtensionLoader&) = delete;
    SystemExtensionLoader& operator=(const SystemExtensionLoader&) = delete;

    // Installs and starts the extension, or replaces a different running one.
    void loadExtensionWithHandler(Handler handler);
    // Stops and removes the extension.
    void stopExtensionWithHandler(Handler handler);
    // Asks how many installed extensions there are.
    void propertiesOfExtensionWithHandler(Handler handler);

private:
    void submit(SystemExtensionRequestKind kind, Handler handler);

    const std::string m_extensionId;
    std::shared_ptr<SystemExtensionRequest> m_sysExtRequest;
};

} // namespace corvantis
