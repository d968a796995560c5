#include "core/profile/RuleTarget.h"

#include "core/profile/ProfileText.h"

#include <cstring>

namespace corvantis {

CRuleTarget::CRuleTarget(const std::string& token, int tokenClass)
    : m_Kind(tokenClass == kTargetIPv4Pattern || tokenClass == kTargetIPv6Pattern || tokenClass == kTargetMacro
            ? tokenClass
            : kTargetHostPattern)
    , m_Text(token)
    , m_TextLower(profile_text::ToLower(token))
{
}

CRuleTarget CRuleTarget::IPv4Range(uint32_t first, uint32_t last)
{
    CRuleTarget target;
    target.m_Kind = kTargetIPv4Range;
    std::memcpy(target.m_First.data(), &first, sizeof first);
    std::memcpy(target.m_Last.data(), &last, sizeof last);
    return target;
}

CRuleTarget CRuleTarget::IPv6Range(const IPv6Addr& first, const IPv6Addr& last)
{
    CRuleTarget target;
    target.m_Kind = kTargetIPv6Range;
    target.m_First = first;
    target.m_Last = last;
    return target;
}

uint32_t CRuleTarget::FirstIPv4() const
{
    uint32_t address;
    std::memcpy(&address, m_First.data(), sizeof address);
    return address;
}

uint32_t CRuleTarget::LastIPv4() const
{
    uint32_t address;
    std::memcpy(&address, m_Last.data(), sizeof address);
    return address;
}

} // namespace corvantis
