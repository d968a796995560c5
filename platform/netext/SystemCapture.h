#pragma once

#include "platform/Result.h"
#include "platform/netext/NEProviderHost.h"
#include "platform/netext/NftRuleset.h"
#include "platform/netext/PolicyRoutes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace corvantis {

struct SystemCaptureOptions {
    NftCapture capture; // the table's name and the marks; the ports are the listeners'
    PolicyRouteConfig routes;
    uint16_t nflogGroup = 0x5a17; // where the content filter's taps copy packets
    // The caller captures (for measurements): the TCP listener on `listenPort`, no table and no routes of ours.
    bool external = false;
    uint16_t listenPort = 0;
    std::chrono::milliseconds udpIdleLimit { 30000 }; // a UDP flow silent this long ends
    std::chrono::milliseconds udpCheckInterval { 1000 };
    // The first number of the placeholder range N.0.0.0/8 the flow code answers names with (none: 0).
    std::function<uint8_t()> placeholderSubnet;
};

// The machine's real flows for the provider host: the listeners the captured traffic goes to (TCP redirected,
// UDP through TPROXY), who opened each flow, the relay of the flows the flow code declines, the one nftables
// table that holds the running providers' rules, the routes the placeholder addresses and TPROXY need, and the
// content filter's taps.
//
// The table is owned by the daemon's nftables handle, so the kernel removes it when the daemon ends however it
// ends; the routes, tagged with the daemon's route protocol, are removed at the next start and by cleanup().
//
// Thread-safety: made and destroyed on one thread; the host calls into it from any thread.
class SystemCapture final {
public:
    // Takes over from a daemon that ended without cleaning up, opens the listeners and gives the host its flow
    // source and its settings sinks. Acts in the calling thread's network namespace.
    static Result<std::unique_ptr<SystemCapture>> open(const SystemCaptureOptions& options, NEProviderHost& host);
    // Removes what a daemon with these options leaves behind: its routes and rules, and its table unless a
    // running daemon owns it.
    static Status cleanup(const SystemCaptureOptions& options);

    // Stops the flows and removes the table and the routes.
    ~SystemCapture();
    SystemCapture(const SystemCapture&) = delete;
    SystemCapture& operator=(const SystemCapture&) = delete;

    uint16_t tcpPort() const;
    uint16_t udpPort() const;

    struct Impl;
    explicit SystemCapture(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> m_impl;
};

} // namespace corvantis
