#pragma once

#include "platform/sysext/NETunnelProviderSession.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace corvantis {

class DispatchQueue;

// The transparent proxy's session as the application drives it: starts and stops the tunnel, reads its state and
// sends the provider the wake and kill messages.
//
// Thread-safety: every member may be called from any thread. Message handlers run on the configuration layer's
// completion queue, not on the main thread.
class AppProxyConnection final {
public:
    // (error flag, second flag, message): the log handler given by the caller, kept with the object.
    using LogHandler = std::function<void(bool isError, bool flag, const std::string& message)>;
    using SignalHandler = std::function<void(bool ok)>;

    AppProxyConnection(NETunnelProviderSessionPtr connection, LogHandler logHandler);
    AppProxyConnection(const AppProxyConnection&) = delete;
    AppProxyConnection& operator=(const AppProxyConnection&) = delete;

    // Starts the tunnel unless it is connected already. True when it was connected or the start could be asked
    // for (the outcome then arrives as state changes); false, with a log line, when it could not.
    bool startVPN();
    // Stops the tunnel; it is no longer expected to run.
    void stopVpn();

    bool isConnected() const;
    bool isDisconnected() const;
    // True from a successful startVPN until stopVpn.
    bool isExpectedToBeStarted() const;
    // The session's state as a word for the log.
    std::string getStatusForLog() const;

    // Wakes the provider. `handler` gets true when it answered with data; false when it answered with none or
    // the message could not be sent.
    void sendWakeSignalToVPNWithHandler(SignalHandler handler);
    // Asks the provider's process to end. `handler` gets true whenever the provider's answer arrives, with data or
    // without; false when the message could not be sent.
    void sendKillSignalToVPNWithHandler(SignalHandler handler);

private:
    const NETunnelProviderSessionPtr m_connection;
    const std::shared_ptr<DispatchQueue> m_queue;
    const LogHandler m_logHandler;
    std::atomic<bool> m_expectedAppProxyToBeStarted { false };
};

using AppProxyConnectionPtr = std::shared_ptr<AppProxyConnection>;

} // namespace corvantis
