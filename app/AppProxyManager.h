#pragma once

#include "app/AppProxyConnection.h"

#include <functional>
#include <optional>
#include <string>

namespace corvantis {

// Keeps the transparent proxy configuration ("Corvantis Data") in the system's preferences: creates or repairs
// it, hands out its session, and takes it out of service.
//
// Thread-safety: immutable after construction. Handlers run on the configuration layer's completion queue, not on
// the main thread; the object may be destroyed while an operation runs (they use none of its state).
class AppProxyManager final {
public:
    // (connection, or none with the failure's text).
    using Handler = std::function<void(AppProxyConnectionPtr connection, std::optional<std::string> error)>;
    using LogHandler = AppProxyConnection::LogHandler;

    explicit AppProxyManager(std::string appVersion);
    AppProxyManager(const AppProxyManager&) = delete;
    AppProxyManager& operator=(const AppProxyManager&) = delete;

    // Makes sure an enabled configuration is stored and hands `handler` a connection for its session, or none
    // and the failure's text (also given to `logHandler` with the error flag). Does not start the tunnel. The
    // handler runs once.
    void createAndrunAppProxyVpn(Handler handler, LogHandler logHandler);
    // Stops the configuration's tunnel and stores it disabled; `handler` runs once, whatever happened.
    void stopAppProxyVpnWithHandler(std::function<void()> handler);

    const std::string appVersion;
};

} // namespace corvantis
