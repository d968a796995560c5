#pragma once

#include <memory>
#include <string>
#include <vector>

namespace corvantis {

// Installing, replacing, removing and inspecting the network extension: on this system, starting, replacing and
// stopping the CorvantisExtension daemon under the supervisor that plays the system. A request is answered
// through its delegate; a delegate's calls run on the program's main thread (NotificationCenter's main-thread
// executor), one at a time, and the manager holds the delegate until the request has finished or failed.

enum class SystemExtensionRequestKind { Activation = 0, Deactivation = 1, Properties = 2 };

// How a request that did not fail finished.
enum class SystemExtensionRequestResult : int { Completed = 0, WillCompleteAfterReboot = 1 };

// The delegate's answer when another version of the extension runs.
enum class SystemExtensionReplacementAction : int { Cancel = 0, Replace = 1 };

// One installed extension, as a properties request finds it.
struct SystemExtensionProperties {
    std::string bundleIdentifier;
    std::string bundleShortVersion;
    bool isEnabled = false;
    bool isAwaitingUserApproval = false;
};

class SystemExtensionRequestDelegate {
public:
    virtual ~SystemExtensionRequestDelegate() = default;

    // Another version runs; the two versions are the manifest's short version then and now.
    virtual SystemExtensionReplacementAction actionForReplacingExtension(
        const std::string& existingVersion, const std::string& newVersion)
        = 0;
    // The request waits until an administrator allows this user.
    virtual void requestNeedsUserApproval() = 0;
    virtual void didFinishWithResult(SystemExtensionRequestResult result) = 0;
    virtual void didFailWithError(const std::string& localizedDescription) = 0;
    // A properties request's records (before it finishes).
    virtual void foundProperties(const std::vector<SystemExtensionProperties>& properties) = 0;
};

class SystemExtensionManager {
public:
    virtual ~SystemExtensionManager() = default;

    // Submits a request of `kind` for the extension `identifier`. Returns at once; the delegate hears the rest.
    virtual void submitRequest(SystemExtensionRequestKind kind, const std::string& identifier,
        std::shared_ptr<SystemExtensionRequestDelegate> delegate)
        = 0;

    // The process's manager: the one a program (or a test) installed, else the supervisor's client.
    static std::shared_ptr<SystemExtensionManager> shared();
    static void setShared(std::shared_ptr<SystemExtensionManager> manager);
};

} // namespace corvantis
