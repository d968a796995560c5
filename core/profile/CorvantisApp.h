#pragma once

#include "AddressUtils.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace corvantis {

// The one core application object of a process; the whole core reaches it through `theApp`. This base holds
// what the profile model and the rule lookup need: the extension-mode flag, the profile password query, and
// this machine's own names and addresses with the tests on them. The object that runs the process (active
// profile, settings, throttle, loop queue, network watcher) builds on it. The application's object
// (CCorvantisAppUI) answers the password query by asking the user, the extension's (CCorvantisAppProxy) with
// an empty text.
//
// Thread-safety: the own-identity tests may run on any thread at any time; the lists are replaced as a whole
// under `networkLock`. The extension-mode flag is set once at the extension's start.
class CCorvantisApp {
public:
    CCorvantisApp() = default;
    CCorvantisApp(const CCorvantisApp&) = delete;
    CCorvantisApp& operator=(const CCorvantisApp&) = delete;
    // Never run in the programs (the object lives until the process ends while threads of its may still run);
    // test objects are destroyed normally.
    virtual ~CCorvantisApp();

    // The password of a profile, empty when there is none: from the password cache when `fromCache` is set,
    // else by asking; `key` is the text the password will be checked against.
    virtual std::string GetProfilePassword(const std::string& profileName, bool fromCache, const std::string& key) = 0;

    // Set by the extension's object when it starts; the profile reader consults it.
    bool GetExtensionMode() const { return extensionMode.load(std::memory_order_relaxed); }
    void SetExtensionMode(bool on) { extensionMode.store(on, std::memory_order_relaxed); }

    // Whether `name` is one of this machine's names, in any letter case and with or without one trailing dot.
    // False for an empty name and before the lists are first filled.
    bool IsOwnHostName(const std::string& name) const;
    // Whether the address (network order) is one of this machine's IPv4 addresses.
    bool IsOwnIPv4(uint32_t address) const;
    // Whether the address is one of this machine's IPv6 addresses, or carries (IPv4-mapped or -compatible) one
    // of its IPv4 addresses.
    bool IsOwnIPv6(const IPv6Addr& address) const;

    // Replaces the three own-identity lists as a whole (the network watcher's pass). Names are stored in lower
    // case; IPv4 addresses are in network order.
    void SetOwnIdentity(std::vector<std::string> names, std::vector<uint32_t> ipv4, std::vector<IPv6Addr> ipv6);

protected:
    // Guards the own-identity lists (and, in the full object, the network watcher's detection state).
    mutable std::mutex networkLock;
    std::vector<std::string> ownNames; // GUARDED_BY(networkLock), lower case
    std::vector<uint32_t> ownIPv4; // GUARDED_BY(networkLock)
    std::vector<IPv6Addr> ownIPv6; // GUARDED_BY(networkLock)

private:
    std::atomic<bool> extensionMode { false };
};

// The process's core application object. Each program stores its object here once, at load time, before any
// other thread starts; the core only reads it. Null until then (and in tests that build their own object).
extern CCorvantisApp* theApp;

} // namespace corvantis
