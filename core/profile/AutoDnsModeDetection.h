#pragma once

#include "core/profile/NetworkWatcher.h"

#include <chrono>
#include <functional>
#include <string>

struct addrinfo;

namespace corvantis {

class CCorvantisApp;

// The name the probe looks up: a stable public name that always resolves to public addresses.
inline constexpr const char* kDnsProbeHost = "www.example.com";

// Whether the answers of a probe lookup show a working local DNS service. The answers are walked in order: an
// IPv4 or IPv6 address inside the placeholder range is logged at level 1 and skipped; the first other answer
// (of any family) decides yes. No answers, or placeholder answers only, mean no.
bool ProbeAnswersShowLocalDns(const addrinfo* answers);

// Looks `host` up with the system resolver (getaddrinfo, any family, canonical name asked for) and answers whether
// the local DNS service is unavailable: a failed lookup, no answer or placeholder answers only. Blocks for as long
// as the resolver takes.
bool IsLocalDnsUnavailable(const std::string& host);

// The automatic DNS mode detection of one core object: a network watcher and one background thread that, on its
// start and after every network change, probes the local DNS service and switches the active profile's
// resolve-through-proxy option to "local DNS is unavailable" while the profile's automatic option is on.
//
// Passes: the first right at the start; after a change one pass at once and `retries` more, each after a pause of
// `retryInterval` (a change during the series starts it again); otherwise the thread waits for the next change.
// Every pass first rebuilds the core object's own names and addresses.
//
// Lifetime: the core object makes it (EnableAutoDnsModeDetection) and owns it; its first SetProfile launches it.
// The thread is one of the object's background threads: StopBackgroundThreads ends it (a pause ends at once, a
// probe is waited for) and stops the watcher.
// Thread-safety: Launch and StopWatching are called under the core object's detection start lock. The thread reads
// the profile through GetProfile and switches the option in the active profile itself, under the profile lock, so
// that an edit installed while it probes is never undone; it never holds networkLock while it does.
class CAutoDnsModeDetection final {
public:
    struct Config {
        // Answers whether the local DNS service is unavailable; IsLocalDnsUnavailable(kDnsProbeHost) when empty.
        std::function<bool()> probe;
        std::chrono::steady_clock::duration retryInterval = std::chrono::seconds(1);
        int retries = 5;
        // The pause before a retry; when empty the thread waits `retryInterval` (ended early by a stop). A test
        // puts its own clock here; the thread checks for a stop after it returns.
        std::function<void(std::chrono::steady_clock::duration)> pause;
        NetlinkWatcher::Config watcher;
        std::string machineInfoPath = "/etc/machine-info";
    };

    CAutoDnsModeDetection(CCorvantisApp& app, Config config);
    ~CAutoDnsModeDetection();
    CAutoDnsModeDetection(const CAutoDnsModeDetection&) = delete;
    CAutoDnsModeDetection& operator=(const CAutoDnsModeDetection&) = delete;

    // Starts the network watcher (a failure is logged and leaves the detection without change notifications) and
    // the detection thread. Returns whether the thread runs; false once the object's threads are being stopped.
    bool Launch();
    // Stops the network watcher and waits for its thread.
    void StopWatching();

private:
    void Run();
    // Steps after the local identity: probe and switch, when the profile asks for it.
    void DetectOnce();
    void Pause();

    CCorvantisApp& m_app;
    Config m_config;
    CNetworkWatcher m_watcher;
};

} // namespace corvantis
