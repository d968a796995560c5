#include "platform/netext/NftRuleset.h"

#include <arpa/inet.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <vector>

namespace corvantis {

namespace {

using Protocol = NENetworkRule::Protocol;

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// "ip daddr 10.0.0.0/8 " or "ip6 daddr ::/8 "; for a host with prefix 0 only the family; "" for no host.
std::string addressMatch(const std::string& host, unsigned prefix)
{
    if (host.empty())
        return {};
    unsigned char bytes[sizeof(in6_addr)] = {};
    int family = AF_INET;
    if (::inet_pton(AF_INET, host.c_str(), bytes) != 1) {
        family = AF_INET6;
        if (::inet_pton(AF_INET6, host.c_str(), bytes) != 1)
            return {};
    }
    const unsigned bits = family == AF_INET ? 32 : 128;
    if (prefix == 0)
        return family == AF_INET ? "meta nfproto ipv4 " : "meta nfproto ipv6 ";
    if (prefix > bits)
        prefix = bits;
    for (unsigned bit = prefix; bit < bits; ++bit)
        bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, bytes, text, sizeof text);
    return std::string(family == AF_INET ? "ip" : "ip6") + " daddr " + text + "/" + std::to_string(prefix) + " ";
}

std::string protocolMatch(Protocol protocol, bool withPort)
{
    switch (protocol) {
    case Protocol::TCP:
        return "meta l4proto tcp ";
    case Protocol::UDP:
        return "meta l4proto udp ";
    case Protocol::Any:
        return withPort ? "meta l4proto { tcp, udp } " : "";
    }
    return {};
}

// Rules alike but for their port, in the order they first appear, with their ports.
struct Group {
    std::string prefix; // address and protocol match
    std::vector<std::string> ports; // empty: any port
    bool anyPort = false;
};

std::vector<Group> grouped(const std::vector<NENetworkRule>& rules, std::optional<Protocol> only)
{
    std::vector<Group> groups;
    std::map<std::string, std::size_t> index;
    for (const NENetworkRule& rule : rules) {
        if (only && rule.protocol() != *only && rule.protocol() != Protocol::Any)
            continue;
        const std::string host = rule.remote() ? rule.remote()->hostname : std::string();
        const std::string port = rule.remote() ? rule.remote()->port : std::string();
        const bool anyPort = port.empty() || port == "0";
        const Protocol protocol = only && rule.protocol() == Protocol::Any ? *only : rule.protocol();
        const std::string key = addressMatch(host, rule.remotePrefix()) + protocolMatch(protocol, !anyPort);
        auto [it, added] = index.emplace(key + (anyPort ? "*" : ""), groups.size());
        if (added)
            groups.push_back({ key, {}, anyPort });
        if (!anyPort)
            groups[it->second].ports.push_back(port);
    }
    return groups;
}

std::string portMatch(const Group& group)
{
    if (group.anyPort)
        return {};
    if (group.ports.size() == 1)
        return "th dport " + group.ports.front() + " ";
    std::string set = "th dport { ";
    for (std::size_t i = 0; i < group.ports.size(); ++i)
        set += (i ? ", " : "") + group.ports[i];
    return set + " } ";
}

void writeRules(std::ostringstream& out, const std::vector<NENetworkRule>& rules, std::optional<Protocol> only,
    const std::string& verdict)
{
    for (const Group& group : grouped(rules, only)) {
        // A port needs its protocol to be read: "any protocol" with a port means TCP and UDP.
        std::string line = group.prefix + portMatch(group);
        out << "        " << line << verdict << "\n";
    }
}

std::string ownReturn(const NftCapture& capture)
{
    return "        meta mark " + hex(capture.ownMark) + " return\n";
}

} // namespace

std::string CompileTransparentProxyChains(const NETransparentProxyNetworkSettings& settings, const NftCapture& capture)
{
    std::ostringstream out;
    out << "    chain proxy_tcp {\n";
    out << "        type nat hook output priority -100; policy accept;\n";
    out << ownReturn(capture);
    writeRules(out, settings.excludedNetworkRules, Protocol::TCP, "return");
    writeRules(out, settings.includedNetworkRules, Protocol::TCP, "redirect to :" + std::to_string(capture.tcpPort));
    out << "    }\n";

    out << "    chain proxy_udp {\n";
    out << "        type route hook output priority mangle; policy accept;\n";
    out << ownReturn(capture);
    writeRules(out, settings.excludedNetworkRules, Protocol::UDP, "return");
    writeRules(out, settings.includedNetworkRules, Protocol::UDP, "meta mark set " + hex(capture.tproxyMark));
    out << "    }\n";
    return out.str();
}

std::string CompileFilterChains(const NEFilterSettings& settings, const NftCapture& capture, unsigned nflogGroup)
{
    std::vector<NENetworkRule> allowed;
    std::vector<NENetworkRule> tapped;
    for (const NEFilterRule& rule : settings.rules)
        (rule.action == NEFilterRule::Action::FilterData ? tapped : allowed).push_back(rule.networkRule);
    const std::string log = "log group " + std::to_string(nflogGroup);
    std::ostringstream out;
    out << "    chain filter_out {\n";
    out << "        type filter hook output priority 0; policy accept;\n";
    out << ownReturn(capture);
    writeRules(out, allowed, Protocol::UDP, "return");
    // A query that opens its flow is copied once, by the first rule that takes it.
    writeRules(out, tapped, Protocol::UDP, "udp dport 53 " + log + " accept");
    writeRules(out, tapped, Protocol::UDP, "ct state new " + log);
    out << "    }\n";
    out << "    chain filter_in {\n";
    out << "        type filter hook input priority 0; policy accept;\n";
    out << "        meta l4proto udp udp sport 53 ct direction reply " << log << "\n";
    out << "    }\n";
    return out.str();
}

std::string CompileDnsProxyChains(const NftCapture& capture)
{
    std::ostringstream out;
    out << "    chain dns_tcp {\n";
    out << "        type nat hook output priority -100; policy accept;\n";
    out << ownReturn(capture);
    out << "        meta l4proto tcp th dport 53 redirect to :" << capture.tcpPort << "\n";
    out << "    }\n";
    out << "    chain dns_udp {\n";
    out << "        type route hook output priority mangle; policy accept;\n";
    out << ownReturn(capture);
    out << "        meta l4proto udp th dport 53 meta mark set " << hex(capture.tproxyMark) << "\n";
    out << "    }\n";
    return out.str();
}

std::string ComposeRuleset(const NftCapture& capture, const std::vector<std::string>& sections, bool owned)
{
    const std::string flags = owned ? " { flags owner; }" : "";
    std::ostringstream out;
    // Adding the table first makes the delete succeed on a machine that has none yet, so one transaction
    // replaces it. An owned table must be added with the same flags, or the kernel refuses the update.
    out << "table inet " << capture.table << flags << "\n";
    out << "delete table inet " << capture.table << "\n";
    out << "table inet " << capture.table << " {\n";
    if (owned)
        out << "    flags owner\n";
    for (const std::string& section : sections)
        out << section;
    // Marked UDP comes back in on the loopback (policy routing) and is handed to the TPROXY listener.
    out << "    chain udp_divert {\n";
    out << "        type filter hook prerouting priority mangle; policy accept;\n";
    out << "        meta mark " << hex(capture.tproxyMark)
        << " meta nfproto ipv4 meta l4proto udp tproxy ip to 127.0.0.1:" << capture.udpPort << " accept\n";
    out << "        meta mark " << hex(capture.tproxyMark)
        << " meta nfproto ipv6 meta l4proto udp tproxy ip6 to [::1]:" << capture.udpPort << " accept\n";
    out << "    }\n";
    out << "}\n";
    return out.str();
}

} // namespace corvantis
