#pragma once

#include "platform/netext/NEFilterDataProvider.h"
#include "platform/netext/NetworkRules.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {

// Where the captured traffic goes and how the daemon's own traffic is told apart.
struct NftCapture {
    std::string table = "corvantis";
    uint32_t ownMark = 0x5a17; // every socket of the daemon carries it: its packets are never captured
    uint32_t tproxyMark = 0x5a18; // captured UDP, routed back to the local TPROXY listener
    uint16_t tcpPort = 0; // the flow source's TCP listener (redirect target)
    uint16_t udpPort = 0; // the flow source's UDP TPROXY listener
};

// The providers' rules share one nftables table; each provider gives its own chains (named apart), and the
// table is composed from the chains of the providers that run. The rules have been validated when they were made
// (NENetworkRule), so no text of theirs reaches the ruleset unchecked.

// The transparent proxy's chains: the daemon's marked packets return first, excluded rules (`return`) come before
// included ones, included TCP is redirected to the TCP listener, included UDP is marked for the TPROXY listener.
// Hosts are masked to their prefix and the ports of rules alike in all else share one set.
std::string CompileTransparentProxyChains(const NETransparentProxyNetworkSettings& settings, const NftCapture& capture);

// The DNS proxy's chains: this machine's own UDP and TCP to port 53 go to the listeners.
std::string CompileDnsProxyChains(const NftCapture& capture);

// The content filter's taps: nothing is held or changed; the packets its "filter data" rules select are copied to
// the NFLOG group `nflogGroup`: the first packet of each UDP flow, every query to port 53, and the answers that
// come back on those flows (`ct direction reply`). Its "allow" rules are left out first.
std::string CompileFilterChains(const NEFilterSettings& settings, const NftCapture& capture, unsigned nflogGroup);

// One ruleset text that replaces the table whole with `sections` (chains of the functions above) and the chain
// that hands marked UDP to the TPROXY listener. `owned`: the table belongs to the netlink socket that loads it,
// and the kernel deletes it when that socket closes (its process ends, even when killed).
std::string ComposeRuleset(const NftCapture& capture, const std::vector<std::string>& sections, bool owned);

} // namespace corvantis
