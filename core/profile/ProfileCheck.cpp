#include "core/profile/ProfileCheck.h"

#include "core/foundation/StringUtils.h"
#include "core/profile/ProfileData.h"

#include <set>

namespace corvantis {

namespace {

bool Fail(std::string& message, std::string text)
{
    message = std::move(text);
    return false;
}

// The rule name is user text: it goes in as an argument, never as part of the format.
std::string RuleMessage(const char* format, const std::string& ruleName)
{
    std::string text;
    return StrFormat(text, format, ruleName.c_str());
}

std::string RuleIdMessage(const char* format, const std::string& ruleName, int64_t id)
{
    std::string text;
    return StrFormat(text, format, ruleName.c_str(), static_cast<long long>(id));
}

std::string IdMessage(const char* format, int32_t id)
{
    std::string text;
    return StrFormat(text, format, id);
}

bool CheckRules(const CProfileData& profile, std::string& message)
{
    for (const CRule& rule : profile.m_Rules) {
        if (rule.m_Action == kActionChain) {
            if (rule.m_ProxyId <= 0)
                return Fail(
                    message, RuleMessage("Action of Rule \"%s\" doesn't have a correct proxy chain ID", rule.m_Name));
            if (GetChainIndexById(profile.m_Chains, rule.m_ProxyId) < 0)
                return Fail(message,
                    RuleIdMessage(
                        "Rule \"%s\" refers to nonexistent proxy chain (id = %lld)", rule.m_Name, rule.m_ProxyId));
        } else if (rule.m_Action == kActionProxy) {
            if (rule.m_ProxyId <= 0)
                return Fail(message, RuleMessage("Action of Rule \"%s\" doesn't have a correct proxy ID", rule.m_Name));
            if (GetProxyIndexById(profile.m_Proxies, rule.m_ProxyId) < 0)
                return Fail(message,
                    RuleIdMessage("Rule \"%s\" refers to nonexistent proxy (id = %lld)", rule.m_Name, rule.m_ProxyId));
        }
    }
    return true;
}

template <typename List> bool FindDuplicateId(const List& list, int32_t& duplicate)
{
    std::set<int32_t> seen;
    for (const auto& item : list) {
        if (!seen.insert(item.m_Id).second) {
            duplicate = item.m_Id;
            return true;
        }
    }
    return false;
}

bool CheckChains(const CProfileData& profile, std::string& message)
{
    for (const CChain& chain : profile.m_Chains) {
        bool afterHttp = false;
        for (const CChainEntry& entry : chain.m_Entries) {
            const int index = entry.m_ProxyId > 0 ? GetProxyIndexById(profile.m_Proxies, entry.m_ProxyId) : -1;
            if (index < 0)
                return Fail(message, "Chain \"" + chain.m_Name + "\": incorrect proxy server ID found.");
            if (!entry.m_Enabled)
                continue;
            if (afterHttp)
                return Fail(
                    message, "Chain \"" + chain.m_Name + "\": HTTP proxy server must be the last one in the chain.");
            afterHttp = profile.m_Proxies[index].m_Type == kProxyHttp;
        }
    }
    return true;
}

} // namespace

bool CheckProfileConsistency(const CProfileData& profile, std::string& message)
{
    if (!CheckRules(profile, message))
        return false;
    int32_t duplicate = 0;
    if (FindDuplicateId(profile.m_Proxies, duplicate))
        return Fail(message, IdMessage("Duplicated IDs found. Two or more proxy servers have id = %d", duplicate));
    if (FindDuplicateId(profile.m_Chains, duplicate))
        return Fail(message, IdMessage("Duplicated IDs found. Two or more proxy chains have id = %d", duplicate));
    return CheckChains(profile, message);
}

CProfileData NewProfileData()
{
    CProfileData profile;
    profile.InitNewProfileOptions();
    profile.AddLocalhostRule();
    profile.AddDefaultRule();
    return profile;
}

} // namespace corvantis
