#pragma once

#include "core/profile/AddressUtils.h"

#include <cstdint>
#include <string>

namespace corvantis {

// What a target entry of a rule matches against; the values are part of the profile model.
enum TargetKind : int {
    kTargetHostPattern = 0, // host name with "*" and "?", matched against the DNS name
    kTargetIPv4Pattern = 1, // digits, dots, "*" and "?", matched against the dotted address
    kTargetIPv4Range = 2, // a single address is a range of one
    kTargetIPv6Range = 3,
    kTargetIPv6Pattern = 4, // hex digits, colons, "*" and "?", matched against the compressed text
    kTargetMacro = 5, // "%simplehostnames%" or "%computername%"
};

// One entry of a rule's target list. Ranges carry their two addresses and empty texts; every other kind
// carries the text as entered and its lower-case copy, and zero addresses.
class CRuleTarget {
public:
    CRuleTarget() = default;
    // A text entry: kind 1, 4 or 5 for those token classes, kind 0 for any other class.
    CRuleTarget(const std::string& token, int tokenClass);
    static CRuleTarget IPv4Range(uint32_t first, uint32_t last);
    static CRuleTarget IPv6Range(const IPv6Addr& first, const IPv6Addr& last);

    uint32_t FirstIPv4() const;
    uint32_t LastIPv4() const;

    int m_Kind = kTargetHostPattern;
    IPv6Addr m_First {}; // an IPv4 address uses the first 4 bytes, network order
    IPv6Addr m_Last {};
    std::string m_Text;
    std::string m_TextLower;
};

} // namespace corvantis
