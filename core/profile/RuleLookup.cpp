#include "core/profile/RuleLookup.h"

#include "core/foundation/LogContext.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/Host.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Wildcard.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

namespace corvantis {

namespace {

constexpr std::string_view kSimpleHostnames = "%simplehostnames%";

// What the target conditions need of one target, derived once per lookup and only when a rule asks for it, so
// that walking many rules costs no conversions and no allocations after the first rule that needs them.
class TargetView {
public:
    explicit TargetView(const CHost& host)
        : m_host(host)
    {
        if (host.m_Resolved && host.m_AddressFamily == AF_INET6)
            m_hasEmbeddedIPv4 = GetEmbeddedIPv4(host.m_Ip, m_embeddedIPv4);
    }

    const CHost& Host() const { return m_host; }
    bool HasEmbeddedIPv4() const { return m_hasEmbeddedIPv4; }
    uint32_t EmbeddedIPv4() const { return m_embeddedIPv4; }

    // The lower-case name with (pattern ends in ".") or without its trailing dots, alone and after a ".".
    std::string_view Name(bool keepTrailingDots) const
    {
        PrepareNames();
        return keepTrailingDots ? std::string_view(m_dotName).substr(1) : std::string_view(m_dotStripped).substr(1);
    }
    std::string_view DotName(bool keepTrailingDots) const
    {
        PrepareNames();
        return keepTrailingDots ? m_dotName : m_dotStripped;
    }

    // The IPv4 address (the target's own, or the one its IPv6 address carries) as dotted text.
    std::string_view IPv4Text(uint32_t address) const
    {
        if (!m_ipv4TextReady) {
            in_addr value {};
            value.s_addr = address;
            m_ipv4TextLength = inet_ntop(AF_INET, &value, m_ipv4Text, sizeof m_ipv4Text) ? std::strlen(m_ipv4Text) : 0;
            m_ipv4TextReady = true;
        }
        return std::string_view(m_ipv4Text, m_ipv4TextLength);
    }
    std::string_view IPv6Text() const
    {
        if (!m_ipv6TextReady) {
            m_ipv6TextLength
                = inet_ntop(AF_INET6, m_host.m_Ip.data(), m_ipv6Text, sizeof m_ipv6Text) ? std::strlen(m_ipv6Text) : 0;
            m_ipv6TextReady = true;
        }
        return std::string_view(m_ipv6Text, m_ipv6TextLength);
    }

private:
    void PrepareNames() const
    {
        if (m_namesReady)
            return;
        m_dotName = "." + m_host.m_NameLow;
        m_dotStripped = m_dotName;
        while (m_dotStripped.size() > 1 && m_dotStripped.back() == '.')
            m_dotStripped.pop_back();
        m_namesReady = true;
    }

    const CHost& m_host;
    bool m_hasEmbeddedIPv4 = false;
    uint32_t m_embeddedIPv4 = 0;
    mutable bool m_namesReady = false;
    mutable std::string m_dotName;
    mutable std::string m_dotStripped;
    mutable bool m_ipv4TextReady = false;
    mutable char m_ipv4Text[INET_ADDRSTRLEN] = {};
    mutable size_t m_ipv4TextLength = 0;
    mutable bool m_ipv6TextReady = false;
    mutable char m_ipv6Text[INET6_ADDRSTRLEN] = {};
    mutable size_t m_ipv6TextLength = 0;
};

bool MatchesIPv4(const CRuleTarget& entry, uint32_t address, const TargetView& target)
{
    if (entry.m_Kind == kTargetIPv4Pattern)
        return WildcardMatch(entry.m_TextLower, target.IPv4Text(address));
    if (entry.m_Kind == kTargetIPv4Range)
        return IsIPv4InRange(address, entry.FirstIPv4(), entry.LastIPv4());
    return false;
}

bool MatchesThisMachine(const TargetView& target, const CCorvantisApp* core)
{
    const CHost& host = target.Host();
    if (core == nullptr)
        return false;
    if (host.m_HasDnsName && core->IsOwnHostName(host.m_NameLow))
        return true;
    if (!host.m_Resolved || host.m_FakeIp)
        return false;
    if (host.m_AddressFamily == AF_INET6)
        return core->IsOwnIPv6(host.m_Ip);
    if (host.m_AddressFamily == AF_INET)
        return core->IsOwnIPv4(host.GetIPv4());
    return false;
}

bool EntryMatches(const CRuleTarget& entry, const TargetView& target, const CCorvantisApp* core)
{
    const CHost& host = target.Host();
    switch (entry.m_Kind) {
    case kTargetHostPattern: {
        if (!host.m_HasDnsName)
            return false;
        const bool keepDots = !entry.m_TextLower.empty() && entry.m_TextLower.back() == '.';
        return WildcardMatch(entry.m_TextLower, target.Name(keepDots))
            || WildcardMatch(entry.m_TextLower, target.DotName(keepDots));
    }
    case kTargetMacro:
        if (entry.m_TextLower == kSimpleHostnames)
            return host.m_HasDnsName && host.m_NameLow.find('.') == std::string::npos;
        return MatchesThisMachine(target, core);
    default:
        break;
    }
    // Address entries: a placeholder address stands for a name, never for a real host.
    if (!host.m_Resolved || host.m_FakeIp)
        return false;
    if (host.m_AddressFamily == AF_INET)
        return MatchesIPv4(entry, host.GetIPv4(), target);
    if (host.m_AddressFamily != AF_INET6)
        return false;
    if (entry.m_Kind == kTargetIPv6Pattern && WildcardMatch(entry.m_TextLower, target.IPv6Text()))
        return true;
    if (entry.m_Kind == kTargetIPv6Range && IsIPv6InRange(host.m_Ip, entry.m_First, entry.m_Last))
        return true;
    return target.HasEmbeddedIPv4() && MatchesIPv4(entry, target.EmbeddedIPv4(), target);
}

bool TargetsMatch(const CRule& rule, const TargetView& target, const CCorvantisApp* core)
{
    if (rule.m_Targets.empty())
        return true;
    for (const CRuleTarget& entry : rule.m_Targets) {
        if (EntryMatches(entry, target, core))
            return true;
    }
    return false;
}

bool PortsMatch(const CRule& rule, uint16_t port)
{
    if (rule.m_Ports.empty() || port == 0)
        return true;
    for (const auto& [first, last] : rule.m_Ports) {
        if (first <= port && port <= last)
            return true;
    }
    return false;
}

bool AppsMatch(const CRule& rule, const CLogContext& app)
{
    if (rule.m_AppsLower.empty())
        return true;
    for (const std::string& pattern : rule.m_AppsLower) {
        for (const std::string* name : { &app.packetName, &app.packetShortName, &app.bsdName, &app.revDns }) {
            if (WildcardMatch(pattern, *name))
                return true;
        }
        if (!pattern.empty() && pattern.front() == '/' && WildcardMatch(pattern, app.fullPath))
            return true;
    }
    return false;
}

bool Matches(const CRule& rule, const CLogContext& app, const TargetView* target, const CCorvantisApp* core)
{
    if (target != nullptr) {
        if (!TargetsMatch(rule, *target, core))
            return false;
        if (!PortsMatch(rule, target->Host().m_Port))
            return false;
    }
    return AppsMatch(rule, app);
}

} // namespace

bool RuleMatches(const CRule& rule, const CLogContext& app, const CHost* target, const CCorvantisApp* core)
{
    if (target == nullptr)
        return Matches(rule, app, nullptr, core);
    const TargetView view(*target);
    return Matches(rule, app, &view, core);
}

int FindRule(const CProfileData& profile, const CLogContext& app, const CHost& target, const CCorvantisApp* core)
{
    const TargetView view(target);
    for (size_t i = 0; i < profile.m_Rules.size(); ++i) {
        const CRule& rule = profile.m_Rules[i];
        if (rule.m_Enabled && Matches(rule, app, &view, core))
            return static_cast<int>(i);
    }
    return kNoRule;
}

bool RulesNeedFakeIp(
    const CProfileData& profile, const CLogContext& app, const char* hostName, const CCorvantisApp* core)
{
    std::optional<CHost> host;
    std::optional<TargetView> view;
    if (hostName != nullptr) {
        host.emplace(hostName, 0, false);
        view.emplace(*host);
    }
    for (const CRule& rule : profile.m_Rules) {
        if (!rule.m_Enabled || !Matches(rule, app, view ? &*view : nullptr, core))
            continue;
        if (rule.m_Action == kActionProxy || rule.m_Action == kActionChain)
            return true;
        if (rule.m_Ports.empty())
            return false;
    }
    return false;
}

bool RulesNeedDnsForApp(const CProfileData& profile, const CLogContext& app)
{
    if (!profile.m_ViaProxy)
        return false;
    for (const CRule& rule : profile.m_Rules) {
        if (!rule.m_Enabled)
            continue;
        const bool direct = rule.m_Action == kActionDirect;
        const bool hasPorts = !rule.m_Ports.empty();
        const bool hasTargets = !rule.m_Targets.empty();
        const bool hasApps = !rule.m_AppsLower.empty();
        if (!hasApps) {
            if (hasPorts && !direct)
                return true;
            if (!hasPorts && !hasTargets)
                return !direct;
            if (hasTargets && !hasPorts && !direct)
                return true;
        }
        if (Matches(rule, app, nullptr, nullptr)) {
            if (!direct)
                return true;
            if (!hasPorts && !hasTargets)
                return false;
        }
    }
    return true;
}

} // namespace corvantis
