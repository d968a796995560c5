#pragma once

#include "platform/sysext/NEConfigurationStore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class DispatchQueue;

// The notification posted on the program's main thread for every state change of a transparent proxy's session.
// Its object is null; its userInfo holds an NEVPNStatusChange. Sessions are heard from the first time this layer
// uses the process's configuration store.
inline constexpr const char* kNEVPNStatusDidChangeNotification = "NEVPNStatusDidChangeNotification";

struct NEVPNStatusChange {
    std::string identifier; // the session's, which is its configuration's identifier
    NEVPNStatus status = NEVPNStatus::Invalid;
};

// The text of every operation of this layer that finds no configuration store installed in the process.
inline constexpr const char* kNoConfigurationStore = "The network configurations cannot be reached.";

class NETunnelProviderSession;
using NETunnelProviderSessionPtr = std::shared_ptr<NETunnelProviderSession>;

// The session of one transparent proxy configuration: a handle naming the configuration in a store, so several
// handles of the same configuration see the same state.
//
// Thread-safety: immutable after construction; every member may be called from any thread. Response handlers run
// on the layer's completion queue (NEConfigurationLayer::completionQueue), never assumed to be the main thread.
class NETunnelProviderSession final {
public:
    using ResponseHandler = std::function<void(std::optional<std::vector<uint8_t>> response)>;

    // The session of configuration `identifier` in `store` (which may be null: then every operation fails).
    NETunnelProviderSession(std::shared_ptr<NEConfigurationStore> store, std::string identifier);
    NETunnelProviderSession(const NETunnelProviderSession&) = delete;
    NETunnelProviderSession& operator=(const NETunnelProviderSession&) = delete;

    const std::string& identifier() const { return m_identifier; }

    // The state as the store last reported it; Invalid for a configuration never saved.
    NEVPNStatus status() const;
    // Asks the store to start the provider; the outcome arrives as state changes. Returns the error's text when
    // the start cannot be asked for. The provider takes no start options on this system: non-empty `options`
    // are refused with an error rather than dropped.
    std::optional<std::string> startTunnel(const std::map<std::string, std::string>& options = {});
    // Asks the store to stop the provider; the outcome arrives as state changes.
    void stopTunnel();
    // Sends `message` to the provider. Returns false when it cannot be sent (and `responseHandler` never runs);
    // else `responseHandler` runs once, on the completion queue, with the reply or with none.
    bool sendProviderMessage(const std::vector<uint8_t>& message, ResponseHandler responseHandler);

private:
    const std::shared_ptr<NEConfigurationStore> m_store;
    const std::string m_identifier;
};

// What the configuration objects of this layer share.
class NEConfigurationLayer final {
public:
    NEConfigurationLayer() = delete;

    // The serial queue on which the layer runs every completion and response handler it is given.
    static std::shared_ptr<DispatchQueue> completionQueue();
    // The process's store (NEConfigurationStore::shared()), or null. The first call for a store makes its session
    // state changes post kNEVPNStatusDidChangeNotification from then on.
    static std::shared_ptr<NEConfigurationStore> store();
};

} // namespace corvantis
