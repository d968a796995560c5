#pragma once

#include "platform/Result.h"

#include <cstdint>

namespace corvantis {

// The routes and policy rules the daemon keeps in the kernel. Every route and rule it adds carries `protocol`
// as its route protocol, which is how the daemon finds its own again (also those a killed daemon left behind)
// and how it never touches anyone else's.
struct PolicyRouteConfig {
    uint32_t tproxyMark = 0x5a18; // packets with this mark are delivered to this machine; not 0
    uint32_t table = 0x5a17; // the routing table of the TPROXY local default routes; not 0, 253, 254 or 255
    uint8_t protocol = 0x5a; // the route protocol tag; above the kernel's own values (RTPROT_STATIC)
};

// Every function below works over its own routing socket in the network namespace of the calling thread and may
// be called from any thread. Each does IPv4 and IPv6 apart: when IPv6 is not available (the kernel has no IPv6,
// or IPv6 is disabled on the loopback device), the IPv6 part is skipped without an error. When the IPv4 part
// fails, the result is its error, with the IPv6 part's failure (if any) added to the message; when only the IPv6
// part fails for another reason, the result is that error. An invalid config is EINVAL with nothing changed.
// A kernel that does not answer within a few seconds gives ETIMEDOUT.

// Makes marked packets local: for IPv4 and IPv6 the rule "fwmark <tproxyMark> lookup <table>" and the route
// "local default dev lo table <table>". Idempotent: identical entries stay as they are; a rule of ours that
// differs (an earlier mark or table) is replaced, and a local default route of ours in another table is removed.
[[nodiscard]] Status InstallPolicyRouting(const PolicyRouteConfig& config);

// Routes the placeholder ranges to the loopback device in the main table: <subnetNumber>.0.0.0/8 and
// fd00:5a17::/32. Idempotent; any other route of ours in the main table (that of an earlier subnet number) is
// removed. A route of someone else's for the same range is left alone and the result is EEXIST.
[[nodiscard]] Status InstallPlaceholderRoutes(const PolicyRouteConfig& config, uint8_t subnetNumber);

// Deletes every route (of any table) and rule of either family whose protocol is `config.protocol`. Ok when
// there is none; an entry that vanishes on its own meanwhile is no error. Otherwise tries every delete and
// returns the error of the first that failed.
[[nodiscard]] Status RemoveOwnRoutes(const PolicyRouteConfig& config);

} // namespace corvantis
