#pragma once

#include "core/profile/AddressUtils.h"
#include "platform/NetlinkWatcher.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvantis {

class CCorvantisApp;

// ---- The base interface ----

// The kernel index of the interface that carries the default route (IPv4 first, else IPv6); 0 until it was first
// found. Once known it is never reset to 0: when the default route goes away the last index stays. Process-wide;
// read from any thread.
int32_t GetBaseInterfaceIndex();

// Looks the default route up in the calling thread's network namespace and, when there is one, makes its
// interface the base interface (logged at level 3). Returns the base interface index held afterwards.
int32_t UpdateBaseInterface();

// ---- The machine's own names and addresses ----

// The own-name list built from candidate names in order: empty candidates are skipped, each other one is added
// in lower case unless the list already holds it (in any letter case, or as itself without one trailing dot).
std::vector<std::string> MergeOwnNames(const std::vector<std::string>& candidates);

// The candidate names of this machine: the kernel host name, its first label, and the pretty machine name of
// `machineInfoPath`.
std::vector<std::string> LocalHostNameCandidates(const std::string& machineInfoPath = "/etc/machine-info");

struct OwnAddresses {
    std::vector<uint32_t> ipv4; // network order
    std::vector<IPv6Addr> ipv6;
};
// Sorts address texts into IPv4 and IPv6 lists, keeping their order; a text that is neither is logged at level 1
// ("Unknown local address " + text) and skipped.
OwnAddresses SortLocalAddresses(const std::vector<std::string>& texts);

// Rebuilds the own names and addresses of `app` from the machine (names from LocalHostNameCandidates, addresses
// of the calling thread's network namespace) and replaces its lists as a whole. Returns 1.
int UpdateLocalIdentity(CCorvantisApp& app, const std::string& machineInfoPath = "/etc/machine-info");

// Numeric order of addresses: IPv4 (network order) as one big-endian number; IPv6 by its first big-endian 64-bit
// half, then its second.
bool LessIPv4(uint32_t a, uint32_t b);
bool LessIPv6(const IPv6Addr& a, const IPv6Addr& b);

// A hook for a kernel DNS-settings change: takes a copy of the active profile, writes its timing line ("kipc")
// and changes nothing.
void _UpdateDNSFromKernel(const CCorvantisApp& app);

// ---- The watcher ----

// Follows the machine's network configuration for one core object: on every change of links, addresses, routes,
// the resolver file or the host name it updates the base interface and the object's own names and addresses, then
// tells the object that the network changed (which wakes the DNS mode detection).
//
// Lifetime: the programs start one watcher with the first profile and keep it until the process ends; tests stop
// it (Stop or the destructor), after which no callback runs. `app` must outlive the watcher.
// Thread-safety: WatchForNetworkChanges and Stop are called from one controlling thread; the change handling runs
// on the watcher's own thread, in the network namespace of the thread that called WatchForNetworkChanges.
class CNetworkWatcher final {
public:
    enum Result {
        kWatching = 0, // changes are followed
        kSocketFailed = 1, // the routing socket could not be made
        kSetupFailed = 2, // the file watch could not be made
        kSubscribeFailed = 3, // the routing groups or a watched folder could not be subscribed to
        kThreadFailed = 4, // the watching thread could not start
    };

    explicit CNetworkWatcher(
        CCorvantisApp& app, NetlinkWatcher::Config config = {}, std::string machineInfoPath = "/etc/machine-info");
    ~CNetworkWatcher();
    CNetworkWatcher(const CNetworkWatcher&) = delete;
    CNetworkWatcher& operator=(const CNetworkWatcher&) = delete;

    // Starts watching. Looks up the base interface once (also when the subscription failed, so that it is known
    // without change notifications). Every failure is logged at level 1 and leaves the process without
    // notifications. Calling it again while watching answers kWatching and changes nothing.
    int WatchForNetworkChanges();

    // Stops the watching thread and waits for it. Idempotent.
    void Stop();

    // What one change does (the watcher's handler): base interface, own identity, then the change mark of the
    // core object.
    void NetworkChanged();

private:
    CCorvantisApp& m_app;
    std::string m_machineInfoPath;
    NetlinkWatcher m_watcher;
};

} // namespace corvantis
